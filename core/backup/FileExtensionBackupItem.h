#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/common/JsonWriter.h"

namespace lumifold {

// A file whose name extension Apply hides, with its hidden-extension flag before Apply.
struct FileExtensionBackupItem {
    std::string filePath;
    bool originalHasHiddenExtension = false;

    friend bool operator==(const FileExtensionBackupItem&,
                           const FileExtensionBackupItem&) = default;
};

// {"filePath": string, "originalHasHiddenExtension": boolean}; both required on reading
// (nlohmann::json::out_of_range or type_error otherwise).
// writeJson streams the same object.
void to_json(nlohmann::json& json, const FileExtensionBackupItem& item);
void writeJson(JsonWriter& out, const FileExtensionBackupItem& item);
void from_json(const nlohmann::json& json, FileExtensionBackupItem& item);

}  // namespace lumifold
