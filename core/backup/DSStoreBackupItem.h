#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/common/JsonWriter.h"

namespace lumifold {

// One .DS_Store file copied into a snapshot: where it lives, where its copy sits inside the
// snapshot directory, its checksum before Apply and (once recorded) after Apply, and its
// permission bits before Apply.
struct DSStoreBackupItem {
    std::string originalPath;
    std::string backupRelativePath;  // "files/<hex12>_<name>"
    std::string originalSHA256;
    std::optional<std::string> postModificationSHA256;
    std::uint16_t posixPermissions = 0644;
    // Another program changed the file between planning and writing, so Apply left it alone:
    // Restore and its evaluation pass it by (its copy stays in the snapshot).
    bool notWritten = false;
    // The checksum of the store Apply planned to write: a file holding exactly that is Apply's
    // own write, even when Apply did not finish. Absent in manifests of older versions.
    std::optional<std::string> plannedSHA256;
    // There was no store: Apply made it (its copy is empty), and Restore removes it again.
    // Absent (false) in manifests of older versions.
    bool createdByApply = false;

    friend bool operator==(const DSStoreBackupItem&, const DSStoreBackupItem&) = default;
};

// The field names as keys; postModificationSHA256 and plannedSHA256 are left out when absent,
// notWritten and createdByApply when false. writeJson streams the same members as one object, keys
// in ascending order.
void to_json(nlohmann::json& json, const DSStoreBackupItem& item);
void writeJson(JsonWriter& out, const DSStoreBackupItem& item);
// Every key but postModificationSHA256, plannedSHA256 and notWritten is required (a null counts as
// missing); those may be absent or null. posixPermissions must be a JSON integer from 0 to 65535.
// Throws nlohmann::json::out_of_range or type_error otherwise.
void from_json(const nlohmann::json& json, DSStoreBackupItem& item);

}  // namespace lumifold
