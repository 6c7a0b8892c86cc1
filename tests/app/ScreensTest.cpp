#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QTest>
#include <QTreeView>
#include <functional>
#include <memory>

#include "app/Icons.h"
#include "app/LumifoldViewModel.h"
#include "app/MainContentView.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "tests/finder/FakeFinder.h"
#include "tests/support/TempHome.h"

namespace lumifold::app {
namespace {

// The real main window over the real controller, on a home of its own with a pretend Finder.
class ScreensTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "lumifold_app_tests";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!QApplication::instance()) new QApplication(argc, argv);
    }

    void start(const std::function<void(AppEnvironment&)>& adjust = {}) {
        AppEnvironment environment;
        environment.engine.homeDirectory = home.path();
        environment.engine.finderHost = finder.host();
        environment.loginService = LoginServiceHost::system(home.path());
        if (adjust) adjust(environment);
        model = std::make_unique<LumifoldViewModel>(std::move(environment));
        window = std::make_unique<MainContentView>(*model);
        window->show();
        waitIdle();  // the Inspect every start runs
    }

    // Lets the controller's results in until no stage runs and `done` holds.
    void waitIdle(const std::function<bool()>& done = [] { return true; }) {
        const QDeadlineTimer deadline(60'000);
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        } while ((model->isWorking() || !done()) && !deadline.hasExpired());
        ASSERT_FALSE(model->isWorking()) << model->statusMessage().toStdString();
    }

    void show(Section section) {
        window->selectSection(section);
        waitIdle();
    }

    // The texts of the labels and buttons the user sees.
    QStringList visibleTexts() const {
        QStringList texts;
        for (const QWidget* widget : window->findChildren<QWidget*>()) {
            const QVariant text = widget->property("text");
            if (widget->isVisible() && text.isValid()) texts << text.toString();
        }
        return texts;
    }

    template <typename Widget>
    Widget* find(const char* objectName) const {
        return window->findChild<Widget*>(QString::fromLatin1(objectName));
    }
    std::string textOf(const char* labelName) const {
        const auto* label = find<QLabel>(labelName);
        return label ? label->text().toStdString() : std::string("(no label ") + labelName + ")";
    }

    void writeDesktopStore(const std::vector<DSStoreEntry>& entries) {
        DSStoreWriter().write(entries, home.makeFolder("Desktop") + "/.DS_Store");
    }

    testing::TempHome home;
    testing::FakeFinder finder;
    std::unique_ptr<LumifoldViewModel> model;
    std::unique_ptr<MainContentView> window;  // declared last: goes before the model
};

TEST_F(ScreensTest, EveryIconHasAFallbackWithoutATheme) {
    QIcon::setThemeName({});
    for (std::string_view symbol : knownSymbols())
        EXPECT_FALSE(symbolIcon(symbol).isNull()) << symbol;
}

TEST_F(ScreensTest, VerifyWithoutAReportShowsOnlyTheInvitation) {
    start();
    show(Section::verify);
    EXPECT_TRUE(visibleTexts().contains("No verification report has been run yet."));
    for (const char* part : {"Overall Status", "Global Preferences", "Inaccessible Folders"}) {
        EXPECT_FALSE(visibleTexts().contains(part)) << part;
    }
    QTest::mouseClick(find<QAbstractButton>("runVerificationNowButton"), Qt::LeftButton);
    waitIdle();
    EXPECT_TRUE(visibleTexts().contains("Overall Status"));
    EXPECT_FALSE(visibleTexts().contains("No verification report has been run yet."));
}

TEST_F(ScreensTest, EmptySnapshotListStillOffersARestoreThatDoesNothing) {
    start();
    show(Section::restore);
    EXPECT_TRUE(visibleTexts().contains("No backups found in ~/.lumifold/backups/."));
    EXPECT_TRUE(visibleTexts().contains("Available Snapshots (0)"));
    const QString before = model->statusMessage();
    QTest::mouseClick(find<QAbstractButton>("restoreButton"), Qt::LeftButton);
    EXPECT_FALSE(model->isWorking());
    EXPECT_EQ(model->statusMessage(), before);
}

TEST_F(ScreensTest, DriftAfterApplyOffersTheForceToggle) {
    writeDesktopStore({{".", "vstl", "type", DSStoreValue::fourCC("Nlsv")}});
    start();
    window->selectSection(Section::apply);
    EXPECT_TRUE(model->isWorking());  // showing Apply refreshes
    waitIdle();
    model->apply();
    waitIdle();
    ASSERT_EQ(model->availableBackups().size(), 1U) << model->statusMessage().toStdString();
    auto entries = DSStoreReader().readEntries(home / "Desktop/.DS_Store");
    entries.push_back({"notes.txt", "cmmt", "ustr", DSStoreValue::string("edited elsewhere")});
    writeDesktopStore(entries);

    show(Section::restore);
    auto* list = find<QTreeView>("snapshotList");
    const QModelIndex select = list->model()->index(0, 2);
    EXPECT_EQ(select.data().toString(), "Select");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(select).center());
    waitIdle([&] { return model->restoreEvaluation().has_value(); });
    EXPECT_EQ(select.data().toString(), "Selected");
    EXPECT_TRUE(
        visibleTexts().contains("Changes detected since this backup was taken! Some "
                                "files were modified by another app or user."));
    EXPECT_TRUE(visibleTexts().contains("Restore Snapshot"));
    ASSERT_TRUE(find<QWidget>("forceToggle")->isVisible());
    find<QAbstractButton>("forceToggle")->click();
    EXPECT_TRUE(visibleTexts().contains("Force Restore Snapshot"));
}

// After a write the preview's list is greyed under a line that offers to make it again; shown
// again, the Restore screen evaluates its snapshot again, and a restore says how it ended.
TEST_F(ScreensTest, ScreensShowWhatAWriteChanged) {
    writeDesktopStore({{".", "vstl", "type", DSStoreValue::fourCC("Nlsv")}});
    start();
    show(Section::preview);
    model->apply();
    waitIdle();
    ASSERT_TRUE(find<QWidget>("previewOutOfDate")->isVisible());
    EXPECT_FALSE(find<QWidget>("plistChangeList")->isEnabled());
    QTest::mouseClick(find<QAbstractButton>("regeneratePreviewButton"), Qt::LeftButton);
    waitIdle();
    EXPECT_FALSE(find<QWidget>("previewOutOfDate")->isVisible());

    show(Section::restore);
    model->selectBackup(model->availableBackups().front());
    waitIdle([&] { return model->restoreEvaluation().has_value(); });
    const QString safe = "All files match post-backup hashes. Safe to restore.";
    EXPECT_TRUE(visibleTexts().contains(safe));
    auto entries = DSStoreReader().readEntries(home / "Desktop/.DS_Store");
    entries.push_back({"notes.txt", "cmmt", "ustr", DSStoreValue::string("edited elsewhere")});
    writeDesktopStore(entries);

    show(Section::inspect);
    show(Section::restore);
    waitIdle([&] { return model->restoreEvaluation().has_value(); });
    EXPECT_FALSE(visibleTexts().contains(safe));
    QTest::mouseClick(find<QAbstractButton>("restoreButton"), Qt::LeftButton);
    waitIdle();
    ASSERT_TRUE(model->restoreOutcome());  // refused, and said so here
    EXPECT_EQ(textOf("restoreOutcomeText"), model->restoreOutcome()->text.toStdString());
}

// A program that cannot run is refused on this screen; an installed service shows what
// systemd says of it, what it starts and where its files are.
TEST_F(ScreensTest, KeepConsistentShowsTheLoginServiceAsItIs) {
    const std::string program = home / "bin/lumifold";
    start([&](AppEnvironment& environment) {
        environment.commandLineProgram = program;
        environment.loginService.asksServiceManagers = true;
        // A user systemd that takes nothing and says the unit failed.
        environment.loginService.serviceManager = platform::UserServiceManager::systemd(
            [](const std::string&, const std::vector<std::string>&) {
                return platform::ProcessResult{
                    .started = true, .exitStatus = 3, .standardOutput = "failed\n"};
            });
    });
    show(Section::consistency);
    QTest::mouseClick(find<QAbstractButton>("agentButton"), Qt::LeftButton);
    waitIdle();
    EXPECT_EQ(textOf("agentMessageText"),
              "Could not install the login service: \"" + program + "\" does not exist.");
    EXPECT_EQ(textOf("agentInstalled"), "No");

    home.writeFile("bin/lumifold", "#!/bin/sh\n");
    platform::setPermissionBits(program, 0755);
    QTest::mouseClick(find<QAbstractButton>("agentButton"), Qt::LeftButton);
    waitIdle();
    EXPECT_EQ(textOf("agentInstalled"), "Yes");
    EXPECT_EQ(textOf("agentRunning"), "No");
    EXPECT_EQ(textOf("agentProgram"), program);
    const std::string unit = home / ".config/systemd/user/lumifold-watcher.service";
    EXPECT_EQ(textOf("agentUnit"), unit);

    platform::removeFile(home / "Library/LaunchAgents/com.quarnish.lumifold.watcher.plist");
    platform::removeFile(unit);
    show(Section::inspect);
    show(Section::consistency);  // read again as it is shown
    EXPECT_EQ(textOf("agentInstalled"), "No");
}

TEST_F(ScreensTest, GridSpacingLineShowsTheSavedDefault) {
    home.writeFile("Library/Preferences/com.apple.finder.plist",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                   "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><dict>"
                   "<key>gridSpacing</key><real>67</real></dict></dict></dict></plist>");
    start();
    EXPECT_TRUE(visibleTexts().contains("• Grid Spacing: 67 (saved default)"));
}

}  // namespace
}  // namespace lumifold::app
