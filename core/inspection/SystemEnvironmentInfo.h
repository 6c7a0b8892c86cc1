#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {

// The machine as the Inspect stage describes it.
struct SystemEnvironmentInfo {
    std::string osVersion;     // "major.minor.patch"
    std::string buildVersion;  // the system's build identifier, or "Unknown"
    std::string architecture;  // the machine's processor architecture ("x86_64"), or "Unknown"
    // The machine for a person to read: "Linux 6.18.44, Debian GNU/Linux 12, x86_64",
    // "macOS 14.5.0 (build 23F79), arm64". Not part of the JSON form, which has the parts.
    std::string description;
    // The global layout the Finder's preferences set; nullopt when their file exists but cannot
    // be read, which finderDefaultsProblem then names.
    std::optional<FinderLayoutPreferences> currentFinderDefaults;
    std::optional<std::string> finderDefaultsProblem;
    double defaultGridSpacing = 0;  // the file's grid spacing, else the preferred one
    std::vector<std::string> supportedAPIsSummary;
    std::vector<std::string> undocumentedFieldsSummary;

    friend bool operator==(const SystemEnvironmentInfo&, const SystemEnvironmentInfo&) = default;
};

// An object with the field names as keys; the defaults as their nested object, or null, and
// finderDefaultsProblem only when there is one.
void to_json(nlohmann::json& json, const SystemEnvironmentInfo& info);
// The keys to_json writes are required with their JSON types (the two lists are arrays of
// strings), but finderDefaultsProblem, and currentFinderDefaults may be null; throws
// nlohmann::json::out_of_range or type_error. Other keys are ignored.
void from_json(const nlohmann::json& json, SystemEnvironmentInfo& info);

}  // namespace lumifold
