#include "core/backup/FileExtensionBackupItem.h"

#include "core/common/JsonFields.h"

namespace lumifold {

void to_json(nlohmann::json& json, const FileExtensionBackupItem& item) {
    json = nlohmann::json{{"filePath", item.filePath},
                          {"originalHasHiddenExtension", item.originalHasHiddenExtension}};
}

void from_json(const nlohmann::json& json, FileExtensionBackupItem& item) {
    FileExtensionBackupItem decoded;
    decoded.filePath = json_fields::requiredString(json, "filePath");
    decoded.originalHasHiddenExtension =
        json_fields::requiredBoolean(json, "originalHasHiddenExtension");
    item = std::move(decoded);
}

}  // namespace lumifold
