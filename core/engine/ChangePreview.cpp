#include "core/engine/ChangePreview.h"

namespace lumifold {

void to_json(nlohmann::ordered_json& json, const ChangePreview& preview) {
    json = nlohmann::ordered_json::object();
    json["plistChanges"] = preview.plistChanges;
    json["folderChanges"] = preview.folderChanges;
    json["preservedEntriesSummary"] = nlohmann::ordered_json::object();
    for (const auto& [code, count] : preview.preservedEntriesSummary) {
        json["preservedEntriesSummary"][code] = count;
    }
    json["targetDSStorePaths"] = preview.targetDSStorePaths;
    json["warnings"] = preview.warnings;
}

}  // namespace lumifold
