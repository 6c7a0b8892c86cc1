#include "core/backup/DSStoreBackupItem.h"

#include "core/common/OptionalJsonFields.h"

namespace lumifold {

void to_json(nlohmann::json& json, const DSStoreBackupItem& item) {
    json = nlohmann::json{{"originalPath", item.originalPath},
                          {"backupRelativePath", item.backupRelativePath},
                          {"originalSHA256", item.originalSHA256},
                          {"posixPermissions", item.posixPermissions}};
    if (item.postModificationSHA256) {
        json["postModificationSHA256"] = *item.postModificationSHA256;
    }
    if (item.notWritten) json["notWritten"] = true;
    if (item.plannedSHA256) json["plannedSHA256"] = *item.plannedSHA256;
}

void from_json(const nlohmann::json& json, DSStoreBackupItem& item) {
    DSStoreBackupItem decoded;
    decoded.originalPath = json_fields::requiredString(json, "originalPath");
    decoded.backupRelativePath = json_fields::requiredString(json, "backupRelativePath");
    decoded.originalSHA256 = json_fields::requiredString(json, "originalSHA256");
    decoded.postModificationSHA256 = json_fields::optionalString(json, "postModificationSHA256");
    decoded.plannedSHA256 = json_fields::optionalString(json, "plannedSHA256");
    const std::int64_t permissions = json_fields::requiredInteger(json, "posixPermissions");
    if (permissions < 0 || permissions > 0xFFFF) {
        json_fields::wrongType(json.at("posixPermissions"), "posixPermissions",
                               "an integer from 0 to 65535");
    }
    decoded.posixPermissions = static_cast<std::uint16_t>(permissions);
    if (const nlohmann::json* notWritten = json_fields::optionalMember(json, "notWritten")) {
        if (!notWritten->is_boolean())
            json_fields::wrongType(*notWritten, "notWritten", "a boolean");
        decoded.notWritten = notWritten->get<bool>();
    }
    item = std::move(decoded);
}

}  // namespace lumifold
