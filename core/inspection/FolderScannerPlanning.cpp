// The reconciliation planner of FolderScanner: which records of which .DS_Store files change
// so that the chosen folders show the target layout.

#include <map>
#include <optional>
#include <set>

#include "core/common/Numbers.h"
#include "core/common/Paths.h"
#include "core/common/Text.h"
#include "core/inspection/FolderScanner.h"
#include "core/inspection/IconViewOptions.h"

namespace lumifold {
namespace {

constexpr const char* kDSStoreName = ".DS_Store";

bool isListViewCode(const std::string& code) {
    return code == "lsvp" || code == "lsvC" || code == "lsvP";
}

std::string booleanText(bool value) { return value ? "true" : "false"; }

}  // namespace

ReconciliationPlanning FolderScanner::planReconciliation(
    const std::vector<std::string>& folders, const FinderLayoutPreferences& target) const {
    // Phase 1: the resolved target folders, their names by resolved parent, and every store
    // that may hold records about them (each once, in path order).
    std::set<std::string> targetPaths;
    std::map<std::string, std::set<std::string>> childNames;
    std::set<std::string> storeFiles;
    for (const std::string& folder : folders) {
        const std::string canonical = platform::resolveSymbolicLinks(folder);
        targetPaths.insert(canonical);
        childNames[deletingLastPathComponent(canonical)].insert(lastPathComponent(canonical));
        const std::string localStore = appending(folder, kDSStoreName);
        const std::string parentStore = appending(deletingLastPathComponent(folder), kDSStoreName);
        if (platform::fileExists(localStore)) storeFiles.insert(localStore);
        if (platform::fileExists(parentStore)) storeFiles.insert(parentStore);
    }

    // Phase 2: one plan per store that holds at least one change.
    ReconciliationPlanning planning;
    std::optional<Bytes> freshIconViewOptions;  // serialised once, on first need
    for (const std::string& storePath : storeFiles) {
        if (!isWellFormedUtf8(storePath)) {
            planning.unnamableStores.push_back(displayablePath(storePath));
            continue;
        }
        DSStoreParseResult parsed = m_reader.parse(platform::readFile(storePath));
        if (!parsed.isComplete()) {
            planning.undecodableStores.push_back(storePath);
            continue;
        }

        const std::string holder = deletingLastPathComponent(storePath);
        const std::string dir = platform::resolveSymbolicLinks(holder);
        const bool isTarget = targetPaths.contains(dir);
        const auto namesFound = childNames.find(dir);
        const std::set<std::string> noNames;
        const std::set<std::string>& names =
            namesFound == childNames.end() ? noNames : namesFound->second;
        const std::string folderName = lastPathComponent(holder);

        DSStoreReconciliationPlan plan;
        plan.dsStoreURL = storePath;
        plan.targetLabel = folderName + "/" + kDSStoreName;
        std::set<std::string> touched;
        const auto change = [&](std::string key, std::string oldValue, std::string newValue,
                                const char* type) {
            plan.localChanges.push_back(
                {plan.targetLabel, std::move(key), std::move(oldValue), std::move(newValue), type});
        };

        for (DSStoreEntry& entry : parsed.entries) {
            std::optional<std::string> label;
            if (entry.filename == "." && isTarget) {
                label = folderName;
            } else if (entry.filename != "." && names.contains(entry.filename)) {
                label = entry.filename;
            }
            const bool acted = label && (entry.code == "vstl" || entry.code == "icvp" ||
                                         isListViewCode(entry.code));
            if (!acted) {
                ++plan.preservedSummary[entry.code];
                plan.newEntries.push_back(std::move(entry));
                continue;
            }
            touched.insert(entry.filename);
            if (entry.code == "vstl") {
                if (entry.value.kind() == DSStoreValue::Kind::fourCC &&
                    entry.value.asFourCC() != target.viewStyle) {
                    change(*label + "/vstl", entry.value.asFourCC(), target.viewStyle,
                           kFolderOverrideChange);
                }
            } else if (entry.code == "icvp") {
                const auto options = iconViewOptions(entry.value);
                if (!options) continue;
                const auto find = [&](std::string_view key) { return findOption(*options, key); };
                const auto* arrangeBy = find("arrangeBy");
                const std::string sortBy =
                    arrangeBy && arrangeBy->ifString() ? *arrangeBy->ifString() : std::string();
                if (sortBy != target.sortBy) {
                    change(*label + "/icvp.arrangeBy", sortBy, target.sortBy,
                           kFolderOverrideChange);
                }
                const auto* size = find("iconSize");
                const double iconSize = size ? optionNumber(*size).value_or(0.0) : 0.0;
                if (iconSizesDiffer(iconSize, target.iconSize)) {
                    change(*label + "/icvp.iconSize", formatReal(iconSize),
                           formatReal(target.iconSize), kFolderOverrideChange);
                }
                const auto* itemInfo = find("showItemInfo");
                if (itemInfo && itemInfo->ifBoolean() &&
                    *itemInfo->ifBoolean() != target.showItemInfo) {
                    change(*label + "/icvp.showItemInfo", booleanText(*itemInfo->ifBoolean()),
                           booleanText(target.showItemInfo), kFolderOverrideChange);
                }
                const auto* preview = find("showIconPreview");
                if (preview && preview->ifBoolean() &&
                    *preview->ifBoolean() != target.showIconPreview) {
                    change(*label + "/icvp.showIconPreview", booleanText(*preview->ifBoolean()),
                           booleanText(target.showIconPreview), kFolderOverrideChange);
                }
            } else {
                change(*label + "/" + entry.code, "present", "removed", kRemoveOverrideChange);
            }
        }

        if (plan.localChanges.empty()) continue;
        if (!freshIconViewOptions) {
            freshIconViewOptions = platform::toBinaryPropertyList(
                platform::PlistValue::dictionary(target.iconViewOptionsDictionary()));
        }
        // std::set keeps the names in byte order, which is character-code order for UTF-8.
        for (const std::string& name : touched) {
            plan.newEntries.push_back(
                {name, "vstl", kTypeType, DSStoreValue::fourCC(target.viewStyle)});
            plan.newEntries.push_back(
                {name, "icvp", kTypeBlob, DSStoreValue::data(*freshIconViewOptions)});
        }
        planning.plans.push_back(std::move(plan));
    }
    return planning;
}

}  // namespace lumifold
