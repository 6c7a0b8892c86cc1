#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "core/backup/RestoreEvaluationItem.h"

namespace lumifold {

// The drift evaluation of one snapshot: the preferences file first, then the .DS_Store files
// in manifest order.
struct RestoreEvaluationSummary {
    std::vector<RestoreEvaluationItem> items;

    // True when at least one item drifted; false for an empty list.
    bool hasModifications() const;

    friend bool operator==(const RestoreEvaluationSummary&,
                           const RestoreEvaluationSummary&) = default;
};

// {"items": [...]}; the derived hasModifications is not stored. "items" is required.
void to_json(nlohmann::json& json, const RestoreEvaluationSummary& summary);
void from_json(const nlohmann::json& json, RestoreEvaluationSummary& summary);

}  // namespace lumifold
