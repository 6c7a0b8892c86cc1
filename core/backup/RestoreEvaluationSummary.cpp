#include "core/backup/RestoreEvaluationSummary.h"

#include <algorithm>

#include "core/common/OptionalJsonFields.h"

namespace lumifold {

bool RestoreEvaluationSummary::hasModifications() const {
    return std::any_of(items.begin(), items.end(), [](const RestoreEvaluationItem& item) {
        return item.isModifiedSinceBackup;
    });
}

void to_json(nlohmann::json& json, const RestoreEvaluationSummary& summary) {
    json = nlohmann::json{{"items", summary.items}};
}

void from_json(const nlohmann::json& json, RestoreEvaluationSummary& summary) {
    RestoreEvaluationSummary decoded;
    decoded.items =
        json_fields::requiredArray(json, "items").get<std::vector<RestoreEvaluationItem>>();
    summary = std::move(decoded);
}

}  // namespace lumifold
