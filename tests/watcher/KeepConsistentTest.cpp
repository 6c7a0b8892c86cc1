#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/platform/FileLock.h"
#include "core/watcher/KeepConsistent.h"
#include "tests/finder/FakeFinder.h"
#include "tests/support/TempHome.h"

// Keep Consistent's rules on a real home with a fake Finder and a fake clock for the lock.
namespace lumifold {
namespace {

using Result = Reconciliation::Result;

class KeepConsistentTest : public ::testing::Test {
  protected:
    KeepConsistentTest() {
        for (const char* name : {"Desktop", "Documents"}) home.makeFolder(name);
        EngineOptions options;
        options.homeDirectory = home.path();
        options.finderHost = finder.host();
        options.monotonicSeconds = [this] { return now; };
        options.sleep = [this](double seconds) { now += seconds; };
        engine = std::make_unique<LumifoldEngine>(std::move(options));
        keep = std::make_unique<KeepConsistent>(
            *engine,
            KeepConsistentOptions{.folders = std::vector{home / "Desktop"},
                                  .tree = std::nullopt,
                                  .relaunchFinder = false,
                                  .keepSnapshots = std::nullopt,
                                  .quietPeriod = 5},
            [this] { return now; });
    }
    std::string lines(const Reconciliation& outcome) const {
        std::string text;
        for (const auto& line : outcome.lines) text += line + "\n";
        for (const auto& line : outcome.warnings) text += "Warning: " + line + "\n";
        return text;
    }

    testing::TempHome home;
    testing::FakeFinder finder{.running = false};
    double now = 0;
    std::unique_ptr<LumifoldEngine> engine;
    std::unique_ptr<KeepConsistent> keep;
};

// An edited layout file is told key by key; one that cannot be used is said once, nothing is
// written while it stays so, and its mending is said.
TEST_F(KeepConsistentTest, AnEditedLayoutIsToldAndAnUnusableOneWritesNothing) {
    const std::string layout = home.writeFile(".config/lumifold/layout.toml", "icon-size = 64\n");
    keep = std::make_unique<KeepConsistent>(*engine, keep->options(), [this] { return now; });
    home.writeFile(".config/lumifold/layout.toml",
                   "icon-size = 80\n[[folder]]\npath = \"~/Desktop\"\nview = \"list\"\n");
    const std::vector<std::string> told = keep->layoutChanged();
    EXPECT_NE(std::find(told.begin(), told.end(), "Layout changed: icon-size 64 → 80"), told.end());
    EXPECT_NE(std::find(told.begin(), told.end(),
                        "Layout changed: rule 1 (~/Desktop) view (none) → \"list\""),
              told.end());

    home.writeFile(".config/lumifold/layout.toml", "icon-size = 8000\n");
    EXPECT_TRUE(keep->layoutChanged().empty());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Reconciliation outcome = keep->reconcile();
        EXPECT_EQ(outcome.result, Result::layoutUnusable) << lines(outcome);
        EXPECT_EQ(outcome.warnings.size(), attempt == 0 ? 1u : 0u) << lines(outcome);
    }
    EXPECT_TRUE(engine->backupManager().listSnapshots().snapshots.empty());
    home.writeFile(".config/lumifold/layout.toml", "icon-size = 80\n");
    EXPECT_NE(lines(keep->reconcile()).find("The layout file can be used again"),
              std::string::npos);
}

// A failure that repeats is said once and tried again after 1, 2, 4 ... minutes, up to an hour;
// once Apply works again it says so and the next failure starts from a minute again.
TEST_F(KeepConsistentTest, AFailureIsSaidOnceAndTriedAgainLessAndLessOften) {
    home.writeFile("Desktop/report.pdf", "pdf");  // something to change
    const std::string preferences =
        home.writeFile("Library/Preferences/com.apple.finder.plist", "not a property list");
    std::vector<double> retries;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const Reconciliation outcome = keep->reconcile();
        ASSERT_EQ(outcome.result, Result::failed) << lines(outcome);
        EXPECT_EQ(outcome.warnings.size(), attempt == 0 ? 1u : 0u) << lines(outcome);
        retries.push_back(outcome.retryAfter.value_or(0));
    }
    EXPECT_EQ(retries, (std::vector<double>{60, 120, 240, 480, 960, 1920, 3600, 3600}));
    EXPECT_TRUE(engine->backupManager().listSnapshots().snapshots.empty());

    platform::removeFile(preferences);
    Reconciliation outcome = keep->reconcile();
    EXPECT_EQ(outcome.result, Result::applied) << lines(outcome);
    EXPECT_NE(lines(outcome).find("Apply works again"), std::string::npos) << lines(outcome);
    EXPECT_EQ(outcome.retryAfter, std::nullopt);
    outcome = keep->reconcile();
    EXPECT_EQ(outcome.result, Result::holds) << lines(outcome);
    EXPECT_EQ(lines(outcome),
              "Folders changed; the layout holds in 1 folder, nothing to apply (0 ms)\n");
}

// Another Lumifold process holding the lock is no failure: asked again one quiet period later.
TEST_F(KeepConsistentTest, AHeldLockIsTriedAgainAfterAQuietPeriod) {
    home.makeFolder(".lumifold");
    const auto held = platform::FileLock::tryAcquire(home / ".lumifold/lock");
    const Reconciliation outcome = keep->reconcile();
    EXPECT_EQ(outcome.result, Result::waitingForLock) << lines(outcome);
    EXPECT_EQ(outcome.retryAfter, 5.0);
    EXPECT_TRUE(outcome.warnings.empty());
}

}  // namespace
}  // namespace lumifold
