// LumifoldViewModel's stages: what each runs on the worker and stores back on the GUI thread.
#include <utility>

#include "app/LumifoldViewModel.h"
#include "core/common/Error.h"
#include "core/watcher/WatchPause.h"

namespace lumifold::app {
namespace {

constexpr QLatin1String kInspecting("Inspecting environment and folders...");
constexpr QLatin1String kInspected("Inspection complete.");
constexpr QLatin1String kPreviewing("Generating preview...");
constexpr QLatin1String kPreviewed("Dry-run preview generated.");
constexpr QLatin1String kApplying("Applying preferred settings...");
constexpr QLatin1String kApplied("Settings applied successfully!");
constexpr QLatin1String kApplyFailed("Apply failed.");
constexpr QLatin1String kAlreadyConsistent("Already consistent: nothing to change.");
constexpr QLatin1String kVerifying("Verifying folder compliance...");
constexpr QLatin1String kCompliant("All folders fully compliant.");
constexpr QLatin1String kDiscrepancies("Discrepancies found.");
constexpr QLatin1String kRestoring("Restoring settings...");
constexpr QLatin1String kRestored("Restore completed.");
constexpr QLatin1String kRestoreHalted("Restore halted.");
constexpr QLatin1String kReconciling("Keep Consistent: reconciling view...");
constexpr QLatin1String kLayoutHolds("Keep Consistent: layout holds.");
constexpr QLatin1String kPausedByRestore("Keep Consistent: paused since a restore.");
constexpr QLatin1String kWaitingForLock(
    "Keep Consistent: another Lumifold process is working; trying again shortly.");

// A copyable commit that shares, rather than copies, the results it stores: a preview can
// hold a hundred thousand changes.
template <typename F>
std::function<std::optional<QString>()> shared(F&& commit) {
    return [commit = std::make_shared<std::decay_t<F>>(std::forward<F>(commit))] {
        return (*commit)();
    };
}

}  // namespace

LumifoldViewModel::StageWork LumifoldViewModel::inspection() {
    return [this, host = m_environment.launchAgent](LumifoldEngine& engine) {
        const bool transfers = engine.coordinator().hasActiveTransfers();
        auto [info, folders] = engine.inspect();
        auto preview = engine.preview();
        auto backups = engine.backupManager().listSnapshots().snapshots;
        const bool agent = LaunchAgent(host).isLaunchAgentInstalled();
        return shared([this, info = std::move(info), folders = std::move(folders),
                       preview = std::move(preview), backups = std::move(backups), agent,
                       transfers]() mutable -> std::optional<QString> {
            store(m_systemInfo, std::optional(std::move(info)),
                  &LumifoldViewModel::systemInfoChanged);
            store(m_scannedFolders, std::move(folders), &LumifoldViewModel::scannedFoldersChanged);
            store(m_currentPreview, std::optional(std::move(preview)),
                  &LumifoldViewModel::currentPreviewChanged);
            store(m_availableBackups, std::move(backups),
                  &LumifoldViewModel::availableBackupsChanged);
            change(m_isLaunchAgentInstalled, agent,
                   &LumifoldViewModel::isLaunchAgentInstalledChanged);
            change(m_hasActiveTransfers, transfers, &LumifoldViewModel::hasActiveTransfersChanged);
            return kInspected;
        });
    };
}

void LumifoldViewModel::inspect() { runStage(kInspecting, std::nullopt, inspection()); }

// Shown each time the Apply screen is: skipped while a stage runs, and it leaves a failure's
// message for the user to read.
void LumifoldViewModel::refresh() { runStage(std::nullopt, std::nullopt, inspection(), {}, false); }

void LumifoldViewModel::generatePreview() {
    runStage(kPreviewing, std::nullopt, [this](LumifoldEngine& engine) {
        auto preview = engine.preview();
        const bool transfers = engine.coordinator().hasActiveTransfers();
        return shared([this, preview = std::move(preview),
                       transfers]() mutable -> std::optional<QString> {
            store(m_currentPreview, std::optional(std::move(preview)),
                  &LumifoldViewModel::currentPreviewChanged);
            change(m_hasActiveTransfers, transfers, &LumifoldViewModel::hasActiveTransfersChanged);
            return kPreviewed;
        });
    });
}

LumifoldViewModel::Commit LumifoldViewModel::afterApply(LumifoldEngine& engine,
                                                        ApplyResult result) {
    auto backups = engine.backupManager().listSnapshots().snapshots;
    auto folders = engine.inspect().second;
    const bool transfers = engine.coordinator().hasActiveTransfers();
    return shared([this, snapshot = std::move(result.snapshot),
                   verification = std::move(result.verification), backups = std::move(backups),
                   folders = std::move(folders), transfers]() mutable -> std::optional<QString> {
        store(m_lastManifest, std::optional(std::move(snapshot)),
              &LumifoldViewModel::lastManifestChanged);
        store(m_lastVerification, std::optional(std::move(verification)),
              &LumifoldViewModel::lastVerificationChanged);
        store(m_availableBackups, std::move(backups), &LumifoldViewModel::availableBackupsChanged);
        store(m_scannedFolders, std::move(folders), &LumifoldViewModel::scannedFoldersChanged);
        change(m_hasActiveTransfers, transfers, &LumifoldViewModel::hasActiveTransfersChanged);
        return kApplied;
    });
}

void LumifoldViewModel::apply() {
    runStage(kApplying, kApplyFailed,
             [this, relaunch = m_relaunchFinderOnApply](LumifoldEngine& engine) -> Commit {
                 ApplyResult result = engine.apply(std::nullopt, relaunch);
                 // Nothing was written and no snapshot taken: what the screens show holds.
                 if (result.alreadyConsistent) {
                     return []() -> std::optional<QString> { return kAlreadyConsistent; };
                 }
                 return afterApply(engine, std::move(result));
             });
}

void LumifoldViewModel::verify() {
    runStage(kVerifying, std::nullopt, [this](LumifoldEngine& engine) {
        return shared([this, report = engine.verify()]() mutable -> std::optional<QString> {
            const bool compliant = report.isFullyCompliant();
            store(m_lastVerification, std::optional(std::move(report)),
                  &LumifoldViewModel::lastVerificationChanged);
            return compliant ? kCompliant : kDiscrepancies;
        });
    });
}

// Keep Consistent reconciles as the watch service does: under the lock it plans, and applies
// only a plan that changes something while no restore has paused it, so the quiet period that
// follows its own writes makes no snapshot.
void LumifoldViewModel::reconcile() {
    change(m_statusMessage, QString(kReconciling), &LumifoldViewModel::statusMessageChanged);
    runStage(kReconciling, kApplyFailed,
             [this, relaunch = m_relaunchFinderOnApply](LumifoldEngine& engine) -> Commit {
                 const WatchPause pause(engine.homeDirectory());
                 bool paused = false;
                 std::optional<ApplyResult> result;
                 try {
                     result = engine.applyIf(std::nullopt, relaunch, [&](const ChangePlan& plan) {
                         paused = pause.isPaused();
                         return !paused && changeCount(plan) > 0;
                     });
                 } catch (const Error& error) {
                     // Another Lumifold process holds the lock: no failure, the watcher asks
                     // again one quiet period later.
                     if (error.domain() != LumifoldEngine::kDomain ||
                         error.code() != LumifoldEngine::kLocked) {
                         throw;
                     }
                     return [this]() -> std::optional<QString> {
                         if (m_watcher) m_watcher->retryLater();
                         return kWaitingForLock;
                     };
                 }
                 if (result) return afterApply(engine, std::move(*result));
                 return [paused]() -> std::optional<QString> {
                     return paused ? kPausedByRestore : kLayoutHolds;
                 };
             });
}

void LumifoldViewModel::selectBackup(const SnapshotSummary& backup) {
    if (m_isWorking) return;
    store(m_selectedBackup, std::optional(backup), &LumifoldViewModel::selectedBackupChanged);
    store(m_restoreEvaluation, {}, &LumifoldViewModel::restoreEvaluationChanged);
    runStage(std::nullopt, std::nullopt, [this, id = backup.id](LumifoldEngine& engine) {
        const BackupManager& backups = engine.backupManager();
        const auto manifest = backups.loadManifest(id);
        if (!manifest) {
            const auto problem = backups.problemWith(id);
            throw Error(kBackupManagerDomain, kBackupManifestNotFound,
                        problem ? problem->problem : kBackupManifestNotFoundMessage);
        }
        return shared([this, evaluation = backups.evaluateRestore(
                                 *manifest)]() mutable -> std::optional<QString> {
            store(m_restoreEvaluation, std::optional(std::move(evaluation)),
                  &LumifoldViewModel::restoreEvaluationChanged);
            return std::nullopt;
        });
    });
}

void LumifoldViewModel::restore(bool force) {
    if (m_isWorking) return;
    std::optional<SnapshotSummary> chosen = m_selectedBackup;
    // As `lumifold restore`: the newest snapshot with something to put back.
    for (const SnapshotSummary& backup : m_availableBackups) {
        if (chosen) break;
        if (backup.holdsChanges) chosen = backup;
    }
    if (!chosen) return;
    // The in-app watcher must not take the restore's writes for a change to undo.
    const bool watching = m_isWatcherActive;
    if (watching) {
        m_watcher->pause();
        watcherSettled();
    }
    const auto resumeWatcher = [this, watching] {
        if (!watching) return;
        m_watcher->resume();
        watcherSettled();
    };
    runStage(
        kRestoring, kRestoreHalted,
        [this, id = chosen->id, force, resumeWatcher](LumifoldEngine& engine) -> Commit {
            // The service's pause goes first, so no watcher sees the restore's writes unpaused.
            // Put back as it was when nothing is restored, a throw included.
            const WatchPause pause(engine.homeDirectory());
            RestorePause restorePause(pause, id);
            RestoreResult result = engine.restore(id, force);
            const bool restored = result.restored;
            if (restored) restorePause.keep(result.snapshotId);
            RestoreEvaluationSummary evaluation{std::move(result.evaluation)};
            auto folders = engine.inspect().second;
            auto verification = engine.verify();
            const bool transfers = engine.coordinator().hasActiveTransfers();
            return shared([this, restored, resumeWatcher, evaluation = std::move(evaluation),
                           folders = std::move(folders), verification = std::move(verification),
                           transfers]() mutable -> std::optional<QString> {
                store(m_restoreEvaluation, std::optional(std::move(evaluation)),
                      &LumifoldViewModel::restoreEvaluationChanged);
                store(m_scannedFolders, std::move(folders),
                      &LumifoldViewModel::scannedFoldersChanged);
                store(m_lastVerification, std::optional(std::move(verification)),
                      &LumifoldViewModel::lastVerificationChanged);
                change(m_hasActiveTransfers, transfers,
                       &LumifoldViewModel::hasActiveTransfersChanged);
                // Restored: the watcher stays paused and the button offers Start again.
                if (restored) {
                    change(m_isWatcherActive, false, &LumifoldViewModel::isWatcherActiveChanged);
                } else {
                    resumeWatcher();
                }
                return kRestored;
            });
        },
        resumeWatcher);
}

}  // namespace lumifold::app
