// LumifoldEngine::apply, ::restore and ::prune: the operations that write, each holding the
// home's lock.
#include <algorithm>
#include <set>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/engine/ApplySupport.h"
#include "core/engine/FinderQuit.h"
#include "core/engine/LumifoldEngine.h"
#include "core/engine/WriteTargets.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/platform/Sha256.h"

namespace lumifold {
namespace {

using namespace apply_support;

// The name an earlier version gave the preferences file's temporary copies.
constexpr const char* kLegacyPreferencesTemporaryTarget = "finder.plist";

std::string changedMeanwhile(const std::string& path) {
    return "\"" + platform::printable(path) +
           "\" was changed by another program while Apply ran, so it was left as that program "
           "wrote it; the next Apply plans it afresh";
}

std::string leftAlone(const std::string& path, const std::string& why) {
    return "\"" + platform::printable(path) + "\" was left as it is: " + why;
}

// Opens every folder the plan writes in, noting in `result` what cannot be reached; which of
// the plan's stores can be.
std::vector<bool> recordTargets(const ChangePlan& plan, WriteTargets& targets,
                                ApplyResult& result) {
    targets.recordPreferencesFile(plan.preferences.path);
    for (const PlannedPush& push : plan.pushes) targets.recordPreferencesFile(push.domainPath);
    std::vector<bool> reachable;
    for (const StoreRewrite& store : plan.stores) {
        const auto why = targets.recordFolderOf(store.plan.dsStorePath);
        if (why) result.warnings.push_back(leftAlone(store.plan.dsStorePath, *why));
        reachable.push_back(!why);
    }
    const FileList& files = plan.extensionFiles;
    std::vector<std::string> unreachableFiles;
    std::string unreachableReason;
    forEachFolderRun(files, [&](std::size_t start, std::size_t end) {
        if (const auto why = targets.recordFolderOf(files.path(start))) {
            if (unreachableFiles.empty()) unreachableReason = *why;
            for (std::size_t i = start; i < end; ++i) unreachableFiles.push_back(files.path(i));
        }
    });
    if (!unreachableFiles.empty()) {
        result.warnings.push_back("Left the extensions of " +
                                  namedFiles(unreachableFiles, unreachableReason));
    }
    return reachable;
}

// The snapshot of what the plan changes. The manifest's long lists are made from the plan as
// they are written, twice (at the snapshot and when it is completed); they never exist in
// memory. The plan saw each of its files with its extension visible, so no second read is
// needed.
SnapshotRequest snapshotRequest(const ChangePlan& plan, const WriteTargets& targets,
                                const FinderPreferencesManager& preferences, bool foldersOnly) {
    SnapshotRequest request;
    request.finderPlistPath = plan.preferences.path;
    request.lists.appliedChanges = [&plan](const auto& each) { forEachChange(plan, each); };
    request.lists.fileExtensionBackups = [&plan](const auto& each) {
        const FileList& files = plan.extensionFiles;
        FileExtensionBackupItem item;  // one item's storage for every file
        forEachFolderRun(files, [&](std::size_t start, std::size_t end) {
            item.store = extensionStore(plan, files.folder(start));
            item.filePath = appending(files.folder(start), "");
            const std::size_t folderLength = item.filePath.size();
            for (std::size_t i = start; i < end; ++i) {
                item.filePath.resize(folderLength);
                item.filePath += files.name(i);
                each(item);
            }
        });
    };
    request.pushedPreferences = plan.pushes;
    if (plan.preferences.exists) request.finderPlistBytes = plan.preferences.bytes;
    request.finderPlistWasLink = plan.preferences.isLink;
    if (!foldersOnly) {
        request.finderPlistPlannedSHA256 =
            platform::sha256Hex(preferences.fileImage(plan.target, plan.preferences));
    }
    for (const StoreRewrite& store : plan.stores) {
        request.dsStores.push_back({store.plan.dsStorePath, store.plan.originalBytes,
                                    platform::sha256Hex(store.image), store.plan.existed});
    }
    request.writtenFolders = targets.written();
    if (plan.layout && plan.layout->file()) {
        AppliedLayout applied{
            .path = plan.layout->file()->path, .sha256 = plan.layout->file()->sha256, .target = {}};
        for (LayoutLine& line : plan.layout->describe()) {
            std::string value = std::move(line.value);
            if (value.size() >= 2 && value.front() == '"')
                value = value.substr(1, value.size() - 2);
            applied.target[line.key] = std::move(value);
        }
        request.layout = std::move(applied);
    }
    request.reserveCompletion = true;
    return request;
}

// Stores written before any is flushed, then flushed, put in place and their folders flushed
// together: one journal commit for many files where one each costs one each. Few enough that
// the descriptors held (a folder and a file each) never run short.
constexpr std::size_t kStoresStaged = 128;

// A store written beside its target, waiting to be put in place.
struct StagedStore {
    std::size_t index;  // into the plan's stores
    platform::OpenFolder folder;
    std::optional<platform::StagedReplacement> replacement;  // after `folder`: goes first
};

// Writes the preferences file and pushes the plan's values, noting what was written.
void writePreferences(FinderPreferencesManager& manager, const ChangePlan& plan,
                      ApplyResult& result, AppliedWrites& written, ApplyOutcome& outcome) {
    const PreferencesWrite preferences =
        manager.writePreferences(plan.target, plan.preferences, plan.pushes);
    written.preferences = preferences.fileWritten;
    written.pushed = preferences.pushed;
    outcome.preferencesNotWritten = !preferences.fileWritten;
    outcome.pushed = preferences.pushed;
    if (!preferences.fileWritten) {
        result.warnings.push_back(changedMeanwhile(plan.preferences.path));
    }
    for (const std::string& domain : preferences.domainsNotWritten) {
        result.warnings.push_back(changedMeanwhile(domain));
    }
    result.warnings.insert(result.warnings.end(), preferences.warnings.begin(),
                           preferences.warnings.end());
}

}  // namespace

void LumifoldEngine::addChosenFolder(platform::WriteBounds& bounds, const std::string& folder) {
    // A folder that cannot be opened (gone, or no folder) has nothing to write in.
    try {
        bounds.addRoot(folder);
    } catch (const Error&) {
        return;
    }
    try {
        bounds.addFileOnly(deletingLastPathComponent(folder), dsstore_format::kFileName);
    } catch (const Error&) {
    }
}

platform::WriteBounds LumifoldEngine::applyBounds(const std::vector<std::string>& folders) const {
    platform::WriteBounds bounds;
    bounds.addRoot(m_home);
    // A folder of a tree is reached from the folder it was found in; only the folders the user
    // chose (none of whose parents is in the list) are roots of their own.
    const std::set<std::string> listed(folders.begin(), folders.end());
    for (const std::string& folder : folders) {
        if (listed.contains(deletingLastPathComponent(folder))) continue;
        if (!m_foldersOnly) {
            addChosenFolder(bounds, folder);
            continue;
        }
        // The folder alone: a parent outside every chosen folder is not written in.
        try {
            bounds.addRoot(folder);
        } catch (const Error&) {
        }
    }
    return bounds;
}

ApplyResult LumifoldEngine::apply(const FolderList& folders, bool relaunchFinder) {
    return *applyIf(folders, relaunchFinder, [](const ChangePlan&) { return true; });
}

std::optional<ApplyResult> LumifoldEngine::applyIf(
    const FolderList& folders, bool relaunchFinder,
    const std::function<bool(const ChangePlan&)>& proceed, PlanScope scope) {
    const platform::FileLock held = lock("apply");
    const ChangePlan plan = this->plan(folders, std::move(scope));
    if (!proceed(plan)) return std::nullopt;
    if (plan.refusal) throw *plan.refusal;
    // A snapshot of nothing would be the one a later restore takes, and undo nothing.
    if (changeCount(plan) == 0) {
        ApplyResult nothing;
        nothing.warnings = plan.preview.warnings;
        nothing.alreadyConsistent = true;
        return nothing;
    }
    return carryOut(plan, relaunchFinder);
}

ApplyResult LumifoldEngine::carryOut(const ChangePlan& plan, bool relaunchFinder) {
    ApplyResult result;
    result.warnings = plan.preview.warnings;
    // Every folder Apply writes in is opened now, so the snapshot says which folder it was; a
    // preferences file that leads out of the home stops Apply here, before anything is written.
    WriteTargets targets(applyBounds(plan.folders), m_home);
    const std::vector<bool> reachable = recordTargets(plan, targets, result);
    removeLeftovers(plan, targets);
    const SnapshotRequest request =
        snapshotRequest(plan, targets, m_preferencesManager, m_foldersOnly);
    report("Apply", "Taking the snapshot");
    const WrittenSnapshot snapshot = m_backupManager.createSnapshot(request);

    AppliedWrites written;
    written.flags.assign(plan.extensionFiles.size(), false);
    ApplyOutcome outcome;
    FinderQuit finder(m_coordinator);
    try {
        if (relaunchFinder) finder.quit();
        if (m_foldersOnly) {
            outcome.preferencesNotWritten = true;  // never Apply's to write, nor Restore's
        } else {
            report("Apply", "Writing preferences");
            writePreferences(m_preferencesManager, plan, result, written, outcome);
        }
        writeStores(plan, targets, reachable, result, written, outcome);
        hideExtensions(plan, targets, result, written.flags);
        report("Apply", "Recording checksums");
        WrittenSnapshot completed = m_backupManager.completeSnapshot(request, snapshot, outcome);
        result.manifest = std::move(completed.header);
        result.snapshot = std::move(completed.summary);
    } catch (...) {
        // The Finder starts again as `finder` goes, after what was written is put back.
        failAfterSnapshot(std::current_exception(), plan, targets, request, snapshot, written);
    }
    finder.relaunch();
    result.verification = verify(plan.folders, plan.metadataStores, nullptr);
    return result;
}

void LumifoldEngine::writeStores(const ChangePlan& plan, const WriteTargets& targets,
                                 const std::vector<bool>& reachable, ApplyResult& result,
                                 AppliedWrites& written, ApplyOutcome& outcome) const {
    std::vector<StagedStore> staged;
    staged.reserve(kStoresStaged);  // never moved while `placed` points into it
    // Puts the staged stores in place, then makes their folders' new entries last (before the
    // snapshot records the files as written), and lets the folders go.
    const auto complete = [&] {
        std::vector<const platform::OpenFolder*> placed;
        for (StagedStore& store : staged) {
            const std::string& path = plan.stores[store.index].plan.dsStorePath;
            if (store.replacement->complete()) {
                written.stores.push_back(store.index);
                placed.push_back(&store.folder);
            } else {
                outcome.storesNotWritten.push_back(path);
                result.warnings.push_back(changedMeanwhile(path));
            }
        }
        for (const platform::OpenFolder* folder : placed) platform::flushFolder(*folder);
        staged.clear();
    };
    for (std::size_t i = 0; i < plan.stores.size(); ++i) {
        report("Apply", "Writing stores", i, plan.stores.size());
        const StoreRewrite& store = plan.stores[i];
        const std::string& path = store.plan.dsStorePath;
        std::string why;
        auto folder = reachable[i] ? targets.folderOf(path, why) : std::nullopt;
        if (!folder) {
            if (reachable[i]) result.warnings.push_back(leftAlone(path, why));
            outcome.storesNotWritten.push_back(path);
            continue;
        }
        platform::ReplaceOptions options;
        options.unlessChangedFrom =
            platform::PlannedContent{store.plan.existed, store.plan.originalBytes};
        options.belongsToFolderWhenNew = true;
        options.flushFolder = false;  // each folder once, when its batch is in place
        staged.push_back({i, std::move(*folder), std::nullopt});
        staged.back().replacement.emplace(staged.back().folder, dsstore_format::kFileName,
                                          store.image, std::move(options));
        if (staged.size() == kStoresStaged) complete();
    }
    complete();
}

void LumifoldEngine::hideExtensions(const ChangePlan& plan, const WriteTargets& targets,
                                    ApplyResult& result, std::vector<bool>& set) const {
    const FileList& files = plan.extensionFiles;
    std::vector<std::string> refused;
    std::string firstReason;
    forEachFolderRun(files, [&](std::size_t start, std::size_t end) {
        std::string why;
        const auto folder = targets.folderOf(files.path(start), why);
        const auto store = extensionStore(plan, files.folder(start));
        std::string name;  // one buffer for every name
        for (std::size_t i = start; i < end; ++i) {
            report("Apply", "Hiding extensions", i, files.size());
            try {
                if (!folder) throw Error(platform::kPosixDomain, platform::kOutsideRoots, why);
                name.assign(files.name(i));
                platform::setHasHiddenExtensionIn(*folder, name, true, store);
                set[i] = true;
                ++result.extensionsHidden;
            } catch (const Error& error) {
                // One file that refuses its flag must not stop the others; it is reported.
                if (refused.empty()) firstReason = error.message();
                refused.push_back(files.path(i));
            }
        }
    });
    report("Apply", "Hiding extensions", files.size(), files.size());
    if (!refused.empty()) {
        result.warnings.push_back("Could not hide the extension of " +
                                  namedFiles(refused, firstReason));
    }
}

void LumifoldEngine::removeLeftovers(const ChangePlan& plan, const WriteTargets& targets) const {
    // What a killed run left beside the files this one writes goes first: in the folders of
    // the plan, their parents, and the preferences folders.
    std::set<std::string> files;
    for (const std::string& folder : plan.folders) {
        files.insert(appending(folder, dsstore_format::kFileName));
        if (!m_foldersOnly) {
            files.insert(appending(deletingLastPathComponent(folder), dsstore_format::kFileName));
        }
    }
    for (const StoreRewrite& store : plan.stores) files.insert(store.plan.dsStorePath);
    for (const std::string& file : files) {
        // A folder the plan listed whole is listed again only where it saw leftovers.
        if (const std::string folder = deletingLastPathComponent(file);
            plan.listedFolders.contains(folder) && !plan.foldersWithLeftovers.contains(folder)) {
            continue;
        }
        if (const auto folder = targets.reach(file)) {
            platform::removeOwnTemporaryFilesIn(*folder, {dsstore_format::kFileName});
        }
    }
    std::vector<std::string> preferences;
    if (!m_foldersOnly) preferences.push_back(plan.preferences.path);
    for (const PlannedPush& push : plan.pushes) preferences.push_back(push.domainPath);
    for (const std::string& file : preferences) {
        try {
            const platform::FilePlace place = platform::placeFileUnder(m_home, file, true);
            platform::removeOwnTemporaryFilesIn(place.folder, {place.name, lastPathComponent(file),
                                                               kLegacyPreferencesTemporaryTarget});
        } catch (const Error&) {
            // A folder not made yet holds no leftovers.
        }
    }
}

platform::WriteBounds LumifoldEngine::restoreBounds(const std::vector<std::string>& folders) const {
    platform::WriteBounds bounds;
    bounds.addRoot(m_home);
    // The default folders are the user's choice, not the snapshot's: a Documents folder that
    // is a link to another disk is restored there as Apply wrote there.
    for (const std::string& folder : m_scanner.defaultFolders()) addChosenFolder(bounds, folder);
    for (const std::string& folder : folders) {
        bounds.addRoot(folder);  // named by the user: one that cannot be opened is an error
        addChosenFolder(bounds, folder);
    }
    return bounds;
}

RestoreResult LumifoldEngine::restore(const std::optional<std::string>& backupID, bool force,
                                      const std::vector<std::string>& folders) {
    const platform::FileLock held = lock("restore");
    std::optional<SnapshotSummary> found;
    if (backupID) {
        for (SnapshotSummary& summary : m_backupManager.listSnapshots().snapshots) {
            if (summary.id == *backupID) found = std::move(summary);
        }
        if (!found) {
            if (const auto problem = m_backupManager.problemWith(*backupID)) {
                throw Error(kDomain, kUnusableSnapshot,
                            "Snapshot " + platform::printable(*backupID) +
                                " cannot be restored: " + problem->problem);
            }
            throw Error(kDomain, kNoBackupManifest,
                        "There is no snapshot " + platform::printable(*backupID));
        }
    } else if (!(found = m_backupManager.newestHoldingChanges())) {
        throw Error(kDomain, kNoBackupManifest,
                    m_backupManager.listSnapshots().snapshots.empty()
                        ? "No backup manifest found"
                        : "No snapshot holds anything to restore");
    }
    // One manifest, read as a stream; its change list is checked but not kept.
    const BackupManifest manifest = m_backupManager.loadManifestForRestore(found->id);
    const BackupManifest* chosen = &manifest;

    report("Restore", "Checking the snapshot");
    const platform::WriteBounds bounds = restoreBounds(folders);
    const RestoreEvaluationSummary evaluation = m_backupManager.evaluateRestore(*chosen);
    // A snapshot Restore must refuse whatever the user says is refused before drift is even
    // mentioned.
    m_backupManager.checkRestorable(*chosen, bounds);
    RestoreResult result{
        .snapshotId = found->id, .createdAt = found->createdAt, .evaluation = evaluation.items};
    if (evaluation.hasModifications() && !force) return result;

    report("Restore", "Restoring files");
    result.restored = true;
    FinderQuit finder(m_coordinator);
    finder.quit();
    m_backupManager.restoreSnapshot(*chosen, force, evaluation, bounds);
    finder.relaunch();
    return result;
}

PruneResult LumifoldEngine::prune(std::optional<std::size_t> keep) {
    const platform::FileLock held = lock("prune");
    return m_backupManager.prune(keep);
}

}  // namespace lumifold
