#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/finder/FinderCoordinator.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

const std::string kTransferScript =
    "tell application \"Finder\"\n"
    "    set copyWindows to (every window whose name contains \"Copy\" or name contains "
    "\"Moving\" or name contains \"Preparing\" or name contains \"Deleting\")\n"
    "    return (count of copyWindows)\n"
    "end tell";
const std::string kQuitScript = "tell application \"Finder\"\n    quit\nend tell";

// A pretend Finder on a pretend clock. Sleeping advances the clock; the Finder stops
// `quitDelay` seconds after it is asked to quit (never, when unset). Every call is logged,
// each step followed by "; ".
struct FakeFinder {
    std::optional<std::string> transferCount = "0";
    std::optional<double> quitDelay = 0.0;
    bool running = true;
    std::vector<std::string> otherApplications = {"com.apple.dock", ""};
    bool toolsStart = true;
    double now = 100.0;
    std::optional<double> quitRequestedAt{};
    std::string log{};

    FinderHost host() {
        FinderHost host;
        host.runAppleScript = [this](const std::string& script) -> std::optional<std::string> {
            if (script == kTransferScript) return log += "count windows; ", transferCount;
            log += script == kQuitScript ? "quit; " : "unexpected script " + script + "; ";
            quitRequestedAt = now;
            return std::nullopt;
        };
        host.runningBundleIdentifiers = [this] {
            std::vector<std::string> identifiers = otherApplications;
            if (isRunning()) identifiers.push_back("com.apple.finder");
            return identifiers;
        };
        host.runProcess = [this](const std::string& path, const std::vector<std::string>& args) {
            log += path;
            for (const std::string& arg : args) log += " " + arg;
            log += "; ";
            if (path == "/usr/bin/killall" && args == std::vector<std::string>{"Finder"}) {
                running = false;
            }
            // The status must not matter.
            return platform::ProcessResult{toolsStart, toolsStart ? 1 : -1, ""};
        };
        host.sleep = [this](double seconds) {
            log += "sleep " + std::to_string(seconds).substr(0, 4) + "; ";
            now += seconds;
        };
        host.monotonicSeconds = [this] { return now; };
        host.synchronizePreferences = [this](const std::string& id) {
            log += "synchronize " + id + "; ";
            return false;  // a failed synchronization does not stop the flush
        };
        return host;
    }

    bool isRunning() const {
        return running && !(quitRequestedAt && quitDelay && now >= *quitRequestedAt + *quitDelay);
    }
};

TEST(FinderCoordinatorTest, TransferCountMustBeAPositiveDecimalInteger) {
    const auto active = [](std::optional<std::string> result) {
        FakeFinder finder{.transferCount = std::move(result)};
        return FinderCoordinator(finder.host()).hasActiveTransfers();
    };
    for (const char* text : {"2", "+2", "9223372036854775807", "007"}) {
        EXPECT_TRUE(active(text)) << '"' << text << '"';
    }
    for (const char* text :
         {"0", "", "abc", "-2", "+0", "-0", "+", "-", "+-2", " 2", "2 ", "2\n", "1.5", "0x1",
          "9223372036854775808", "-9223372036854775809", "99999999999999999999"}) {
        EXPECT_FALSE(active(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(active(std::nullopt));
}

TEST(FinderCoordinatorTest, FinderRunsWhenItsExactIdentifierIsListed) {
    FakeFinder finder;
    const FinderCoordinator coordinator(finder.host());
    EXPECT_TRUE(coordinator.isFinderRunning());
    finder.running = false;
    finder.otherApplications = {"com.apple.Finder", "com.apple.finder.helper", ""};
    EXPECT_FALSE(coordinator.isFinderRunning());
}

TEST(FinderCoordinatorTest, QuitPollsEveryQuarterSecondAndKillsOnlyAfterTheTimeout) {
    const std::string wait = "sleep 0.25; ";
    const std::string kill = "/usr/bin/killall Finder; sleep 0.50; ";
    const struct {
        FakeFinder finder;
        double timeout;
        std::string log;
    } cases[] = {
        {{.quitDelay = 0.6}, 5.0, wait + wait + wait},  // back at 0.75 s
        {{.running = false}, 5.0, ""},                  // already gone: no wait
        {{.quitDelay = std::nullopt}, 1.0, wait + wait + wait + wait + kill},
        {{}, 0.0, kill},
        {{.quitDelay = std::nullopt, .toolsStart = false}, 0.0, kill},  // killall cannot start
    };
    for (auto [finder, timeout, log] : cases) {
        FinderCoordinator(finder.host()).quitFinder(timeout);
        EXPECT_EQ(finder.log, "count windows; quit; " + log) << "timeout " << timeout;
        EXPECT_FALSE(finder.isRunning());
    }
}

TEST(FinderCoordinatorTest, ActiveTransfersAbortTheQuitAndLeaveTheFinderRunning) {
    FakeFinder finder{.transferCount = "3"};
    EXPECT_LUMIFOLD_ERROR(FinderCoordinator(finder.host()).quitFinder(5.0), "FinderCoordinator", 1,
                          "Active file transfers are in progress in Finder. Aborting restart to "
                          "prevent interrupting file transfers.");
    EXPECT_EQ(finder.log, "count windows; ");
    EXPECT_TRUE(finder.isRunning());
}

TEST(FinderCoordinatorTest, FlushAndRelaunchRunTheirStepsInOrderWhateverTheToolsSay) {
    FakeFinder finder{.toolsStart = false};
    const FinderCoordinator coordinator(finder.host());
    coordinator.flushPreferenceCache();
    coordinator.relaunchFinder();
    EXPECT_EQ(finder.log,
              "synchronize com.apple.finder; /usr/bin/killall cfprefsd; sleep 0.50; "
              "/usr/bin/open -a Finder; sleep 0.50; ");
}

TEST(FinderCoordinatorTest, HostWithAMissingMemberIsRejected) {
    FinderHost host = FakeFinder{}.host();
    host.synchronizePreferences = nullptr;
    EXPECT_THROW(FinderCoordinator{std::move(host)}, std::invalid_argument);
}

TEST(FinderHostTest, OsascriptResultLosesOnlyItsFinalLineFeed) {
    const auto result = [](bool started, int status, std::string output) {
        return FinderHost::scriptResultFromOsascript({started, status, std::move(output)});
    };
    EXPECT_EQ(result(true, 0, "a\n\n"), "a\n");
    EXPECT_EQ(result(true, 0, ""), "");
    EXPECT_EQ(result(true, 1, "2\n"), std::nullopt);
    EXPECT_EQ(result(false, -1, ""), std::nullopt);
}

// The real host on a machine without a Finder: nothing to ask, nothing running, nothing to
// wait for. Only the tools are watched, so that no killall or open actually runs.
TEST(FinderHostTest, WithoutAFinderNothingIsKilledOrAwaited) {
    if (::access("/usr/bin/osascript", X_OK) == 0) GTEST_SKIP() << "a Finder may be running here";
    testing::TempHome home;
    std::vector<std::string> tools;
    double slept = 0;
    FinderHost host = FinderHost::system(home.path());
    host.runProcess = [&tools](const std::string& path, const std::vector<std::string>&) {
        tools.push_back(path);
        return platform::ProcessResult{};
    };
    host.sleep = [&slept](double seconds) { slept += seconds; };
    const FinderCoordinator coordinator(std::move(host));
    EXPECT_FALSE(coordinator.hasActiveTransfers());
    coordinator.quitFinder(FinderCoordinator::kDefaultQuitTimeout);
    EXPECT_TRUE(tools.empty());
    EXPECT_EQ(slept, 0.0);
    coordinator.flushPreferenceCache();  // synchronizes the real preferences of the temp home
    EXPECT_EQ(tools, std::vector<std::string>{"/usr/bin/killall"});
}

}  // namespace
}  // namespace lumifold
