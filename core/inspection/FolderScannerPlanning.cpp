// The reconciliation planner of FolderScanner: which records of which .DS_Store files change
// so that the chosen folders show the target layout.

#include <map>
#include <optional>
#include <set>
#include <unordered_set>

#include "core/common/Paths.h"
#include "core/common/Text.h"
#include "core/inspection/DeviceInode.h"
#include "core/inspection/FolderScanner.h"
#include "core/inspection/FolderViewRecords.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace {

constexpr const char* kDSStoreName = ".DS_Store";

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The chosen folders as the planner needs them: the resolved folders (whose own stores hold
// "." records about them) and, by resolved parent, the names under which the parent's store
// holds records about them (the names as given, which is what the Finder shows in the parent).
struct Targets {
    std::set<std::string> folders;
    std::map<std::string, std::set<std::string>> namesByParent;
    std::vector<std::string> storeFiles;  // own store, then parent store, of each folder
};

}  // namespace

ReconciliationPlanning FolderScanner::planReconciliation(
    const std::vector<std::string>& folders, const FinderLayoutPreferences& target) const {
    Targets targets;
    for (const std::string& folder : folders) {
        const std::string given = withoutTrailingSlash(folder);
        const std::string canonical = platform::resolveSymbolicLinks(given);
        if (isExcludedPath(canonical)) continue;  // left alone by every stage
        targets.folders.insert(canonical);
        const std::string parent = deletingLastPathComponent(given);
        targets.namesByParent[platform::resolveSymbolicLinks(parent)].insert(
            lastPathComponent(given));
        targets.storeFiles.push_back(appending(given, kDSStoreName));
        targets.storeFiles.push_back(appending(parent, kDSStoreName));
    }
    // Each store once in path order, and each file once however many paths reach it.
    std::set<std::string> storeFiles(targets.storeFiles.begin(), targets.storeFiles.end());
    std::unordered_set<DeviceInode> seenFiles;

    ReconciliationPlanning planning;
    std::optional<Bytes> freshIconViewOptions;  // serialised once, on first need
    for (const std::string& storePath : storeFiles) {
        const auto entryType = platform::entryType(storePath);
        if (!entryType) continue;
        // A link is read like any store (a link to a device fails the planning as a device
        // does), but never rewritten: the file it names is planned by its own path, if at all.
        const bool isLink = *entryType == platform::EntryType::symbolicLink;
        if (const auto identity = platform::fileIdentity(storePath)) {
            const DeviceInode key = DeviceInode::from(*identity);
            if (seenFiles.contains(key)) continue;
            if (!isLink) seenFiles.insert(key);
        }
        if (!isWellFormedUtf8(storePath)) {
            planning.unnamableStores.push_back(displayablePath(storePath));
            continue;
        }
        Bytes bytes = platform::readFile(storePath);
        DSStoreParseResult parsed;
        try {
            parsed = m_reader.parse(bytes);
        } catch (const Error& error) {
            throw Error(error.domain(), error.code(), storeProblem(storePath, error));
        }
        if (!parsed.isComplete()) {
            planning.undecodableStores.push_back(storePath);
            continue;
        }

        const std::string holder = deletingLastPathComponent(storePath);
        const std::string dir = platform::resolveSymbolicLinks(holder);
        const bool isTarget = targets.folders.contains(dir);
        const auto namesFound = targets.namesByParent.find(dir);
        const std::set<std::string> noNames;
        const std::set<std::string>& names =
            namesFound == targets.namesByParent.end() ? noNames : namesFound->second;
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
            if (!label || !isLayoutCode(entry.code)) {
                ++plan.preservedSummary[entry.code];
                plan.newEntries.push_back(std::move(entry));
                continue;
            }
            touched.insert(entry.filename);
            if (entry.code == kViewStyleCode) {
                if (const auto style = viewStyleOf(entry); style && *style != target.viewStyle) {
                    change(*label + "/vstl", *style, target.viewStyle, kFolderOverrideChange);
                }
            } else if (entry.code == kIconViewCode) {
                if (const auto settings = IconViewSettings::read(entry.value)) {
                    for (auto& difference : settings->differencesFrom(target)) {
                        change(*label + "/icvp." + difference.key, std::move(difference.oldValue),
                               std::move(difference.newValue), kFolderOverrideChange);
                    }
                }
            } else {
                change(*label + "/" + entry.code, "present", "removed", kRemoveOverrideChange);
            }
        }

        if (plan.localChanges.empty()) continue;
        if (isLink) {
            planning.linkedStores.push_back(displayablePath(storePath));
            continue;
        }
        if (!freshIconViewOptions) {
            freshIconViewOptions = platform::toBinaryPropertyList(
                platform::PlistValue::dictionary(target.iconViewOptionsDictionary()));
        }
        // std::set keeps the names in byte order, which is character-code order for UTF-8.
        for (const std::string& name : touched) {
            plan.newEntries.push_back(
                {name, kViewStyleCode, kTypeType, DSStoreValue::fourCC(target.viewStyle)});
            plan.newEntries.push_back(
                {name, kIconViewCode, kTypeBlob, DSStoreValue::data(*freshIconViewOptions)});
        }
        plan.originalBytes = std::move(bytes);
        planning.plans.push_back(std::move(plan));
    }
    return planning;
}

}  // namespace lumifold
