#include "app/LumifoldViewModel.h"

#include <QFile>
#include <QMetaObject>
#include <QPointer>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/platform/Executable.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
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
constexpr QLatin1String kVerifying("Verifying folder compliance...");
constexpr QLatin1String kCompliant("All folders fully compliant.");
constexpr QLatin1String kDiscrepancies("Discrepancies found.");
constexpr QLatin1String kRestoring("Restoring settings...");
constexpr QLatin1String kRestored("Restore completed.");
constexpr QLatin1String kRestoreHalted("Restore halted.");
constexpr QLatin1String kReconciling("Keep Consistent: reconciling view...");
constexpr QLatin1String kLayoutHolds("Keep Consistent: layout holds.");
constexpr QLatin1String kPausedByRestore("Keep Consistent: paused since a restore.");
constexpr QLatin1String kAgentInstalled("LaunchAgent installed.");
constexpr QLatin1String kAgentUninstalled("LaunchAgent uninstalled.");

constexpr const char* kProgramName = "lumifold";
// Where the program usually lives, when neither this program's folder nor PATH has it.
constexpr const char* kFallbackProgram = "/usr/local/bin/lumifold";
constexpr double kShortestDebounce = 5.0;
constexpr double kLongestDebounce = 30.0;

// A copyable commit that shares, rather than copies, the results it stores: a preview can
// hold a hundred thousand changes.
template <typename F>
std::function<std::optional<QString>()> shared(F&& commit) {
    return [commit = std::make_shared<std::decay_t<F>>(std::forward<F>(commit))] {
        return (*commit)();
    };
}

// The command-line program installed beside this one, else the one on PATH.
std::string findCommandLineProgram() {
    if (const auto self = platform::executablePath()) {
        const std::string beside = appending(deletingLastPathComponent(*self), kProgramName);
        if (platform::isRegularFile(beside) &&
            (platform::permissionBits(beside).value_or(0) & 0111)) {
            return beside;
        }
    }
    const QString onPath = QStandardPaths::findExecutable(QString::fromLatin1(kProgramName));
    return onPath.isEmpty() ? kFallbackProgram : QFile::encodeName(onPath).toStdString();
}

}  // namespace

AppEnvironment AppEnvironment::system() {
    AppEnvironment environment;
    environment.launchAgent = LaunchAgentHost::system(environment.engine.homeDirectory, false);
    environment.commandLineProgram = findCommandLineProgram();
    return environment;
}

LumifoldViewModel::LumifoldViewModel(AppEnvironment environment, QObject* parent)
    : QObject(parent), m_environment(std::move(environment)) {
    m_worker.setMaxThreadCount(1);

    EngineOptions options = m_environment.engine;
    options.progress = [this, told = std::move(options.progress)](const Progress& progress) {
        if (told) told(progress);
        postProgress(progress);
    };
    m_engine = std::make_unique<LumifoldEngine>(std::move(options));

    // The folders every stage leaves alone (a link into the system) would only wake it.
    std::vector<std::string> watched;
    for (const auto& folder : m_engine->resolveFolders(std::nullopt)) {
        if (m_engine->scanner().isExcludedPath(platform::resolveSymbolicLinks(folder))) continue;
        watched.push_back(folder);
    }
    m_watcher =
        std::make_unique<ConsistencyWatcher>(std::move(watched), m_environment.watcherClock);
    // Set once, before any start. It runs on the watcher's thread, so it only hops; the
    // destructor stops the watcher before this object goes, and the guard covers the rest.
    m_watcher->setOnReconciliationNeeded([self = QPointer<LumifoldViewModel>(this)] {
        if (LumifoldViewModel* model = self.data()) {
            QMetaObject::invokeMethod(
                model,
                [self] {
                    if (self) self->reconcile();
                },
                Qt::QueuedConnection);
        }
    });

    m_isLaunchAgentInstalled = LaunchAgent(m_environment.launchAgent).isLaunchAgentInstalled();
    inspect();
}

LumifoldViewModel::~LumifoldViewModel() {
    m_worker.waitForDone();  // an Apply or Restore is never cut in half
    m_watcher->stop();
    m_watcher.reset();
}

QString LumifoldViewModel::watcherStatusText() const {
    return QString::fromStdString(m_watcher->statusText());
}

template <typename T>
void LumifoldViewModel::store(T& field, T value, void (LumifoldViewModel::*changed)()) {
    field = std::move(value);
    emit(this->*changed)();
}

template <typename T>
void LumifoldViewModel::change(T& field, T value, void (LumifoldViewModel::*changed)()) {
    if (field == value) return;
    store(field, std::move(value), changed);
}

void LumifoldViewModel::setRelaunchFinderOnApply(bool relaunch) {
    change(m_relaunchFinderOnApply, relaunch, &LumifoldViewModel::relaunchFinderOnApplyChanged);
}

void LumifoldViewModel::setDebounceInterval(double seconds) {
    if (!std::isfinite(seconds)) return;
    change(m_debounceInterval, std::clamp(seconds, kShortestDebounce, kLongestDebounce),
           &LumifoldViewModel::debounceIntervalChanged);
}

bool LumifoldViewModel::runStage(std::optional<QString> start, std::optional<QString> failure,
                                 StageWork work, std::function<void()> onFailure,
                                 bool clearsError) {
    if (m_isWorking) return false;
    change(m_isWorking, true, &LumifoldViewModel::isWorkingChanged);
    if (start) change(m_statusMessage, *start, &LumifoldViewModel::statusMessageChanged);
    if (clearsError) change(m_errorMessage, {}, &LumifoldViewModel::errorMessageChanged);

    struct Outcome {
        Commit commit;
        QString error;
    };
    QtConcurrent::run(&m_worker,
                      [work = std::move(work), &engine = *m_engine]() -> Outcome {
                          // Nothing thrown may cross to the GUI thread: the message goes as a
                          // value.
                          try {
                              return {work(engine), {}};
                          } catch (const std::exception& error) {
                              return {{}, QString::fromStdString(error.what())};
                          }
                      })
        .then(this, [this, failure = std::move(failure),
                     onFailure = std::move(onFailure)](const Outcome& outcome) {
            {
                const std::lock_guard lock(m_progressMutex);
                m_latestProgress.reset();
            }
            if (m_progress) store(m_progress, {}, &LumifoldViewModel::progressChanged);
            if (!outcome.commit) {
                change(m_isWorking, false, &LumifoldViewModel::isWorkingChanged);
                change(m_errorMessage, std::optional(outcome.error),
                       &LumifoldViewModel::errorMessageChanged);
                if (failure)
                    change(m_statusMessage, *failure, &LumifoldViewModel::statusMessageChanged);
                if (onFailure) onFailure();
                return;
            }
            const std::optional<QString> message = outcome.commit();
            change(m_isWorking, false, &LumifoldViewModel::isWorkingChanged);
            if (message)
                change(m_statusMessage, *message, &LumifoldViewModel::statusMessageChanged);
        });
    return true;
}

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
             [this, relaunch = m_relaunchFinderOnApply](LumifoldEngine& engine) {
                 return afterApply(engine, engine.apply(std::nullopt, relaunch));
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
                 auto result = engine.applyIf(std::nullopt, relaunch, [&](const ChangePlan& plan) {
                     paused = pause.isPaused();
                     return !paused && changeCount(plan) > 0;
                 });
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
    if (!chosen && !m_availableBackups.empty()) chosen = m_availableBackups.front();
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
            // Lifted again when nothing is restored, a throw included.
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

void LumifoldViewModel::toggleWatcher() {
    if (m_isWatcherActive) {
        m_watcher->stop();
        change(m_isWatcherActive, false, &LumifoldViewModel::isWatcherActiveChanged);
        watcherSettled();
        return;
    }
    // Starting lifts a restore's pause, so it waits for no stage: it is ignored while one runs.
    if (m_isWorking) return;
    try {
        WatchPause(m_engine->homeDirectory()).resume();
    } catch (const Error& error) {
        change(m_errorMessage, std::optional(QString::fromStdString(error.message())),
               &LumifoldViewModel::errorMessageChanged);
        return;
    }
    m_watcher->setDebounceInterval(m_debounceInterval);
    m_watcher->start();  // a watcher a restore paused is still running, and only resumes
    m_watcher->resume();
    change(m_isWatcherActive, true, &LumifoldViewModel::isWatcherActiveChanged);
    watcherSettled();
}

void LumifoldViewModel::watcherSettled() {
    // Quick: the watcher's callback only posts to this thread, so the queue never waits on it.
    m_watcher->waitUntilIdle();
    emit watcherStatusTextChanged();
}

void LumifoldViewModel::installLaunchAgent() {
    runStage(std::nullopt, std::nullopt,
             [this, host = m_environment.launchAgent,
              program = m_environment.commandLineProgram](LumifoldEngine&) -> Commit {
                 LaunchAgent(host).installLaunchAgent(program, {});
                 return [this]() -> std::optional<QString> {
                     change(m_isLaunchAgentInstalled, true,
                            &LumifoldViewModel::isLaunchAgentInstalledChanged);
                     return kAgentInstalled;
                 };
             });
}

void LumifoldViewModel::uninstallLaunchAgent() {
    runStage(std::nullopt, std::nullopt,
             [this, host = m_environment.launchAgent](LumifoldEngine&) -> Commit {
                 const LaunchAgent agent(host);
                 agent.uninstallLaunchAgent();
                 // Uninstalling is best effort: a job description that stayed is said so.
                 const bool stayed = agent.isLaunchAgentInstalled();
                 const QString path =
                     QString::fromStdString(platform::printable(agent.launchAgentURL()));
                 return [this, stayed, path]() -> std::optional<QString> {
                     change(m_isLaunchAgentInstalled, stayed,
                            &LumifoldViewModel::isLaunchAgentInstalledChanged);
                     if (!stayed) return kAgentUninstalled;
                     change(m_errorMessage,
                            std::optional(QStringLiteral("Could not remove \"%1\"").arg(path)),
                            &LumifoldViewModel::errorMessageChanged);
                     return std::nullopt;
                 };
             });
}

void LumifoldViewModel::postProgress(const Progress& progress) {
    StageProgress next{
        QString::fromUtf8(progress.stage.data(), static_cast<qsizetype>(progress.stage.size())) +
            QStringLiteral(": ") +
            QString::fromUtf8(progress.step.data(), static_cast<qsizetype>(progress.step.size())),
        progress.done, progress.total.value_or(0)};
    const std::lock_guard lock(m_progressMutex);
    m_latestProgress = std::move(next);
    // A hop already on its way takes this newest value, so a stage of a million files posts
    // only as fast as the GUI thread reads.
    if (std::exchange(m_progressPosted, true)) return;
    QMetaObject::invokeMethod(
        this, [this] { takeProgress(); }, Qt::QueuedConnection);
}

void LumifoldViewModel::takeProgress() {
    std::optional<StageProgress> latest;
    {
        const std::lock_guard lock(m_progressMutex);
        latest = std::exchange(m_latestProgress, std::nullopt);
        m_progressPosted = false;
    }
    // Cleared when its stage ended: a late hop brings nothing.
    if (latest && m_isWorking)
        store(m_progress, std::move(latest), &LumifoldViewModel::progressChanged);
}

}  // namespace lumifold::app
