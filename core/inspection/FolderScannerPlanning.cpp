// The reconciliation planner of FolderScanner: which records of which .DS_Store files change
// so that the chosen folders show the target layout.

#include <map>
#include <optional>
#include <set>
#include <unordered_set>

#include "core/common/Paths.h"
#include "core/common/Text.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/inspection/DeviceInode.h"
#include "core/inspection/FolderScanner.h"
#include "core/inspection/FolderViewRecords.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace {

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The fresh records of target folders, each target's icon view serialised once on first need.
class FreshRecords final {
  public:
    void append(const std::string& name, const FinderLayoutPreferences& target,
                std::vector<DSStoreEntry>& entries) {
        auto found = m_iconViews.find(&target);
        if (found == m_iconViews.end()) {
            found = m_iconViews
                        .emplace(&target,
                                 platform::toBinaryPropertyList(platform::PlistValue::dictionary(
                                     target.iconViewOptionsDictionary())))
                        .first;
        }
        entries.push_back(
            {name, kViewStyleCode, kTypeType, DSStoreValue::fourCC(target.viewStyle)});
        entries.push_back({name, kIconViewCode, kTypeBlob, DSStoreValue::data(found->second)});
    }

  private:
    std::map<const FinderLayoutPreferences*, Bytes> m_iconViews;
};

}  // namespace

// The chosen folders as the planner needs them: the resolved folders (whose own stores hold
// "." records about them) and, by resolved parent, the names under which the parent's store
// holds records about them (the names as given, which is what the Finder shows in the parent),
// each with its target (the first given path of a folder decides it).
struct FolderScanner::PlanTargets {
    using Target = const FinderLayoutPreferences*;
    mutable platform::PathResolver resolver;  // each folder's resolution kept for its stores
    std::map<std::string, Target> folders;
    std::map<std::string, std::map<std::string, Target>> namesByParent;
    std::set<std::string> storeFiles;  // each folder's own store and its parent's, in path order
    bool foldersOnly = false;
};

bool FolderScanner::parentStoreInScope(const std::string& parent,
                                       const std::set<std::string>& resolvedFolders) {
    for (std::string at = parent;; at = deletingLastPathComponent(at)) {
        if (resolvedFolders.contains(at)) return true;
        if (at == "/" || at.empty()) return false;
    }
}

FolderScanner::PlanTargets FolderScanner::collectPlanTargets(
    const std::vector<std::string>& folders, const Layout& layout, const PlanScope& scope) const {
    PlanTargets targets;
    targets.foldersOnly = scope.foldersOnly;
    struct Kept {
        std::string given;
        PlanTargets::Target target;
        bool whole;  // its own store too, not only its record in its parent's
    };
    std::vector<Kept> kept;
    std::set<std::string> resolved;
    for (const std::string& folder : scope.chosen)
        resolved.insert(targets.resolver.resolve(folder));
    const auto keep = [&](const std::string& folder, bool whole) {
        std::string given = withoutTrailingSlash(folder);
        const std::string& canonical = targets.resolver.resolve(given);
        if (isExcludedPath(canonical)) return;  // left alone by every stage
        const FinderLayoutPreferences* target = &layout.targetFor(given, canonical);
        if (whole) {
            targets.folders.emplace(canonical, target);
            resolved.insert(canonical);
        }
        kept.push_back({std::move(given), target, whole});
    };
    for (const std::string& folder : folders) keep(folder, true);
    for (const std::string& folder : scope.recordsOnly) keep(folder, false);
    for (const Kept& folder : kept) {
        if (folder.whole)
            targets.storeFiles.insert(appending(folder.given, dsstore_format::kFileName));
        const std::string parent = deletingLastPathComponent(folder.given);
        const std::string& resolvedParent = targets.resolver.resolve(parent);
        if (scope.foldersOnly && !parentStoreInScope(resolvedParent, resolved)) continue;
        targets.namesByParent[resolvedParent].emplace(lastPathComponent(folder.given),
                                                      folder.target);
        targets.storeFiles.insert(appending(parent, dsstore_format::kFileName));
    }
    return targets;
}

std::optional<DSStoreReconciliationPlan> FolderScanner::planStore(
    const std::string& storePath, std::vector<DSStoreEntry> entries,
    const PlanTargets& targets) const {
    const std::string holder = deletingLastPathComponent(storePath);
    const std::string& dir = targets.resolver.resolve(holder);
    const auto self = targets.folders.find(dir);
    const auto namesFound = targets.namesByParent.find(dir);
    const std::map<std::string, PlanTargets::Target> noNames;
    const auto& names = namesFound == targets.namesByParent.end() ? noNames : namesFound->second;
    const std::string folderName = lastPathComponent(holder);

    DSStoreReconciliationPlan plan;
    plan.dsStorePath = storePath;
    plan.targetLabel = folderName + "/" + dsstore_format::kFileName;
    std::map<std::string, PlanTargets::Target> touched;
    // No global default stands behind a folder that works alone: its own records must say it.
    const bool isTarget = self != targets.folders.end();
    const std::optional<OwnLayoutRecords> own =
        isTarget && targets.foldersOnly ? std::optional(ownLayoutRecords(entries)) : std::nullopt;
    const auto change = [&](std::string key, std::string oldValue, std::string newValue,
                            ChangeType type) {
        plan.localChanges.push_back({plan.targetLabel, std::move(key), std::move(oldValue),
                                     std::move(newValue), changeTypeText(type)});
    };
    for (DSStoreEntry& entry : entries) {
        std::optional<std::string> label;
        PlanTargets::Target folderTarget = nullptr;
        if (entry.filename == "." && self != targets.folders.end()) {
            label = folderName;
            folderTarget = self->second;
        } else if (const auto named = names.find(entry.filename);
                   entry.filename != "." && named != names.end()) {
            label = entry.filename;
            folderTarget = named->second;
        }
        // A folder shown in a list or other view keeps its own columns and sort.
        const bool keptListView =
            folderTarget != nullptr && isListViewCode(entry.code) && !showsIconView(*folderTarget);
        if (!label || !isLayoutCode(entry.code) || keptListView) {
            ++plan.preservedSummary[entry.code];
            plan.newEntries.push_back(std::move(entry));
            continue;
        }
        const FinderLayoutPreferences& target = *folderTarget;
        touched.emplace(entry.filename, folderTarget);
        if (entry.code == kViewStyleCode) {
            if (const auto style = viewStyleOf(entry); style && *style != target.viewStyle) {
                change(*label + "/vstl", *style, target.viewStyle, ChangeType::folderOverride);
            }
        } else if (entry.code == kIconViewCode) {
            if (const auto settings = IconViewSettings::read(entry.value)) {
                for (auto& difference : settings->differencesFrom(target)) {
                    change(*label + "/icvp." + difference.key, std::move(difference.oldValue),
                           std::move(difference.newValue), ChangeType::folderOverride);
                }
            }
        } else {
            change(*label + "/" + entry.code, "present", "removed", ChangeType::removeOverride);
        }
    }
    if (own && !own->complete()) {
        if (!own->viewStyle) {
            change(folderName + "/vstl", "absent", self->second->viewStyle,
                   ChangeType::folderOverride);
        }
        if (!own->iconView) {
            change(folderName + "/icvp", "absent", "present", ChangeType::folderOverride);
        }
        touched.emplace(".", self->second);
    }
    if (plan.localChanges.empty()) return std::nullopt;
    // std::set keeps the names in byte order, which is character-code order for UTF-8.
    FreshRecords fresh;
    for (const auto& [name, target] : touched) fresh.append(name, *target, plan.newEntries);
    return plan;
}

std::optional<DSStoreReconciliationPlan> FolderScanner::planNewStore(
    const std::string& storePath, const PlanTargets& targets) const {
    // Only a folder that has to say the layout itself gets a store it did not have.
    const std::string holder = deletingLastPathComponent(storePath);
    if (!targets.foldersOnly || !targets.folders.contains(targets.resolver.resolve(holder)) ||
        !platform::isDirectory(holder) || !isWellFormedUtf8(storePath)) {
        return std::nullopt;
    }
    auto plan = planStore(storePath, {}, targets);
    if (plan) plan->existed = false;
    return plan;
}

ReconciliationPlanning FolderScanner::planReconciliation(const std::vector<std::string>& folders,
                                                         const Layout& layout,
                                                         const PlanScope& scope) const {
    const PlanTargets targets = collectPlanTargets(folders, layout, scope);
    std::unordered_set<DeviceInode> seenFiles;  // each file once, however many paths reach it
    ReconciliationPlanning planning;
    for (const std::string& storePath : targets.storeFiles) {
        std::string problem;
        const auto entryType = platform::entryType(storePath, &problem);
        if (!entryType) {
            // Gone, or hidden in a folder that may not be searched: only the second is a store
            // that could not be read.
            if (!problem.empty()) {
                planning.unreadableStores.push_back(std::move(problem));
            } else if (auto plan = planNewStore(storePath, targets)) {
                planning.plans.push_back(std::move(*plan));
            }
            continue;
        }
        // A link is read like any store (a link to a device cannot be read, as a device
        // cannot), but never rewritten: the file it names is planned by its own path, if at all.
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
        Bytes bytes;
        DSStoreParseResult parsed;
        try {
            bytes = platform::readFile(storePath);
            parsed = m_reader.parse(bytes);
        } catch (const Error& error) {
            // One damaged store must not hold back every other folder: it is left as it is.
            planning.unreadableStores.push_back(storeProblem(storePath, error));
            continue;
        }
        if (!parsed.isComplete()) {
            planning.undecodableStores.push_back(storePath);
            continue;
        }
        auto plan = planStore(storePath, std::move(parsed.entries), targets);
        if (!plan) continue;
        if (isLink) {
            planning.linkedStores.push_back(displayablePath(storePath));
            continue;
        }
        plan->originalBytes = std::move(bytes);
        planning.plans.push_back(std::move(*plan));
    }
    return planning;
}

}  // namespace lumifold
