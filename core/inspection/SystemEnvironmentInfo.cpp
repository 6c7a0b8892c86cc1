#include "core/inspection/SystemEnvironmentInfo.h"

#include "core/common/OptionalJsonFields.h"

namespace lumifold {
void to_json(nlohmann::json& json, const SystemEnvironmentInfo& info) {
    json = nlohmann::json{
        {"osVersion", info.osVersion},
        {"buildVersion", info.buildVersion},
        {"architecture", info.architecture},
        {"currentFinderDefaults", info.currentFinderDefaults
                                      ? nlohmann::json(*info.currentFinderDefaults)
                                      : nlohmann::json(nullptr)},
        {"supportedAPIsSummary", info.supportedAPIsSummary},
        {"undocumentedFieldsSummary", info.undocumentedFieldsSummary},
    };
    json_fields::putNumber(json, "defaultGridSpacing", info.defaultGridSpacing);
    if (info.finderDefaultsProblem) json["finderDefaultsProblem"] = *info.finderDefaultsProblem;
}

void from_json(const nlohmann::json& json, SystemEnvironmentInfo& info) {
    using namespace json_fields;
    SystemEnvironmentInfo decoded;
    decoded.osVersion = requiredString(json, "osVersion");
    decoded.buildVersion = requiredString(json, "buildVersion");
    decoded.architecture = requiredString(json, "architecture");
    if (const auto& defaults = required(json, "currentFinderDefaults"); !defaults.is_null()) {
        decoded.currentFinderDefaults = defaults.get<FinderLayoutPreferences>();
    }
    decoded.finderDefaultsProblem = optionalString(json, "finderDefaultsProblem");
    decoded.defaultGridSpacing = requiredNumber(json, "defaultGridSpacing");
    decoded.supportedAPIsSummary = json_fields::requiredStrings(json, "supportedAPIsSummary");
    decoded.undocumentedFieldsSummary =
        json_fields::requiredStrings(json, "undocumentedFieldsSummary");
    info = std::move(decoded);
}

}  // namespace lumifold
