#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/common/JsonWriter.h"
#include "core/platform/FinderInfoImage.h"

namespace lumifold {

// A file whose name extension Apply hides, with its hidden-extension flag before Apply and the
// store its Finder record is kept in (absent: xattr, as in snapshots from before stores).
struct FileExtensionBackupItem {
    std::string filePath;
    bool originalHasHiddenExtension = false;
    std::optional<platform::MetadataStore> store = std::nullopt;

    platform::MetadataStore storeOrDefault() const {
        return store.value_or(platform::MetadataStore::xattr);
    }

    friend bool operator==(const FileExtensionBackupItem&,
                           const FileExtensionBackupItem&) = default;
};

// {"filePath": string, "originalHasHiddenExtension": boolean, "store": string}; the first two
// required on reading, "store" one of metadataStoreName's (nlohmann::json::out_of_range or
// type_error otherwise). An xattr store is written as none.
// writeJson streams the same object.
void to_json(nlohmann::json& json, const FileExtensionBackupItem& item);
void writeJson(JsonWriter& out, const FileExtensionBackupItem& item);
void from_json(const nlohmann::json& json, FileExtensionBackupItem& item);

}  // namespace lumifold
