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
#include "core/watcher/DebounceLimits.h"
#include "core/watcher/WatchPause.h"

// The controller's frame: construction, the one-stage-at-a-time worker, progress, the watcher
// switch and the login service. The stages are in LumifoldViewModelStages.cpp.
namespace lumifold::app {
namespace {

constexpr QLatin1String kAgentInstalled("LaunchAgent installed.");
constexpr QLatin1String kAgentUninstalled("LaunchAgent uninstalled.");
constexpr QLatin1String kAgentRemoved("Removed the login service.");

constexpr const char* kProgramName = "lumifold";
// Where the program usually lives, when neither this program's folder nor PATH has it.
constexpr const char* kFallbackProgram = "/usr/local/bin/lumifold";

// The command-line program installed beside this one, else the one on PATH.
std::string findCommandLineProgram() {
    if (const auto self = platform::executablePath()) {
        const std::string beside = appending(deletingLastPathComponent(*self), kProgramName);
        if (platform::isExecutableFile(beside)) return beside;
    }
    const QString onPath = QStandardPaths::findExecutable(QString::fromLatin1(kProgramName));
    return onPath.isEmpty() ? kFallbackProgram : QFile::encodeName(onPath).toStdString();
}

// A refresh's failure is shown where the refresh is: on the Apply screen.
std::size_t failureSlot(Stage stage) {
    return static_cast<std::size_t>(stage == Stage::refresh ? Stage::apply : stage);
}

// What an install said on its screen, beyond the files it wrote.
StageOutcome installedOutcome(const LoginServiceInstallation& installation,
                              const LoginServiceHost& host) {
    using Kind = StageOutcome::Kind;
    if (!host.asksServiceManagers) {
        return {Kind::warning,
                QStringLiteral("Nothing was started: the service managers run your own home's "
                               "services, and \"%1\" is another home.")
                    .arg(QString::fromStdString(platform::printable(host.homeDirectory)))};
    }
    if (installation.unitEnabled) {
        return {Kind::done, QStringLiteral("systemd enabled and started %1; it starts again at "
                                           "every log-in.")
                                .arg(QLatin1String(LoginService::kUnitName))};
    }
    if (installation.unitPath) {
        return {Kind::warning,
                QStringLiteral("systemd did not take the unit (is a user systemd running here?), "
                               "so the watcher is not running yet. Start it with: systemctl "
                               "--user daemon-reload && systemctl --user enable --now %1")
                    .arg(QLatin1String(LoginService::kUnitName))};
    }
    return {Kind::done, QStringLiteral("launchd starts the watcher at every log-in.")};
}

}  // namespace

QString stageName(Stage stage) {
    switch (stage) {
        case Stage::inspect:
            return QStringLiteral("Inspect");
        case Stage::refresh:
            return QStringLiteral("Refresh");
        case Stage::preview:
            return QStringLiteral("Preview");
        case Stage::apply:
            return QStringLiteral("Apply");
        case Stage::verify:
            return QStringLiteral("Verify");
        case Stage::restore:
            return QStringLiteral("Restore");
        case Stage::keepConsistent:
            return QStringLiteral("Keep Consistent");
    }
    return {};
}

AppEnvironment AppEnvironment::system() {
    AppEnvironment environment;
    // A HOME that is not the account's own is another home, as --home names one.
    environment.loginService = LoginServiceHost::system(environment.engine.homeDirectory);
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

    m_keepConsistent = std::make_unique<KeepConsistent>(
        *m_engine, KeepConsistentOptions{.folders = std::nullopt,
                                         .tree = std::nullopt,
                                         .relaunchFinder = m_relaunchFinderOnApply,
                                         .keepSnapshots = std::nullopt,
                                         .quietPeriod = m_debounceInterval});
    m_watcher = std::make_unique<ConsistencyWatcher>(m_keepConsistent->watchedFolders(),
                                                     m_environment.watcherClock);
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
    // An edited layout file changes every folder's target: the reconciliation that follows
    // reads it again.
    m_watcher->setLayoutFile(m_engine->layoutPath(), {});
    connect(this, &LumifoldViewModel::isWatcherActiveChanged, this, &LumifoldViewModel::readPause);

    inspect();
}

LumifoldViewModel::~LumifoldViewModel() {
    m_worker.waitForDone();  // an Apply or Restore is never cut in half
    m_watcher->stop();
    m_watcher.reset();
}

bool LumifoldViewModel::isLoginServiceInstalled() const {
    return m_loginServiceStatus &&
           (m_loginServiceStatus->jobDescriptionInstalled || m_loginServiceStatus->unitInstalled);
}

const std::optional<QString>& LumifoldViewModel::failure(Stage stage) const {
    return m_failures[failureSlot(stage)];
}

void LumifoldViewModel::fail(Stage stage, std::optional<QString> message) {
    change(m_failures[failureSlot(stage)], std::move(message), &LumifoldViewModel::failureChanged);
}

QString LumifoldViewModel::watcherStatusText() const {
    return QString::fromStdString(m_watcher->statusText());
}

void LumifoldViewModel::setRelaunchFinderOnApply(bool relaunch) {
    change(m_relaunchFinderOnApply, relaunch, &LumifoldViewModel::relaunchFinderOnApplyChanged);
}

void LumifoldViewModel::setDebounceInterval(double seconds) {
    if (!std::isfinite(seconds)) return;
    const double clamped =
        std::clamp(seconds, debounce_limits::kShortestOnScreen, debounce_limits::kLongestOnScreen);
    if (clamped == m_debounceInterval) return;
    // The slider and the status line never disagree on what the watcher waits.
    if (m_isWatcherActive) m_watcher->setDebounceInterval(clamped);
    store(m_debounceInterval, clamped, &LumifoldViewModel::debounceIntervalChanged);
    if (m_isWatcherActive) watcherSettled();
}

bool LumifoldViewModel::runStage(Stage stage, std::optional<QString> start,
                                 std::optional<QString> failure, StageWork work, Failure onFailure,
                                 bool clearsFailure) {
    if (m_runningStage) return false;
    m_runningStage = stage;
    emit isWorkingChanged();
    if (start) change(m_statusMessage, *start, &LumifoldViewModel::statusMessageChanged);
    if (clearsFailure) fail(stage, std::nullopt);

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
        .then(this, [this, stage, failure = std::move(failure),
                     onFailure = std::move(onFailure)](Outcome outcome) mutable {
            // Always one more turn of the event loop: a stage that ended before this
            // continuation was attached runs it at once, inside runStage, before the stage's
            // start was even seen; queued, it comes after every progress hop the stage posted.
            QMetaObject::invokeMethod(
                this,
                [this, stage, outcome = std::move(outcome), failure = std::move(failure),
                 onFailure = std::move(onFailure)] {
                    // Posted events keep their order, so no progress comes after the clearing.
                    if (m_progress) store(m_progress, {}, &LumifoldViewModel::progressChanged);
                    if (!outcome.commit) {
                        store(m_runningStage, {}, &LumifoldViewModel::isWorkingChanged);
                        if (!onFailure) fail(stage, outcome.error);
                        if (failure) {
                            change(m_statusMessage, *failure,
                                   &LumifoldViewModel::statusMessageChanged);
                        }
                        if (onFailure) onFailure(outcome.error);
                        return;
                    }
                    const std::optional<QString> message = outcome.commit();
                    store(m_runningStage, {}, &LumifoldViewModel::isWorkingChanged);
                    if (message) {
                        change(m_statusMessage, *message, &LumifoldViewModel::statusMessageChanged);
                    }
                },
                Qt::QueuedConnection);
        });
    return true;
}

void LumifoldViewModel::toggleWatcher() {
    if (m_isWatcherActive) {
        m_watcher->stop();
        change(m_isWatcherActive, false, &LumifoldViewModel::isWatcherActiveChanged);
        watcherSettled();
        return;
    }
    // Starting lifts a restore's pause, so it waits for no stage: it is ignored while one runs.
    if (m_runningStage) return;
    try {
        WatchPause(m_engine->homeDirectory()).resume();
    } catch (const Error& error) {
        fail(Stage::keepConsistent, QString::fromStdString(error.message()));
        return;
    }
    fail(Stage::keepConsistent, std::nullopt);
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

void LumifoldViewModel::installLoginService() {
    runStage(
        Stage::keepConsistent, std::nullopt, std::nullopt,
        [this, host = m_environment.loginService, program = m_environment.commandLineProgram,
         home = m_engine->homeDirectory()](LumifoldEngine&) -> Commit {
            const LoginService service(host);
            // The service keeps the home this app works on, whoever's it is.
            const auto installation = service.install(program, {}, {"--home", home});
            return [this, outcome = installedOutcome(installation, host),
                    status = service.status()]() -> std::optional<QString> {
                showLoginService(status);
                change(m_loginServiceOutcome, std::optional(outcome),
                       &LumifoldViewModel::loginServiceOutcomeChanged);
                return kAgentInstalled;
            };
        },
        [this](const QString& message) { failLoginService(message); }, false);
}

void LumifoldViewModel::uninstallLoginService() {
    runStage(
        Stage::keepConsistent, std::nullopt, std::nullopt,
        [this, host = m_environment.loginService](LumifoldEngine&) -> Commit {
            const LoginService service(host);
            service.uninstall();
            // Uninstalling is best effort: a file that stayed is named.
            const LoginServiceStatus status = service.status();
            std::optional<std::string> stayed;
            if (status.jobDescriptionInstalled) stayed = status.jobDescriptionPath;
            if (status.unitInstalled) stayed = status.unitPath;
            return [this, status, stayed]() -> std::optional<QString> {
                showLoginService(status);
                if (stayed) {
                    failLoginService(
                        QStringLiteral("Could not remove \"%1\"")
                            .arg(QString::fromStdString(platform::printable(*stayed))));
                    return std::nullopt;
                }
                change(m_loginServiceOutcome,
                       std::optional(StageOutcome{StageOutcome::Kind::done, kAgentRemoved}),
                       &LumifoldViewModel::loginServiceOutcomeChanged);
                return kAgentUninstalled;
            };
        },
        [this](const QString& message) { failLoginService(message); }, false);
}

void LumifoldViewModel::readLoginServiceStatus() {
    runStage(
        Stage::keepConsistent, std::nullopt, std::nullopt,
        [this, host = m_environment.loginService](LumifoldEngine&) -> Commit {
            return [this, status = LoginService(host).status()]() -> std::optional<QString> {
                showLoginService(status);
                return std::nullopt;
            };
        },
        {}, false);
}

void LumifoldViewModel::readPause() {
    if (!m_loginServiceStatus) return;
    auto pausedBy = WatchPause(m_engine->homeDirectory()).pausedBy();
    if (pausedBy == m_loginServiceStatus->pausedBy) return;
    m_loginServiceStatus->pausedBy = std::move(pausedBy);
    emit loginServiceStatusChanged();
}

void LumifoldViewModel::showLoginService(LoginServiceStatus status) {
    store(m_loginServiceStatus, std::optional(std::move(status)),
          &LumifoldViewModel::loginServiceStatusChanged);
}

void LumifoldViewModel::failLoginService(const QString& message) {
    change(m_loginServiceOutcome, std::optional(StageOutcome{StageOutcome::Kind::failed, message}),
           &LumifoldViewModel::loginServiceOutcomeChanged);
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
    store(m_progress, std::move(latest), &LumifoldViewModel::progressChanged);
}

}  // namespace lumifold::app
