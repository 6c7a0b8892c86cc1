#include "core/backup/RestoreEvaluationItem.h"

#include "core/common/JsonFields.h"

namespace lumifold {

void to_json(nlohmann::json& json, const RestoreEvaluationItem& item) {
    json = nlohmann::json{{"originalPath", item.originalPath},
                          {"backupPath", item.backupPath},
                          {"isModifiedSinceBackup", item.isModifiedSinceBackup},
                          {"currentSHA256", item.currentSHA256},
                          {"expectedSHA256", item.expectedSHA256},
                          {"statusDescription", item.statusDescription}};
}

void from_json(const nlohmann::json& json, RestoreEvaluationItem& item) {
    RestoreEvaluationItem decoded;
    decoded.originalPath = json_fields::requiredString(json, "originalPath");
    decoded.backupPath = json_fields::requiredString(json, "backupPath");
    decoded.isModifiedSinceBackup = json_fields::requiredBoolean(json, "isModifiedSinceBackup");
    decoded.currentSHA256 = json_fields::requiredString(json, "currentSHA256");
    decoded.expectedSHA256 = json_fields::requiredString(json, "expectedSHA256");
    decoded.statusDescription = json_fields::requiredString(json, "statusDescription");
    item = std::move(decoded);
}

}  // namespace lumifold
