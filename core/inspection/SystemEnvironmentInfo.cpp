#include "core/inspection/SystemEnvironmentInfo.h"

#include "core/preferences/JsonFields.h"

namespace lumifold {
namespace {

std::vector<std::string> requiredStrings(const nlohmann::json& object, const char* key) {
    const nlohmann::json& value = json_fields::required(object, key);
    if (!value.is_array()) json_fields::wrongType(value, key, "an array of strings");
    std::vector<std::string> strings;
    strings.reserve(value.size());
    for (const auto& element : value) {
        if (!element.is_string()) json_fields::wrongType(element, key, "an array of strings");
        strings.push_back(element.get<std::string>());
    }
    return strings;
}

}  // namespace

void to_json(nlohmann::json& json, const SystemEnvironmentInfo& info) {
    json = nlohmann::json{
        {"osVersion", info.osVersion},
        {"buildVersion", info.buildVersion},
        {"architecture", info.architecture},
        {"currentFinderDefaults", info.currentFinderDefaults},
        {"defaultGridSpacing", info.defaultGridSpacing},
        {"supportedAPIsSummary", info.supportedAPIsSummary},
        {"undocumentedFieldsSummary", info.undocumentedFieldsSummary},
    };
}

void from_json(const nlohmann::json& json, SystemEnvironmentInfo& info) {
    using namespace json_fields;
    SystemEnvironmentInfo decoded;
    decoded.osVersion = requiredString(json, "osVersion");
    decoded.buildVersion = requiredString(json, "buildVersion");
    decoded.architecture = requiredString(json, "architecture");
    decoded.currentFinderDefaults =
        required(json, "currentFinderDefaults").get<FinderLayoutPreferences>();
    decoded.defaultGridSpacing = requiredNumber(json, "defaultGridSpacing");
    decoded.supportedAPIsSummary = requiredStrings(json, "supportedAPIsSummary");
    decoded.undocumentedFieldsSummary = requiredStrings(json, "undocumentedFieldsSummary");
    info = std::move(decoded);
}

}  // namespace lumifold
