#include "core/engine/VerificationReport.h"

#include <algorithm>

#include "core/common/Iso8601.h"

namespace lumifold {

bool VerificationReport::isFullyCompliant() const {
    return finderDefaultsValid && discrepancies.empty() &&
           std::all_of(folderResults.begin(), folderResults.end(),
                       [](const FolderVerificationItem& item) { return item.isCompliant(); });
}

void to_json(nlohmann::ordered_json& json, const FolderVerificationItem& item) {
    json = nlohmann::ordered_json::object();
    json["path"] = item.path;
    json["viewStyleMatches"] = item.viewStyleMatches;
    json["iconSizeMatches"] = item.iconSizeMatches;
    json["sortByMatches"] = item.sortByMatches;
    json["conflictingOverridesPresent"] = item.conflictingOverridesPresent;
    json["inaccessible"] = item.inaccessible;
    json["notes"] = item.notes;
}

void to_json(nlohmann::ordered_json& json, const VerificationReport& report) {
    json = nlohmann::ordered_json::object();
    json["verifiedAt"] = formatIso8601(report.verifiedAt);
    json["finderDefaultsValid"] = report.finderDefaultsValid;
    json["discrepancies"] = report.discrepancies;
    json["folderResults"] = report.folderResults;
    json["inaccessibleCount"] = report.inaccessibleCount;
}

}  // namespace lumifold
