#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace lumifold {

// The audit of one folder against the target layout.
struct FolderVerificationItem {
    std::string path;  // as given, links not resolved
    bool viewStyleMatches = true;
    bool iconSizeMatches = true;
    bool sortByMatches = true;
    bool conflictingOverridesPresent = false;
    bool inaccessible = false;
    std::string notes;

    bool isCompliant() const {
        return viewStyleMatches && iconSizeMatches && sortByMatches &&
               !conflictingOverridesPresent && !inaccessible;
    }
    friend bool operator==(const FolderVerificationItem&, const FolderVerificationItem&) = default;
};

struct VerificationReport {
    std::chrono::system_clock::time_point verifiedAt;
    bool finderDefaultsValid = true;
    std::vector<std::string> discrepancies;
    std::vector<FolderVerificationItem> folderResults;
    std::int64_t inaccessibleCount = 0;

    bool isFullyCompliant() const;
    friend bool operator==(const VerificationReport&, const VerificationReport&) = default;
};

// Keys in field order; `verifiedAt` as "2025-01-31T14:05:10Z".
void to_json(nlohmann::ordered_json& json, const FolderVerificationItem& item);
void to_json(nlohmann::ordered_json& json, const VerificationReport& report);

}  // namespace lumifold
