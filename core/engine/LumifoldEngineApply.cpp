// LumifoldEngine::apply, ::restore and ::prune: the operations that write, each holding the
// home's lock.
#include <algorithm>
#include <map>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/engine/LumifoldEngine.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace {

constexpr const char* kDSStoreName = ".DS_Store";
// The name an earlier version gave the preferences file's temporary copies.
constexpr const char* kLegacyPreferencesTemporaryTarget = "finder.plist";
constexpr std::size_t kNamedInWarning = 5;

std::string changedMeanwhile(const std::string& path) {
    return "\"" + platform::printable(path) +
           "\" was changed by another program while Apply ran, so it was left as that program "
           "wrote it; the next Apply plans it afresh";
}

}  // namespace

void LumifoldEngine::removeLeftovers(
    const std::vector<std::pair<std::string, std::string>>& files) const {
    std::map<std::string, std::vector<std::string>> namesByFolder;
    for (const auto& [folder, name] : files) namesByFolder[folder].push_back(name);
    for (auto& [folder, names] : namesByFolder) {
        names.push_back(kLegacyPreferencesTemporaryTarget);
        platform::removeOwnTemporaryFiles(folder, names);
    }
}

ApplyResult LumifoldEngine::apply(const FolderList& folders, bool relaunchFinder) {
    return *applyIf(folders, relaunchFinder, [](const ChangePlan&) { return true; });
}

std::optional<ApplyResult> LumifoldEngine::applyIf(
    const FolderList& folders, bool relaunchFinder,
    const std::function<bool(const ChangePlan&)>& proceed) {
    const platform::FileLock held = lock();
    const ChangePlan plan = this->plan(folders);
    if (!proceed(plan)) return std::nullopt;
    if (plan.refusal) throw *plan.refusal;
    return carryOut(plan, relaunchFinder);
}

ApplyResult LumifoldEngine::carryOut(const ChangePlan& plan, bool relaunchFinder) {
    // What a killed run left in the folders this one writes goes first.
    std::vector<std::pair<std::string, std::string>> touched;
    for (const std::string& folder : plan.folders) {
        touched.emplace_back(folder, kDSStoreName);
        touched.emplace_back(deletingLastPathComponent(folder), kDSStoreName);
    }
    const std::string& preferencesPath = plan.preferences.path;
    touched.emplace_back(deletingLastPathComponent(preferencesPath),
                         lastPathComponent(preferencesPath));
    const std::string resolvedPreferences = platform::resolveSymbolicLinks(preferencesPath);
    touched.emplace_back(deletingLastPathComponent(resolvedPreferences),
                         lastPathComponent(resolvedPreferences));
    removeLeftovers(touched);

    // The manifest's long lists are made from the plan as they are written, twice (at the
    // snapshot and when it is completed); they never exist in memory. The plan saw each of
    // these files with its extension visible, so no second read is needed.
    const FileList& files = plan.extensionFiles;
    SnapshotRequest request;
    request.finderPlistURL = preferencesPath;
    request.lists.appliedChanges = [&plan](const auto& each) { forEachChange(plan, each); };
    request.lists.fileExtensionBackups = [&files](const auto& each) {
        for (std::size_t i = 0; i < files.size(); ++i) each({files.path(i), false});
    };
    request.pushedPreferences = plan.pushes;
    if (plan.preferences.exists) request.finderPlistBytes = plan.preferences.bytes;
    for (const StoreRewrite& store : plan.stores) {
        request.dsStores.push_back({store.plan.dsStoreURL, store.plan.originalBytes});
    }
    report("Apply", "Taking the snapshot");
    const WrittenSnapshot snapshot = m_backupManager.createSnapshot(request);

    bool finderQuit = false;
    if (relaunchFinder && m_coordinator.isFinderRunning()) {
        m_coordinator.quitFinder(kFinderQuitTimeout);
        finderQuit = true;
    }

    ApplyResult result;
    result.warnings = plan.preview.warnings;
    ApplyOutcome outcome;
    try {
        report("Apply", "Writing preferences");
        const PreferencesWrite written =
            m_preferencesManager.writePreferences(plan.target, plan.preferences, plan.pushes);
        outcome.preferencesNotWritten = !written.fileWritten;
        outcome.pushed = written.pushed;
        if (!written.fileWritten) result.warnings.push_back(changedMeanwhile(preferencesPath));
        result.warnings.insert(result.warnings.end(), written.warnings.begin(),
                               written.warnings.end());

        std::uint64_t storesDone = 0;
        for (const StoreRewrite& store : plan.stores) {
            report("Apply", "Writing stores", storesDone++, plan.stores.size());
            const std::string& path = store.plan.dsStoreURL;
            platform::ReplaceOptions options;
            options.unlessChangedFrom = platform::PlannedContent{true, store.plan.originalBytes};
            const bool replaced = platform::replaceFile(path, store.image, options);
            if (!replaced) {
                outcome.storesNotWritten.push_back(path);
                result.warnings.push_back(changedMeanwhile(path));
            }
        }

        std::vector<std::string> refused;
        std::string firstReason;
        for (std::size_t i = 0; i < files.size(); ++i) {
            report("Apply", "Hiding extensions", i, files.size());
            const std::string file = files.path(i);
            try {
                platform::setHasHiddenExtension(file, true);
                ++result.extensionsHidden;
            } catch (const Error& error) {
                // One file that refuses its flag must not stop the others; it is reported.
                if (refused.empty()) firstReason = error.message();
                refused.push_back(file);
            }
        }
        report("Apply", "Hiding extensions", files.size(), files.size());
        if (!refused.empty()) {
            std::string names;
            for (std::size_t i = 0; i < refused.size() && i < kNamedInWarning; ++i) {
                names += (i == 0 ? "" : ", ") + platform::printable(refused[i]);
            }
            result.warnings.push_back("Could not hide the extension of " +
                                      std::to_string(refused.size()) + " file(s) (" + names +
                                      (refused.size() > kNamedInWarning ? ", ..." : "") +
                                      "); the first failure: " + firstReason);
        }
        report("Apply", "Recording checksums");
        WrittenSnapshot completed = m_backupManager.completeSnapshot(request, snapshot, outcome);
        result.manifest = std::move(completed.header);
        result.snapshot = std::move(completed.summary);
    } catch (...) {
        // Never leave the user without a Finder: start it again, then report the failure.
        if (finderQuit) restartFinderQuietly();
        throw;
    }
    if (finderQuit) {
        m_coordinator.flushPreferenceCache();
        m_coordinator.relaunchFinder();
    }
    result.verification = verify(plan.folders);
    return result;
}

RestoreResult LumifoldEngine::restore(const std::optional<std::string>& backupID, bool force) {
    const platform::FileLock held = lock();
    const auto snapshots = m_backupManager.listSnapshots().snapshots;
    const auto found = std::find_if(snapshots.begin(), snapshots.end(), [&](const auto& summary) {
        return !backupID || summary.id == *backupID;
    });
    if (found == snapshots.end()) {
        if (backupID) {
            if (const auto problem = m_backupManager.problemWith(*backupID)) {
                throw Error(kDomain, kUnusableSnapshot,
                            "Snapshot " + platform::printable(*backupID) +
                                " cannot be restored: " + problem->problem);
            }
        }
        throw Error(kDomain, kNoBackupManifest, "No backup manifest found");
    }
    // One manifest, read as a stream; its change list is checked but not kept.
    const BackupManifest manifest = m_backupManager.loadManifestForRestore(found->id);
    const BackupManifest* chosen = &manifest;

    report("Restore", "Checking the snapshot");
    const RestoreEvaluationSummary evaluation = m_backupManager.evaluateRestore(*chosen);
    RestoreResult result{.snapshotId = found->id, .evaluation = evaluation.items};
    if (evaluation.hasModifications() && !force) return result;

    report("Restore", "Restoring files");
    result.restored = true;
    if (!m_coordinator.isFinderRunning()) {
        m_backupManager.restoreSnapshot(*chosen, force, evaluation);
        return result;
    }
    m_coordinator.quitFinder(kFinderQuitTimeout);
    try {
        m_backupManager.restoreSnapshot(*chosen, force, evaluation);
    } catch (...) {
        restartFinderQuietly();
        throw;
    }
    m_coordinator.flushPreferenceCache();
    m_coordinator.relaunchFinder();
    return result;
}

PruneResult LumifoldEngine::prune(std::optional<std::size_t> keep) {
    const platform::FileLock held = lock();
    return m_backupManager.prune(keep);
}

}  // namespace lumifold
