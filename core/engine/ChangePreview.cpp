#include "core/engine/ChangePreview.h"

namespace lumifold {

void to_json(nlohmann::ordered_json& json, const ChangePreview& preview) {
    auto changes = [](const std::vector<SettingChange>& list) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto& change : list) {
            array.push_back({{"target", change.target},
                             {"key", change.key},
                             {"oldValue", change.oldValue},
                             {"newValue", change.newValue},
                             {"changeType", change.changeType}});
        }
        return array;
    };
    json = nlohmann::ordered_json::object();
    json["plistChanges"] = changes(preview.plistChanges);
    json["folderChanges"] = changes(preview.folderChanges);
    json["preservedEntriesSummary"] = nlohmann::ordered_json::object();
    for (const auto& [code, count] : preview.preservedEntriesSummary) {
        json["preservedEntriesSummary"][code] = count;
    }
    json["targetDSStorePaths"] = preview.targetDSStorePaths;
    json["warnings"] = preview.warnings;
}

}  // namespace lumifold
