#include <QTest>
#include <atomic>
#include <semaphore>
#include <thread>

#include "app/LumifoldViewModel.h"
#include "core/common/Error.h"
#include "core/watcher/WatchPause.h"
#include "tests/engine/EngineTestSupport.h"

// The controller on a real temporary home; only the Finder, the watcher's clock and the service
// managers are fake.
namespace lumifold::app {
namespace {

constexpr const char* kJob = "Library/LaunchAgents/com.quarnish.lumifold.watcher.plist";

class LumifoldViewModelTest : public lumifold::testing::EngineTest {
  protected:
    LumifoldViewModelTest() {
        home.makeDefaultFolders();
        writeUserPreferences();
        platform::setPermissionBits(program, 0755);
    }
    // Every test's engine work ran off the GUI thread.
    void TearDown() override {
        model.reset();
        EXPECT_EQ(finderCallsOnGuiThread, 0);
    }

    AppEnvironment environment() {
        AppEnvironment environment = AppEnvironment::system();
        environment.engine.homeDirectory = home.path();
        FinderHost host = finder.host();
        // Every stage that deals with the Finder asks first whether it copies.
        host.session.hasActiveTransfers = [this, ask = host.session.hasActiveTransfers] {
            if (std::this_thread::get_id() == guiThread) ++finderCallsOnGuiThread;
            if (finderFails) throw Error("Finder", 1, "The Finder did not answer.");
            if (holdFinder.exchange(false)) finderReleased.acquire();
            return ask();
        };
        environment.engine.finderHost = host;
        // Another home than the user's: no service manager is asked anything.
        environment.loginService = LoginServiceHost::system(home.path());
        environment.commandLineProgram = program;
        environment.watcherClock = [this] { return now.load(); };
        return environment;
    }
    void start() {
        model = std::make_unique<LumifoldViewModel>(environment());
        settle();
    }
    void settle() {
        ASSERT_TRUE(QTest::qWaitFor([this] { return !model->isWorking(); }, 20000));
    }
    template <typename... Parameters, typename... Arguments>
    void run(void (LumifoldViewModel::*action)(Parameters...), Arguments&&... arguments) {
        (model.get()->*action)(std::forward<Arguments>(arguments)...);
        settle();
    }
    // Runs `during` while a Preview waits on the worker for the Finder's answer.
    void duringAStage(const std::function<void()>& during) {
        holdFinder = true;
        model->generatePreview();
        during();
        finderReleased.release();
        settle();
    }
    // A change in the Desktop, then a quiet period on the watcher's clock; true once the
    // controller has heard of it.
    // The message is looked for as it is set: a reconciliation with nothing to do can end
    // within the same turn of the event loop.
    bool quietPeriodEnds(const std::string& name, double quiet = 60) {
        bool heard = false;
        const auto listening = QObject::connect(
            model.get(), &LumifoldViewModel::statusMessageChanged,
            [&] { heard |= model->statusMessage() == "Keep Consistent: reconciling view..."; });
        // The last reconciliation's retry is armed first: an event handled before it would
        // have its quiet period replaced by the retry's wait.
        model->watcherForTesting().waitUntilIdle();
        home.writeFile("Desktop/" + name, "x");
        model->watcherForTesting().waitUntilIdle();
        now = now + quiet;
        model->watcherForTesting().waitUntilIdle();
        const bool ended = QTest::qWaitFor([&] { return heard; }, 20000);
        QObject::disconnect(listening);
        return ended;
    }
    std::optional<std::string> pausedBy() const { return WatchPause(home.path()).pausedBy(); }
    std::size_t snapshotsOnDisk() const {
        return engine->backupManager().listSnapshots().snapshots.size();
    }

    const std::string program = home.writeFile("bin/lumifold", "#!/bin/sh\n");
    const std::thread::id guiThread = std::this_thread::get_id();
    std::atomic<int> finderCallsOnGuiThread = 0;
    std::atomic<bool> finderFails = false;
    std::atomic<bool> holdFinder = false;  // the next Finder question waits for the release
    std::binary_semaphore finderReleased{0};
    std::atomic<double> now = 1000.0;
    std::unique_ptr<LumifoldViewModel> model;
};

TEST_F(LumifoldViewModelTest, StagesRunOneAtATimeEachWithItsMessages) {
    model = std::make_unique<LumifoldViewModel>(environment());
    EXPECT_EQ(model->statusMessage(), "Inspecting environment and folders...");
    model->apply();  // ignored while Inspect runs
    EXPECT_EQ(model->statusMessage(), "Inspecting environment and folders...");
    settle();
    EXPECT_EQ(model->statusMessage(), "Inspection complete.");
    EXPECT_EQ(model->scannedFolders().size(), 6u);
    EXPECT_FALSE(model->currentPreview()->plistChanges.empty());

    const struct {
        void (LumifoldViewModel::*action)();
        const char* start;
        const char* end;
    } stages[] = {
        {&LumifoldViewModel::generatePreview, "Generating preview...",
         "Dry-run preview generated."},
        {&LumifoldViewModel::verify, "Verifying folder compliance...", "Discrepancies found."},
        {&LumifoldViewModel::apply, "Applying preferred settings...",
         "Settings applied successfully!"},
        {&LumifoldViewModel::verify, "Verifying folder compliance...",
         "All folders fully compliant."},
        {&LumifoldViewModel::refresh, "All folders fully compliant.", "Inspection complete."},
    };
    int told = 0;  // progress that reached the GUI thread during the stage
    QObject::connect(model.get(), &LumifoldViewModel::progressChanged,
                     [&] { told += model->progress().has_value(); });
    for (const auto& stage : stages) {
        told = 0;
        (model.get()->*stage.action)();
        EXPECT_EQ(model->statusMessage(), stage.start);
        settle();
        EXPECT_EQ(model->statusMessage(), stage.end);
        EXPECT_GT(told, 0) << stage.end;
        EXPECT_EQ(model->progress(), std::nullopt) << stage.end;
    }
    EXPECT_EQ(model->lastManifest()->id, model->availableBackups().at(0).id);
}

TEST_F(LumifoldViewModelTest, AFailedApplyShowsTheEngineErrorUnchanged) {
    home.writeFile("Library/Preferences/com.apple.finder.plist", "not a property list");
    start();
    run(&LumifoldViewModel::apply);
    EXPECT_EQ(model->statusMessage(), "Apply failed.");
    EXPECT_EQ(model->failure(Stage::apply), QString::fromStdString(engine->plan().refusal->what()));
    EXPECT_EQ(model->lastManifest(), std::nullopt);
    run(&LumifoldViewModel::refresh);  // as the Apply screen is shown again: the failure stays
    run(&LumifoldViewModel::generatePreview);  // another screen's stage leaves it too
    EXPECT_TRUE(model->failure(Stage::apply));
    EXPECT_EQ(model->failure(Stage::preview), std::nullopt);
    platform::removeFile(home / "Library/Preferences/com.apple.finder.plist");
    run(&LumifoldViewModel::apply);
    EXPECT_EQ(model->failure(Stage::apply), std::nullopt);
}

TEST_F(LumifoldViewModelTest, RestoreTakesTheFirstListedSnapshotAndPausesKeepConsistent) {
    start();
    model->restore(false);  // no snapshot: nothing happens
    EXPECT_FALSE(model->isWorking());
    model->toggleWatcher();
    run(&LumifoldViewModel::apply);
    run(&LumifoldViewModel::apply);  // nothing left to change: no second snapshot
    EXPECT_EQ(model->statusMessage(), "Already consistent: nothing to change.");
    ASSERT_EQ(model->availableBackups().size(), 1u);
    duringAStage([this] { model->restore(false); });
    EXPECT_EQ(model->statusMessage(), "Dry-run preview generated.");
    EXPECT_TRUE(model->watcherStatusText().startsWith("Active"));
    run(&LumifoldViewModel::restore, false);
    EXPECT_EQ(model->statusMessage(), "Restore completed.");
    EXPECT_EQ(pausedBy(), model->availableBackups().front().id);
    EXPECT_EQ(model->loginServiceStatus()->pausedBy, pausedBy());  // the service's too
    EXPECT_FALSE(model->isWatcherActive());
    EXPECT_EQ(model->watcherStatusText(), "Paused");
    model->toggleWatcher();
    EXPECT_EQ(pausedBy(), std::nullopt);
    EXPECT_EQ(model->loginServiceStatus()->pausedBy, std::nullopt);
    EXPECT_TRUE(model->watcherStatusText().startsWith("Active"));
}

// Neither a drifted snapshot without force nor a Finder busy copying leaves Keep Consistent
// paused or the preview out of date; a forced restore does, and its snapshot is evaluated again.
TEST_F(LumifoldViewModelTest, ARestoreSaysHowItEndedAndMarksTheScreensOnlyIfItRestored) {
    writeStore("Desktop", {viewStyle(".", "Nlsv")});
    start();
    EXPECT_FALSE(model->isPreviewOutOfDate());
    run(&LumifoldViewModel::apply);
    EXPECT_TRUE(model->isPreviewOutOfDate());
    writeStore("Desktop", {viewStyle(".", "clmv")});
    run(&LumifoldViewModel::generatePreview);
    EXPECT_FALSE(model->isPreviewOutOfDate());
    run(&LumifoldViewModel::selectBackup, model->availableBackups().front());
    ASSERT_TRUE(model->restoreEvaluation() && model->restoreEvaluation()->hasModifications());
    run(&LumifoldViewModel::restore, false);
    EXPECT_EQ(model->statusMessage(), "Restore refused.");
    EXPECT_EQ(model->restoreOutcome(),
              (StageOutcome{StageOutcome::Kind::warning,
                            "Restore refused: 1 file changed since the apply. Turn on Force "
                            "restore to overwrite it."}));
    EXPECT_TRUE(model->restoreEvaluation()->hasModifications());

    finder.transferCount = "1";
    run(&LumifoldViewModel::restore, true);
    EXPECT_EQ(model->statusMessage(), "Restore halted.");
    EXPECT_EQ(model->restoreOutcome(), (StageOutcome{StageOutcome::Kind::failed,
                                                     FinderCoordinator::kActiveTransfersMessage}));
    EXPECT_EQ(model->failure(Stage::apply), std::nullopt);  // the Restore screen's, not Apply's
    EXPECT_EQ(pausedBy(), std::nullopt);
    EXPECT_FALSE(model->isPreviewOutOfDate());

    finder.transferCount = "0";
    run(&LumifoldViewModel::restore, true);
    EXPECT_EQ(model->statusMessage(), "Restore completed.");
    EXPECT_EQ(model->restoreOutcome()->text,
              QString::fromStdString("Restored snapshot " + model->selectedBackup()->id +
                                     ", overwriting 1 file changed since the apply."));
    EXPECT_FALSE(model->restoreEvaluation()->hasModifications());
    EXPECT_TRUE(model->isPreviewOutOfDate());

    // An Apply over a change of its own evaluates the snapshot again: no longer safe.
    writeStore("Desktop", {viewStyle(".", "clmv"),
                           {"notes.txt", "cmmt", kTypeUstr, DSStoreValue::string("kept")}});
    run(&LumifoldViewModel::apply);
    EXPECT_TRUE(model->restoreEvaluation()->hasModifications());
}

// The slider moved while the watcher runs is what the status says and what the watcher waits;
// a failed reconciliation is Keep Consistent's own, and the next one clears it.
TEST_F(LumifoldViewModelTest, KeepConsistentAppliesOnlyWhileTheLayoutDoesNotHold) {
    start();
    model->toggleWatcher();
    EXPECT_EQ(model->watcherStatusText(), "Active (watching 6 of 6 folders, debounce: 8s)");
    model->setDebounceInterval(100);
    EXPECT_EQ(model->watcherStatusText(), "Active (watching 6 of 6 folders, debounce: 30s)");
    model->setDebounceInterval(5);
    EXPECT_EQ(model->watcherStatusText(), "Active (watching 6 of 6 folders, debounce: 5s)");
    finderFails = true;
    ASSERT_TRUE(quietPeriodEnds("failing", 6));
    settle();
    finderFails = false;
    EXPECT_EQ(model->statusMessage(), "Keep Consistent: apply failed; trying again later.");
    EXPECT_TRUE(model->failure(Stage::keepConsistent));
    EXPECT_EQ(model->failure(Stage::apply), std::nullopt);
    ASSERT_TRUE(quietPeriodEnds("first", 6));
    settle();
    EXPECT_EQ(model->statusMessage(), "Settings applied successfully!");
    EXPECT_EQ(model->failure(Stage::keepConsistent), std::nullopt);
    ASSERT_TRUE(quietPeriodEnds("second"));
    settle();
    EXPECT_EQ(model->statusMessage(), "Keep Consistent: layout holds.");
    EXPECT_EQ(snapshotsOnDisk(), 1u);
}

TEST_F(LumifoldViewModelTest, KeepConsistentDuringAStageOnlySaysSo) {
    start();
    model->toggleWatcher();
    duringAStage([this] { EXPECT_TRUE(quietPeriodEnds("change")); });
    model.reset();  // waits for anything still queued on the worker
    EXPECT_EQ(snapshotsOnDisk(), 0u);
}

// HOME naming a folder other than the account's home is another home, as --home names one: the
// login service is told that home, so no service manager is asked anything.
TEST_F(LumifoldViewModelTest, AHomeOtherThanTheAccountsIsAnotherHome) {
    const QByteArray ownHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.path()));
    const AppEnvironment system = AppEnvironment::system();
    qputenv("HOME", ownHome);
    EXPECT_FALSE(system.loginService.asksServiceManagers);
}

TEST_F(LumifoldViewModelTest, TheLoginServiceRunsTheCommandLineProgram) {
    start();
    run(&LumifoldViewModel::installLoginService);
    EXPECT_EQ(model->statusMessage(), "LaunchAgent installed.");
    EXPECT_TRUE(model->isLoginServiceInstalled());
    EXPECT_EQ(model->loginServiceOutcome()->kind, StageOutcome::Kind::warning);  // not started
    const auto bytes = platform::readFile(home / kJob);
    const std::string_view job = asText(bytes);
    EXPECT_NE(job.find("<string>" + program + "</string>"), std::string::npos);
    EXPECT_NE(job.find("<string>--home</string>\n\t\t<string>" + home.path()),  // its home
              std::string::npos);
    run(&LumifoldViewModel::uninstallLoginService);
    EXPECT_EQ(model->statusMessage(), "LaunchAgent uninstalled.");
    EXPECT_FALSE(model->isLoginServiceInstalled());

    home.makeFolder(std::string(kJob) + "/in-the-way");
    // Failures are the Keep Consistent screen's, not the Apply screen's.
    run(&LumifoldViewModel::installLoginService);  // cannot write over a folder
    EXPECT_EQ(model->loginServiceOutcome()->kind, StageOutcome::Kind::failed);
    EXPECT_EQ(model->failure(Stage::apply), std::nullopt);
    EXPECT_EQ(model->failure(Stage::keepConsistent), std::nullopt);  // the watcher's
    EXPECT_EQ(model->statusMessage(), "LaunchAgent uninstalled.");
    run(&LumifoldViewModel::uninstallLoginService);  // nor remove it
    EXPECT_EQ(model->loginServiceOutcome(),
              (StageOutcome{StageOutcome::Kind::failed,
                            QString::fromStdString("Could not remove \"" + home / kJob + "\"")}));
    EXPECT_TRUE(model->isLoginServiceInstalled());
}

}  // namespace
}  // namespace lumifold::app
