#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <semaphore>

#include "app/IconText.h"
#include "app/Icons.h"
#include "app/LumifoldViewModel.h"
#include "app/MainContentView.h"
#include "core/common/Error.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "tests/finder/FakeFinder.h"
#include "tests/support/TempHome.h"

namespace lumifold::app {
namespace {

constexpr const char* kFinderFailure = "The Finder did not answer.";

// WCAG 2: relative luminance, and the ratio of the lighter to the darker plus 0.05.
double contrast(const QColor& first, const QColor& second) {
    const auto luminance = [](const QColor& colour) {
        const auto linear = [](double c) {
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
               0.0722 * linear(colour.blueF());
    };
    const double a = luminance(first), b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

// The real main window over the real controller, on a home of its own with a pretend Finder.
class ScreensTest : public ::testing::Test {
  protected:
    void start(const std::function<void(AppEnvironment&)>& adjust = {}) {
        window.reset();
        model.reset();
        AppEnvironment environment;
        environment.engine.homeDirectory = home.path();
        // The transfer question, which Inspect, Preview and Apply ask first, fails or waits.
        FinderHost host = finder.host();
        host.session.hasActiveTransfers = [this, ask = host.session.hasActiveTransfers] {
            if (finderFails) throw Error("Finder", 1, kFinderFailure);
            if (holdFinder.exchange(false)) finderReleased.acquire();
            return ask();
        };
        environment.engine.finderHost = host;
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
    // A record another program adds to the Desktop's store after Apply: drift from the snapshot.
    void editDesktopStoreElsewhere() {
        auto entries = DSStoreReader().readEntries(home / "Desktop/.DS_Store");
        entries.push_back({"notes.txt", "cmmt", "ustr", DSStoreValue::string("edited elsewhere")});
        writeDesktopStore(entries);
    }

    testing::TempHome home;
    testing::FakeFinder finder;
    std::atomic<bool> finderFails = false;
    std::atomic<bool> holdFinder = false;  // the next transfer question waits for the release
    std::binary_semaphore finderReleased{0};
    std::unique_ptr<LumifoldViewModel> model;
    std::unique_ptr<MainContentView> window;  // declared last: goes before the model
};

TEST_F(ScreensTest, EveryIconHasAFallbackWithoutATheme) {
    QIcon::setThemeName({});
    for (std::string_view symbol : knownSymbols())
        EXPECT_FALSE(symbolIcon(symbol).isNull()) << symbol;
}

// Each says so in one line, without an empty group around it; Verify's invitation goes once a
// report is run. Inspect shows the grid spacing kept from the preferences.
TEST_F(ScreensTest, EmptyStatesSayItInOneLine) {
    home.writeFile("Library/Preferences/com.apple.finder.plist",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                   "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><dict>"
                   "<key>gridSpacing</key><real>67</real></dict></dict></dict></plist>");
    start();
    EXPECT_TRUE(visibleTexts().contains("• Grid Spacing: 67 (saved default)"));
    show(Section::verify);
    EXPECT_TRUE(visibleTexts().contains("No verification report has been run yet."));
    for (const char* part : {"Overall Status", "Global Preferences", "Inaccessible Folders"}) {
        EXPECT_FALSE(visibleTexts().contains(part)) << part;
    }
    QTest::mouseClick(find<QAbstractButton>("runVerificationNowButton"), Qt::LeftButton);
    waitIdle();
    EXPECT_TRUE(visibleTexts().contains("Overall Status"));
    EXPECT_FALSE(visibleTexts().contains("No verification report has been run yet."));

    show(Section::restore);
    EXPECT_TRUE(visibleTexts().contains("No backups found in ~/.lumifold/backups/."));
    for (const char* hidden : {"snapshotsGroup", "evaluationGroup", "restoreButton"}) {
        EXPECT_FALSE(find<QWidget>(hidden)->isVisible()) << hidden;
    }

    model->apply();
    waitIdle();
    show(Section::preview);
    model->generatePreview();
    waitIdle();
    EXPECT_TRUE(
        visibleTexts().contains("Nothing to change: the preferences and every folder "
                                "already match the preferred layout."));
    for (const char* group : {"plistChangesGroup", "folderChangesGroup", "preservedGroup"}) {
        EXPECT_FALSE(find<QWidget>(group)->isVisible()) << group;
    }
}

// After a write the preview's list is greyed under a line that offers to make it again. The
// Restore screen evaluates its snapshot again each time it is shown, names the files below the
// home as ~/..., offers the force toggle on drift, and says how a restore ended.
TEST_F(ScreensTest, ScreensShowWhatAWriteChanged) {
    writeDesktopStore({{".", "vstl", "type", DSStoreValue::fourCC("Nlsv")}});
    start();
    window->selectSection(Section::apply);
    EXPECT_TRUE(model->isWorking());  // showing Apply refreshes
    waitIdle();
    show(Section::preview);
    model->apply();
    waitIdle();
    ASSERT_EQ(model->availableBackups().size(), 1U) << model->statusMessage().toStdString();
    ASSERT_TRUE(find<QWidget>("previewOutOfDate")->isVisible());
    EXPECT_FALSE(find<QWidget>("plistChangeList")->isEnabled());
    QTest::mouseClick(find<QAbstractButton>("regeneratePreviewButton"), Qt::LeftButton);
    waitIdle();
    EXPECT_FALSE(find<QWidget>("previewOutOfDate")->isVisible());

    show(Section::restore);
    auto* list = find<QTreeView>("snapshotList");
    const QModelIndex select = list->model()->index(0, 2);
    EXPECT_EQ(select.data().toString(), "Select");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(select).center());
    waitIdle([&] { return model->restoreEvaluation().has_value(); });
    EXPECT_EQ(select.data().toString(), "Selected");
    const QString safe = "All files match post-backup hashes. Safe to restore.";
    EXPECT_TRUE(visibleTexts().contains(safe));
    editDesktopStoreElsewhere();

    show(Section::inspect);
    show(Section::restore);
    waitIdle([&] { return model->restoreEvaluation().has_value(); });
    EXPECT_FALSE(visibleTexts().contains(safe));
    EXPECT_TRUE(
        visibleTexts().contains("Changes detected since this backup was taken! Some "
                                "files were modified by another app or user."));
    // Files below the home as ~/..., whole as a tooltip: the per-host files cut alike.
    const QAbstractItemModel* files = find<QTreeView>("evaluationList")->model();
    ASSERT_GT(files->rowCount(), 2);
    const QString below = QString::fromStdString(home.path()) + '/';
    for (int row = 0; row < files->rowCount(); ++row) {
        const QString whole = files->index(row, 0).data(Qt::ToolTipRole).toString();
        EXPECT_TRUE(whole.startsWith(below)) << whole.toStdString();
        EXPECT_EQ(files->index(row, 0).data().toString(), "~/" + whole.mid(below.size()));
    }
    EXPECT_TRUE(visibleTexts().contains("Restore Snapshot"));
    QTest::mouseClick(find<QAbstractButton>("restoreButton"), Qt::LeftButton);
    waitIdle();
    ASSERT_TRUE(model->restoreOutcome());  // refused, and said so here
    EXPECT_EQ(textOf("restoreOutcomeText"), model->restoreOutcome()->text.toStdString());
    ASSERT_TRUE(find<QWidget>("forceToggle")->isVisible());
    find<QAbstractButton>("forceToggle")->click();
    EXPECT_TRUE(visibleTexts().contains("Force Restore Snapshot"));
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

// A stage's failure is shown on its own screen, and stays there until that stage runs again.
TEST_F(ScreensTest, EachScreenShowsItsOwnStagesFailure) {
    start();
    const struct {
        Section section;
        const char* button;
        const char* line;
    } stages[] = {
        {.section = Section::inspect, .button = "rescanButton", .line = "inspectFailure"},
        {.section = Section::preview, .button = "refreshPreviewButton", .line = "previewFailure"},
        {.section = Section::apply, .button = "applyButton", .line = "applyError"},
    };
    for (const auto& stage : stages) {
        show(stage.section);
        finderFails = true;
        QTest::mouseClick(find<QAbstractButton>(stage.button), Qt::LeftButton);
        waitIdle();
        finderFails = false;
        EXPECT_EQ(find<IconText>(stage.line)->text(), kFinderFailure);
        for (const auto& other : stages) {
            EXPECT_EQ(find<QWidget>(other.line)->isHidden(), &other > &stage) << other.line;
        }
        EXPECT_TRUE(find<QWidget>("watcherFailure")->isHidden());
        EXPECT_FALSE(model->restoreOutcome());
    }
}

// Held by any stage, it names only its own: a refresh as Apply is shown, and Apply.
TEST_F(ScreensTest, TheApplyButtonNamesOnlyItsOwnStage) {
    writeDesktopStore({{".", "vstl", "type", DSStoreValue::fourCC("Nlsv")}});
    start();
    auto* button = find<QAbstractButton>("applyButton");
    const struct {
        std::function<void()> action;
        const char* text;
    } stages[] = {
        {.action = [&] { window->selectSection(Section::apply); }, .text = "Refreshing..."},
        {.action = [&] { QTest::mouseClick(button, Qt::LeftButton); }, .text = "Applying..."},
        {.action = [&] { model->selectBackup(model->availableBackups().at(0)); },
         .text = "Apply Preferred Layout"},
        {.action = [&] { model->installLoginService(); }, .text = "Apply Preferred Layout"},
    };
    for (const auto& stage : stages) {
        stage.action();
        EXPECT_EQ(button->text(), stage.text);
        EXPECT_FALSE(button->isEnabled()) << stage.text;
        waitIdle();
        EXPECT_EQ(button->text(), "Apply Preferred Layout");
        EXPECT_TRUE(button->isEnabled());
    }
}

TEST_F(ScreensTest, ClosingDuringAStageKeepsTheWindowUntilItEnds) {
    start();
    holdFinder = true;
    model->apply();
    EXPECT_FALSE(window->close());
    QTest::qWait(50);  // the stage waits on the Finder meanwhile
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(textOf("statusMessage"), "Finishing Apply...");
    finderReleased.release();
    waitIdle();
    EXPECT_FALSE(window->isVisible());
}

// Every label reads at 4.5:1 on what is behind it, on a light and a dark palette, through the
// states that colour text: a failure, a drift warning, the transfer line, secondary text.
TEST_F(ScreensTest, EveryTextReadsAtFourAndAHalfToOne) {
    const QPalette original = QApplication::palette();
    QPalette dark(QColor(0x40, 0x40, 0x40), QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::PlaceholderText, QColor(255, 255, 255, 100));
    for (const QPalette& palette : {original, dark}) {
        QApplication::setPalette(palette);
        writeDesktopStore({{".", "vstl", "type", DSStoreValue::fourCC("Nlsv")}});
        start();
        model->apply();
        waitIdle();
        editDesktopStoreElsewhere();
        model->selectBackup(model->availableBackups().front());
        waitIdle();
        finderFails = true;
        model->apply();
        waitIdle();
        finderFails = false;
        int checked = 0;
        for (Section section : {Section::inspect, Section::preview, Section::apply, Section::verify,
                                Section::restore, Section::consistency}) {
            show(section);
            for (const QLabel* label : window->findChildren<QLabel*>()) {
                if (!label->isVisible() || label->text().isEmpty()) continue;
                const QWidget* behind = label;
                while (behind->parentWidget() && !behind->autoFillBackground())
                    behind = behind->parentWidget();
                const double ratio = contrast(label->palette().color(label->foregroundRole()),
                                              behind->palette().color(behind->backgroundRole()));
                EXPECT_GE(ratio, 4.5) << label->text().toStdString();
                ++checked;
            }
        }
        EXPECT_GT(checked, 40);
    }
    QApplication::setPalette(original);
}

}  // namespace
}  // namespace lumifold::app
