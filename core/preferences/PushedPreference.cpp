#include "core/preferences/PushedPreference.h"

#include "core/common/OptionalJsonFields.h"

namespace lumifold {

void to_json(nlohmann::json& json, const PushedPreference& pushed) {
    json = nlohmann::json{
        {"domain", pushed.domain}, {"currentHost", pushed.currentHost}, {"key", pushed.key}};
    if (pushed.originalValue) json["originalValue"] = *pushed.originalValue;
    if (pushed.pushedValue) json["pushedValue"] = *pushed.pushedValue;
    if (pushed.backupRelativePath) json["backupRelativePath"] = *pushed.backupRelativePath;
    if (!pushed.originalSHA256.empty()) json["originalSHA256"] = pushed.originalSHA256;
    if (pushed.postModificationSHA256) {
        json["postModificationSHA256"] = *pushed.postModificationSHA256;
    }
    if (pushed.domainWasLink) json["domainWasLink"] = true;
}

void from_json(const nlohmann::json& json, PushedPreference& pushed) {
    PushedPreference decoded;
    decoded.domain = json_fields::requiredString(json, "domain");
    decoded.currentHost = json_fields::requiredBoolean(json, "currentHost");
    decoded.key = json_fields::requiredString(json, "key");
    decoded.originalValue = json_fields::optionalString(json, "originalValue");
    decoded.pushedValue = json_fields::optionalString(json, "pushedValue");
    decoded.backupRelativePath = json_fields::optionalString(json, "backupRelativePath");
    decoded.originalSHA256 = json_fields::optionalString(json, "originalSHA256").value_or("");
    decoded.postModificationSHA256 = json_fields::optionalString(json, "postModificationSHA256");
    decoded.domainWasLink = json_fields::optionalBoolean(json, "domainWasLink").value_or(false);
    pushed = std::move(decoded);
}

}  // namespace lumifold
