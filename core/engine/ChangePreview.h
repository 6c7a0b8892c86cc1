#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/preferences/SettingChange.h"

namespace lumifold {

// The dry run: every change Apply would make, the records it would keep, and what the user
// should know first. Apply writes exactly the plans this preview was built from.
struct ChangePreview {
    std::vector<SettingChange> plistChanges;
    std::vector<SettingChange> folderChanges;  // store records first, then file extensions
    std::map<std::string, std::int64_t> preservedEntriesSummary;  // record code -> count
    std::vector<std::string> targetDSStorePaths;
    std::vector<std::string> warnings;

    friend bool operator==(const ChangePreview&, const ChangePreview&) = default;
};

// Keys in field order; the summary as an object from code to count.
void to_json(nlohmann::ordered_json& json, const ChangePreview& preview);

}  // namespace lumifold
