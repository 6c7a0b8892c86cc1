#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {

// The machine as the Inspect stage describes it.
struct SystemEnvironmentInfo {
    std::string osVersion;     // "major.minor.patch"
    std::string buildVersion;  // the system's build identifier, or "Unknown"
    std::string architecture;  // the processor the program was built for, as display text
    FinderLayoutPreferences currentFinderDefaults;
    double defaultGridSpacing = 0;  // currentFinderDefaults.gridSpacing
    std::vector<std::string> supportedAPIsSummary;
    std::vector<std::string> undocumentedFieldsSummary;

    friend bool operator==(const SystemEnvironmentInfo&, const SystemEnvironmentInfo&) = default;
};

// An object with the seven field names as keys; the defaults as their nested object.
void to_json(nlohmann::json& json, const SystemEnvironmentInfo& info);
// All seven keys are required with their JSON types (the two lists are arrays of strings);
// throws nlohmann::json::out_of_range or type_error. Other keys are ignored.
void from_json(const nlohmann::json& json, SystemEnvironmentInfo& info);

}  // namespace lumifold
