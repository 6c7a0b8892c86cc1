// LumifoldViewModel's stages: what each runs on the worker and stores back on the GUI thread.
#include <utility>

#include "app/LumifoldViewModel.h"
#include "core/common/Error.h"
#include "core/platform/PosixError.h"

namespace lumifold::app {
namespace {

constexpr QLatin1String kInspecting("Inspecting environment and folders...");
constexpr QLatin1String kInspected("Inspection complete.");
constexpr QLatin1String kInspectFailed("Inspection failed.");
constexpr QLatin1String kPreviewing("Generating preview...");
constexpr QLatin1String kPreviewed("Dry-run preview generated.");
constexpr QLatin1String kPreviewFailed("Preview failed.");
constexpr QLatin1String kApplying("Applying preferred settings...");
constexpr QLatin1String kApplied("Settings applied successfully!");
constexpr QLatin1String kApplyFailed("Apply failed.");
constexpr QLatin1String kAlreadyConsistent("Already consistent: nothing to change.");
constexpr QLatin1String kVerifying("Verifying folder compliance...");
constexpr QLatin1String kCompliant("All folders fully compliant.");
constexpr QLatin1String kDiscrepancies("Discrepancies found.");
constexpr QLatin1String kVerifyFailed("Verification failed.");
constexpr QLatin1String kRestoring("Restoring settings...");
constexpr QLatin1String kRestored("Restore completed.");
constexpr QLatin1String kRestoreRefused("Restore refused.");
constexpr QLatin1String kRestoreHalted("Restore halted.");
constexpr QLatin1String kReconciling("Keep Consistent: reconciling view...");
constexpr QLatin1String kLayoutHolds("Keep Consistent: layout holds.");
constexpr QLatin1String kPausedByRestore("Keep Consistent: paused since a restore.");
constexpr QLatin1String kWaitingForLock(
    "Keep Consistent: another Lumifold process is working; trying again shortly.");
constexpr QLatin1String kLayoutUnchecked(
    "Keep Consistent: nothing to apply, but not every file could be read.");
constexpr QLatin1String kLayoutFileUnusable(
    "Keep Consistent: the layout file cannot be used; nothing is written until it is mended.");
constexpr QLatin1String kReconcileFailed("Keep Consistent: apply failed; trying again later.");

// A copyable commit that shares, rather than copies, the results it stores: a preview can
// hold a hundred thousand changes.
template <typename F>
std::function<std::optional<QString>()> shared(F&& commit) {
    return [commit = std::make_shared<std::decay_t<F>>(std::forward<F>(commit))] {
        return (*commit)();
    };
}

// Worker: snapshot `id`'s drift evaluation. Throws when its manifest cannot be read.
RestoreEvaluationSummary evaluationOf(const LumifoldEngine& engine, const std::string& id) {
    const BackupManager& backups = engine.backupManager();
    const auto manifest = backups.loadManifest(id);
    if (!manifest) {
        const auto problem = backups.problemWith(id);
        throw Error(BackupManager::kDomain, BackupManager::kManifestNotFound,
                    problem ? problem->problem : BackupManager::kManifestNotFoundMessage);
    }
    return backups.evaluateRestore(*manifest);
}

// The same after a stage that wrote and succeeded: a snapshot that can no longer be read then
// loses its evaluation rather than failing that stage.
std::optional<RestoreEvaluationSummary> evaluationIfReadable(const LumifoldEngine& engine,
                                                             const std::string& id) {
    try {
        return evaluationOf(engine, id);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

QString fileCount(std::size_t count) {
    return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
}

// What a restore says on its screen; `drifted` counts the files changed since the apply.
StageOutcome restoreResultOutcome(bool restored, const std::string& id, std::size_t drifted) {
    if (!restored) {
        return {StageOutcome::Kind::warning,
                QStringLiteral("Restore refused: %1 changed since the apply. Turn on Force "
                               "restore to overwrite %2.")
                    .arg(fileCount(drifted),
                         drifted == 1 ? QStringLiteral("it") : QStringLiteral("them"))};
    }
    QString text = QStringLiteral("Restored snapshot ") + QString::fromStdString(id);
    if (drifted > 0) {
        text += QStringLiteral(", overwriting %1 changed since the apply").arg(fileCount(drifted));
    }
    return {StageOutcome::Kind::done, text + QLatin1Char('.')};
}

}  // namespace

namespace {

// The layout as Inspect shows it: an unusable file gives the built-in layout, with its problem.
LayoutShown shownLayout(const LumifoldEngine& engine) {
    LayoutShown shown;
    const PreferencesFile preferences = engine.preferencesManager().readPreferencesFile();
    std::optional<Error> problem;
    const Layout layout = engine.usableLayout(preferences, &problem);
    const std::string path = platform::printable(engine.layoutPath());
    shown.source = layout.file() ? "From " + path
                   : problem     ? "From " + path + ", which cannot be used"
                                 : "Built in (no layout file at " + path + ")";
    shown.lines = layout.describe();
    shown.rules = layout.file() ? layout.file()->rules.size() : 0;
    if (problem) shown.problem = problem->message();
    return shown;
}

}  // namespace

LumifoldViewModel::StageWork LumifoldViewModel::inspection() {
    return [this, host = m_environment.loginService](LumifoldEngine& engine) {
        const bool transfers = engine.coordinator().hasActiveTransfers();
        auto layout = shownLayout(engine);
        auto [info, folders] = engine.inspect();
        auto preview = engine.preview();
        auto backups = engine.backupManager().listSnapshots().snapshots;
        auto service = LoginService(host).status();
        return shared([this, info = std::move(info), folders = std::move(folders),
                       preview = std::move(preview), backups = std::move(backups),
                       service = std::move(service), layout = std::move(layout),
                       transfers]() mutable -> std::optional<QString> {
            change(m_layout, std::optional(std::move(layout)), &LumifoldViewModel::layoutChanged);
            store(m_systemInfo, std::optional(std::move(info)),
                  &LumifoldViewModel::systemInfoChanged);
            store(m_scannedFolders, std::move(folders), &LumifoldViewModel::scannedFoldersChanged);
            store(m_currentPreview, std::optional(std::move(preview)),
                  &LumifoldViewModel::currentPreviewChanged);
            change(m_isPreviewOutOfDate, false, &LumifoldViewModel::isPreviewOutOfDateChanged);
            store(m_availableBackups, std::move(backups),
                  &LumifoldViewModel::availableBackupsChanged);
            showLoginService(std::move(service));
            change(m_hasActiveTransfers, transfers, &LumifoldViewModel::hasActiveTransfersChanged);
            return kInspected;
        });
    };
}

void LumifoldViewModel::inspect() {
    runStage(Stage::inspect, kInspecting, kInspectFailed, inspection());
}

// Shown each time the Apply screen is: skipped while a stage runs, and it leaves a failure's
// message for the user to read.
void LumifoldViewModel::refresh() {
    runStage(Stage::refresh, std::nullopt, std::nullopt, inspection(), {}, false);
}

void LumifoldViewModel::generatePreview() {
    runStage(Stage::preview, kPreviewing, kPreviewFailed, [this](LumifoldEngine& engine) {
        auto preview = engine.preview();
        const bool transfers = engine.coordinator().hasActiveTransfers();
        return shared([this, preview = std::move(preview),
                       transfers]() mutable -> std::optional<QString> {
            store(m_currentPreview, std::optional(std::move(preview)),
                  &LumifoldViewModel::currentPreviewChanged);
            change(m_isPreviewOutOfDate, false, &LumifoldViewModel::isPreviewOutOfDateChanged);
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
    // The chosen snapshot's files may be among those just written.
    auto evaluation =
        m_selectedBackup ? evaluationIfReadable(engine, m_selectedBackup->id) : std::nullopt;
    return shared([this, snapshot = std::move(result.snapshot),
                   verification = std::move(result.verification), backups = std::move(backups),
                   folders = std::move(folders), evaluation = std::move(evaluation),
                   transfers]() mutable -> std::optional<QString> {
        store(m_lastManifest, std::optional(std::move(snapshot)),
              &LumifoldViewModel::lastManifestChanged);
        store(m_lastVerification, std::optional(std::move(verification)),
              &LumifoldViewModel::lastVerificationChanged);
        store(m_availableBackups, std::move(backups), &LumifoldViewModel::availableBackupsChanged);
        store(m_scannedFolders, std::move(folders), &LumifoldViewModel::scannedFoldersChanged);
        store(m_restoreEvaluation, std::move(evaluation),
              &LumifoldViewModel::restoreEvaluationChanged);
        change(m_isPreviewOutOfDate, true, &LumifoldViewModel::isPreviewOutOfDateChanged);
        change(m_hasActiveTransfers, transfers, &LumifoldViewModel::hasActiveTransfersChanged);
        return kApplied;
    });
}

void LumifoldViewModel::apply() {
    runStage(Stage::apply, kApplying, kApplyFailed,
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
    runStage(Stage::verify, kVerifying, kVerifyFailed, [this](LumifoldEngine& engine) {
        return shared([this, report = engine.verify()]() mutable -> std::optional<QString> {
            const bool compliant = report.isFullyCompliant();
            store(m_lastVerification, std::optional(std::move(report)),
                  &LumifoldViewModel::lastVerificationChanged);
            return compliant ? kCompliant : kDiscrepancies;
        });
    });
}

// Keep Consistent reconciles by the service's own rules (KeepConsistent): under the lock it
// plans, and applies only a plan that changes something while no restore has paused it, so the
// quiet period that follows its own writes makes no snapshot; a held lock or a failure is asked
// again later. A reconciliation that finds a stage running is asked again too.
void LumifoldViewModel::reconcile() {
    change(m_statusMessage, QString(kReconciling), &LumifoldViewModel::statusMessageChanged);
    const bool started = runStage(
        Stage::keepConsistent, kReconciling, kReconcileFailed,
        [this, relaunch = m_relaunchFinderOnApply,
         quiet = m_debounceInterval](LumifoldEngine& engine) -> Commit {
            m_keepConsistent->setRelaunchFinder(relaunch);
            m_keepConsistent->setQuietPeriod(quiet);
            Reconciliation outcome = m_keepConsistent->reconcile();
            const auto retry = outcome.retryAfter;
            const auto then = [this, retry] {
                if (retry && m_watcher) m_watcher->retryAfter(*retry);
            };
            if (outcome.applied) {
                Commit applied = afterApply(engine, std::move(*outcome.applied));
                return [applied = std::move(applied), then] {
                    then();
                    return applied();
                };
            }
            return shared([this, outcome = std::move(outcome), then]() -> std::optional<QString> {
                then();
                using Result = Reconciliation::Result;
                if (outcome.result == Result::failed) {
                    fail(Stage::keepConsistent,
                         QString::fromStdString(
                             outcome.warnings.empty() ? std::string() : outcome.warnings.front()));
                    return kReconcileFailed;
                }
                if (outcome.result == Result::paused) return kPausedByRestore;
                if (outcome.result == Result::waitingForLock) return kWaitingForLock;
                if (outcome.result == Result::layoutUnusable) {
                    // Said once by Keep Consistent; the screen keeps it until the file is mended.
                    if (!outcome.warnings.empty()) {
                        fail(Stage::keepConsistent,
                             QString::fromStdString(outcome.warnings.front()));
                    }
                    return kLayoutFileUnusable;
                }
                return outcome.warnings.empty() ? kLayoutHolds : kLayoutUnchecked;
            });
        },
        [this](const QString& message) {
            // What threw after the service's own reconciliation is asked again, as a failure is.
            fail(Stage::keepConsistent, message);
            if (m_watcher) m_watcher->retryLater();
        });
    if (!started && m_watcher) m_watcher->retryLater();
}

void LumifoldViewModel::selectBackup(const SnapshotSummary& backup) {
    if (m_runningStage) return;
    store(m_selectedBackup, std::optional(backup), &LumifoldViewModel::selectedBackupChanged);
    change(m_restoreOutcome, {}, &LumifoldViewModel::restoreOutcomeChanged);
    evaluate();
}

// Shown each time the Restore screen is: like refresh, it leaves a failure's message.
void LumifoldViewModel::evaluateSelectedBackup() { evaluate(); }

void LumifoldViewModel::evaluate() {
    if (m_runningStage || !m_selectedBackup) return;
    // The verdict made before must not stand over files that may have changed since.
    store(m_restoreEvaluation, {}, &LumifoldViewModel::restoreEvaluationChanged);
    runStage(
        Stage::restore, std::nullopt, std::nullopt,
        [this, id = m_selectedBackup->id](LumifoldEngine& engine) {
            return shared(
                [this, evaluation = evaluationOf(engine, id)]() mutable -> std::optional<QString> {
                    store(m_restoreEvaluation, std::optional(std::move(evaluation)),
                          &LumifoldViewModel::restoreEvaluationChanged);
                    return std::nullopt;
                });
        },
        [this](const QString& message) {
            change(m_restoreOutcome,
                   std::optional(StageOutcome{StageOutcome::Kind::failed, message}),
                   &LumifoldViewModel::restoreOutcomeChanged);
        });
}

void LumifoldViewModel::restore(bool force) {
    if (m_runningStage) return;
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
    change(m_restoreOutcome, {}, &LumifoldViewModel::restoreOutcomeChanged);
    runStage(
        Stage::restore, kRestoring, kRestoreHalted,
        [this, chosen = *chosen, force, resumeWatcher](LumifoldEngine& engine) {
            // Paused first, so no watcher sees the restore's writes unpaused.
            PausedRestore restore = restorePaused(engine, chosen.id, force);
            return afterRestore(engine, chosen, std::move(restore.result), resumeWatcher);
        },
        [this, resumeWatcher](const QString& message) {
            resumeWatcher();
            change(m_restoreOutcome,
                   std::optional(StageOutcome{StageOutcome::Kind::failed, message}),
                   &LumifoldViewModel::restoreOutcomeChanged);
        });
}

LumifoldViewModel::Commit LumifoldViewModel::afterRestore(LumifoldEngine& engine,
                                                          const SnapshotSummary& chosen,
                                                          RestoreResult result,
                                                          std::function<void()> resumeWatcher) {
    const bool restored = result.restored;
    const auto drifted = static_cast<std::size_t>(
        std::count_if(result.evaluation.begin(), result.evaluation.end(),
                      [](const auto& item) { return item.isModifiedSinceBackup; }));
    const StageOutcome outcome = restoreResultOutcome(restored, result.snapshotId, drifted);
    // A refusal's evaluation is of the files as they are; a restore changed them.
    std::optional<RestoreEvaluationSummary> evaluation =
        restored ? evaluationIfReadable(engine, result.snapshotId)
                 : RestoreEvaluationSummary{std::move(result.evaluation)};
    auto folders = engine.inspect().second;
    auto verification = engine.verify();
    const bool transfers = engine.coordinator().hasActiveTransfers();
    return shared([this, chosen, restored, outcome, resumeWatcher = std::move(resumeWatcher),
                   evaluation = std::move(evaluation), folders = std::move(folders),
                   verification = std::move(verification),
                   transfers]() mutable -> std::optional<QString> {
        // The screen's evaluation is of the snapshot restored, chosen or not.
        change(m_selectedBackup, std::optional(chosen), &LumifoldViewModel::selectedBackupChanged);
        store(m_restoreEvaluation, std::move(evaluation),
              &LumifoldViewModel::restoreEvaluationChanged);
        change(m_restoreOutcome, std::optional(outcome), &LumifoldViewModel::restoreOutcomeChanged);
        store(m_scannedFolders, std::move(folders), &LumifoldViewModel::scannedFoldersChanged);
        store(m_lastVerification, std::optional(std::move(verification)),
              &LumifoldViewModel::lastVerificationChanged);
        change(m_hasActiveTransfers, transfers, &LumifoldViewModel::hasActiveTransfersChanged);
        readPause();
        if (!restored) {
            resumeWatcher();
            return kRestoreRefused;
        }
        change(m_isPreviewOutOfDate, true, &LumifoldViewModel::isPreviewOutOfDateChanged);
        // The watcher stays paused and the button offers Start again.
        change(m_isWatcherActive, false, &LumifoldViewModel::isWatcherActiveChanged);
        return kRestored;
    });
}

}  // namespace lumifold::app
