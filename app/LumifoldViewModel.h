#pragma once

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/StageOutcome.h"
#include "core/backup/BackupManifest.h"
#include "core/backup/RestoreEvaluationSummary.h"
#include "core/engine/ChangePreview.h"
#include "core/engine/LumifoldEngine.h"
#include "core/engine/VerificationReport.h"
#include "core/inspection/FolderViewSetting.h"
#include "core/inspection/SystemEnvironmentInfo.h"
#include "core/watcher/ConsistencyWatcher.h"
#include "core/watcher/DebounceLimits.h"
#include "core/watcher/KeepConsistent.h"
#include "core/watcher/LoginService.h"

namespace lumifold::app {

// What the controller works on. `system()` is the user's machine; tests start from it and
// replace the Finder, the clock and the service managers.
struct AppEnvironment {
    EngineOptions engine;            // home (HOME on Linux), Finder host, clocks
    LoginServiceHost loginService;   // where the login service goes, how commands run
    std::string commandLineProgram;  // the lumifold the login service runs
    std::function<double()> watcherClock = platform::monotonicSeconds;
    static AppEnvironment system();
};

// What runs on the worker, named as the status line names it ("Finishing Apply..."). A refresh
// is the Apply screen's reading of the folders again; an evaluation is Restore's, and the login
// service's reading and writing are Keep Consistent's.
enum class Stage { inspect, refresh, preview, apply, verify, restore, keepConsistent };
QString stageName(Stage stage);

// The layout every stage works to, as the last Inspect read it.
struct LayoutShown {
    std::string source;                  // the layout file, or that the layout is built in
    std::vector<LayoutLine> lines;       // the top level key by key, each with where it came from
    std::size_t rules = 0;               // the file's folder rules
    std::optional<std::string> problem;  // why the file cannot be used: the writing stages refuse
    friend bool operator==(const LayoutShown& a, const LayoutShown& b) {
        const auto same = [](const LayoutLine& x, const LayoutLine& y) {
            return x.key == y.key && x.value == y.value && x.origin == y.origin;
        };
        return a.source == b.source && a.rules == b.rules && a.problem == b.problem &&
               std::equal(a.lines.begin(), a.lines.end(), b.lines.begin(), b.lines.end(), same);
    }
};

// Where a stage's engine work is, for the status bar; `total` 0 when unknown.
struct StageProgress {
    QString text;  // "Apply: Hiding extensions"
    quint64 done = 0;
    quint64 total = 0;
};

// The one object between the screens and the core: it owns the engine and the watcher, holds
// every value a screen shows, and runs each stage's engine calls one after another on one
// worker thread, never on the GUI thread. Results come back by queued call and are stored on
// the GUI thread, which is the only thread that touches this object's state (the worker reads
// the selected snapshot, which changes only while no stage runs). Each field has a change
// signal, emitted after the new value is stored.
class LumifoldViewModel final : public QObject {
    Q_OBJECT

  public:
    // Builds the engine and the watcher (default folders) and starts Inspect, which also reads
    // the login service's status.
    explicit LumifoldViewModel(AppEnvironment environment = AppEnvironment::system(),
                               QObject* parent = nullptr);
    // Waits for a running stage (an Apply is never cut in half) and stops the watcher.
    ~LumifoldViewModel() override;

    const std::optional<SystemEnvironmentInfo>& systemInfo() const { return m_systemInfo; }
    const std::optional<LayoutShown>& layout() const { return m_layout; }
    const std::vector<FolderViewSetting>& scannedFolders() const { return m_scannedFolders; }
    const std::optional<ChangePreview>& currentPreview() const { return m_currentPreview; }
    // Something was written since the preview was made (Apply, a restore, Keep Consistent).
    bool isPreviewOutOfDate() const { return m_isPreviewOutOfDate; }
    // The last Apply's snapshot ("Files Backed Up" is storeCount + 1, "Changes Executed" is
    // changeCount): its whole manifest stays on disk.
    const std::optional<SnapshotSummary>& lastManifest() const { return m_lastManifest; }
    const std::optional<VerificationReport>& lastVerification() const { return m_lastVerification; }
    // Summaries, newest first; a manifest is read only when selected or restored.
    const std::vector<SnapshotSummary>& availableBackups() const { return m_availableBackups; }
    const std::optional<SnapshotSummary>& selectedBackup() const { return m_selectedBackup; }
    // The selected snapshot's, made again after a restore, after every write of Apply or Keep
    // Consistent and each time the Restore screen is shown.
    const std::optional<RestoreEvaluationSummary>& restoreEvaluation() const {
        return m_restoreEvaluation;
    }
    // How the last restore (or evaluation) ended; cleared when another snapshot is chosen.
    const std::optional<StageOutcome>& restoreOutcome() const { return m_restoreOutcome; }
    bool isWorking() const { return m_runningStage.has_value(); }
    // Set while a stage runs, before isWorkingChanged is emitted.
    const std::optional<Stage>& runningStage() const { return m_runningStage; }
    const QString& statusMessage() const { return m_statusMessage; }
    // Why the last run of a screen's stage failed, shown on that screen: Inspect, Preview, Apply
    // (a refresh's failure is Apply's), Verify and Keep Consistent's watcher. Restore's and the
    // login service's are their outcomes. A stage clears its own when it starts again, except
    // a reading again as a screen is shown, which leaves it for the user to read.
    const std::optional<QString>& failure(Stage stage) const;
    bool hasActiveTransfers() const { return m_hasActiveTransfers; }
    bool relaunchFinderOnApply() const { return m_relaunchFinderOnApply; }
    double debounceInterval() const { return m_debounceInterval; }
    bool isWatcherActive() const { return m_isWatcherActive; }
    // As `lumifold agent status` gives it; nullopt until the first Inspect has read it.
    const std::optional<LoginServiceStatus>& loginServiceStatus() const {
        return m_loginServiceStatus;
    }
    bool isLoginServiceInstalled() const;
    // How the last install or uninstall ended.
    const std::optional<StageOutcome>& loginServiceOutcome() const { return m_loginServiceOutcome; }
    // The program an install would have the login service start.
    const std::string& commandLineProgram() const { return m_environment.commandLineProgram; }
    const std::string& homeDirectory() const { return m_environment.engine.homeDirectory; }
    // The watcher's own "Stopped" / "Paused" / "Active (...)".
    QString watcherStatusText() const;
    const std::optional<StageProgress>& progress() const { return m_progress; }
    // For tests, which drive the watcher on a fake clock.
    ConsistencyWatcher& watcherForTesting() { return *m_watcher; }

    void setRelaunchFinderOnApply(bool relaunch);
    // The screen's slider: debounce_limits' range. A running watcher takes it at once, for the
    // next quiet period, and its status text says so.
    void setDebounceInterval(double seconds);

  public slots:
    void inspect();
    void refresh();
    void generatePreview();
    void apply();
    void verify();
    // On the worker like a stage: hashing a large snapshot's files takes seconds.
    void selectBackup(const SnapshotSummary& backup);
    // The selected snapshot's evaluation again (the Restore screen is shown). Nothing when none
    // is selected or a stage runs; a failure's message stays.
    void evaluateSelectedBackup();
    void restore(bool force);
    void toggleWatcher();
    void installLoginService();
    void uninstallLoginService();
    // The login service's status again (the Keep Consistent screen is shown): systemd's view
    // of it changes on its own. Nothing while a stage runs; a failure's message stays.
    void readLoginServiceStatus();

  signals:
    void systemInfoChanged();
    void layoutChanged();
    void scannedFoldersChanged();
    void currentPreviewChanged();
    void isPreviewOutOfDateChanged();
    void lastManifestChanged();
    void lastVerificationChanged();
    void availableBackupsChanged();
    void selectedBackupChanged();
    void restoreEvaluationChanged();
    void restoreOutcomeChanged();
    void isWorkingChanged();
    void statusMessageChanged();
    void failureChanged();
    void hasActiveTransfersChanged();
    void relaunchFinderOnApplyChanged();
    void debounceIntervalChanged();
    void isWatcherActiveChanged();
    void loginServiceStatusChanged();
    void loginServiceOutcomeChanged();
    void watcherStatusTextChanged();
    void progressChanged();

  private:
    // Stores a stage's results on the GUI thread and gives its final status message, if any.
    using Commit = std::function<std::optional<QString>()>;
    // A stage's engine work, run on the worker; throws what the engine throws.
    using StageWork = std::function<Commit(LumifoldEngine&)>;
    // Takes a failed stage's message, for a screen that shows it as an outcome of its own.
    using Failure = std::function<void(const QString& message)>;

    // The frame every background action shares: ignored while a stage runs (false); otherwise
    // sets the running stage, the start message, clears the stage's failure if it
    // `clearsFailure`, and runs `work` on the worker. On the GUI thread its commit then runs, or
    // on an error `failure` goes to the status and the message to `onFailure`, or without one
    // to the stage's failure.
    bool runStage(Stage stage, std::optional<QString> start, std::optional<QString> failure,
                  StageWork work, Failure onFailure = {}, bool clearsFailure = true);
    void fail(Stage stage, std::optional<QString> message);
    StageWork inspection();
    // Worker: what Apply and Keep Consistent do after writing, and the commit storing it all.
    Commit afterApply(LumifoldEngine& engine, ApplyResult result);
    // Worker: what Restore does after restoring `chosen` (or refusing to), and the commit
    // storing it all; the commit calls `resumeWatcher` when nothing was restored.
    Commit afterRestore(LumifoldEngine& engine, const SnapshotSummary& chosen, RestoreResult result,
                        std::function<void()> resumeWatcher);
    // The selected snapshot's evaluation, made on the worker; a failure is the Restore
    // screen's.
    void evaluate();
    // The login service's screen shows why an install or uninstall failed.
    // The login service as it was just read.
    void showLoginService(LoginServiceStatus status);
    void failLoginService(const QString& message);
    // Reads Keep Consistent's pause into the login service's status (a small file, on the GUI
    // thread like the switch that lifts it): a restore sets it, starting the watcher lifts it.
    void readPause();
    // The watcher's quiet period ended (GUI thread).
    void reconcile();
    // The watcher's queue has run what was asked of it; its status text is current.
    void watcherSettled();
    // Worker: hands the newest progress to the GUI thread, one hop in flight at most.
    void postProgress(const Progress& progress);
    void takeProgress();

    // Stores a field and tells its observers; `change` only when the value differs.
    template <typename T>
    void store(T& field, T value, void (LumifoldViewModel::*changed)()) {
        field = std::move(value);
        emit(this->*changed)();
    }
    template <typename T>
    void change(T& field, T value, void (LumifoldViewModel::*changed)()) {
        if (!(field == value)) store(field, std::move(value), changed);
    }

    AppEnvironment m_environment;
    std::unique_ptr<LumifoldEngine> m_engine;
    std::unique_ptr<KeepConsistent> m_keepConsistent;  // used on the worker only
    std::unique_ptr<ConsistencyWatcher> m_watcher;
    QThreadPool m_worker;  // one thread: stages never overlap

    std::optional<SystemEnvironmentInfo> m_systemInfo;
    std::optional<LayoutShown> m_layout;
    std::vector<FolderViewSetting> m_scannedFolders;
    std::optional<ChangePreview> m_currentPreview;
    bool m_isPreviewOutOfDate = false;
    std::optional<SnapshotSummary> m_lastManifest;
    std::optional<VerificationReport> m_lastVerification;
    std::vector<SnapshotSummary> m_availableBackups;
    std::optional<SnapshotSummary> m_selectedBackup;
    std::optional<RestoreEvaluationSummary> m_restoreEvaluation;
    std::optional<StageOutcome> m_restoreOutcome;
    std::optional<Stage> m_runningStage;
    QString m_statusMessage = QStringLiteral("Ready");
    std::array<std::optional<QString>, 7> m_failures;  // by Stage; refresh's slot stays empty
    bool m_hasActiveTransfers = false;
    bool m_relaunchFinderOnApply = true;
    double m_debounceInterval = debounce_limits::kDefault;
    bool m_isWatcherActive = false;
    std::optional<LoginServiceStatus> m_loginServiceStatus;
    std::optional<StageOutcome> m_loginServiceOutcome;
    std::optional<StageProgress> m_progress;

    std::mutex m_progressMutex;  // guards the two below, shared with the worker
    std::optional<StageProgress> m_latestProgress;
    bool m_progressPosted = false;
};

}  // namespace lumifold::app
