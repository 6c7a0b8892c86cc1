#include "core/preferences/SettingChange.h"

#include "core/common/JsonFields.h"

namespace lumifold {

void to_json(nlohmann::json& json, const SettingChange& change) {
    json = nlohmann::json{{"target", change.target},
                          {"key", change.key},
                          {"oldValue", change.oldValue},
                          {"newValue", change.newValue},
                          {"changeType", change.changeType}};
}

void from_json(const nlohmann::json& json, SettingChange& change) {
    SettingChange decoded;
    decoded.target = json_fields::requiredString(json, "target");
    decoded.key = json_fields::requiredString(json, "key");
    decoded.oldValue = json_fields::requiredString(json, "oldValue");
    decoded.newValue = json_fields::requiredString(json, "newValue");
    decoded.changeType = json_fields::requiredString(json, "changeType");
    change = std::move(decoded);
}

}  // namespace lumifold
