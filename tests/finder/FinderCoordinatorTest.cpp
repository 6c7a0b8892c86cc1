#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/finder/FinderCoordinator.h"
#include "tests/support/LumifoldAssertions.h"

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
// `quitDelay` seconds after it is asked to quit (never, when unset). Every call is logged.
class FakeFinder {
  public:
    std::optional<std::string> transferCount = "0";
    std::optional<double> quitDelay = 0.0;
    bool running = true;
    std::vector<std::string> otherApplications = {"com.apple.dock", ""};
    bool toolsStart = true;

    double now = 100.0;
    std::optional<double> quitRequestedAt;
    std::vector<std::string> log;

    FinderHost host() {
        FinderHost host;
        host.runAppleScript = [this](const std::string& script) -> std::optional<std::string> {
            if (script == kTransferScript) {
                log.push_back("count windows");
                return transferCount;
            }
            if (script == kQuitScript) {
                log.push_back("quit");
                quitRequestedAt = now;
                return std::nullopt;
            }
            ADD_FAILURE() << "unexpected script:\n" << script;
            return std::nullopt;
        };
        host.runningBundleIdentifiers = [this] {
            std::vector<std::string> identifiers = otherApplications;
            if (isRunning()) identifiers.push_back("com.apple.finder");
            return identifiers;
        };
        host.runProcess = [this](const std::string& path, const std::vector<std::string>& args) {
            std::string entry = path;
            for (const std::string& arg : args) entry += " " + arg;
            log.push_back(entry);
            if (entry == "/usr/bin/killall Finder") running = false;
            platform::ProcessResult result;
            result.started = toolsStart;
            result.exitStatus = toolsStart ? 1 : -1;  // the status must not matter
            return result;
        };
        host.sleep = [this](double seconds) {
            log.push_back("sleep " + std::to_string(seconds).substr(0, 4));
            now += seconds;
        };
        host.monotonicSeconds = [this] { return now; };
        host.synchronizePreferences = [this](const std::string& id) {
            log.push_back("synchronize " + id);
            return false;  // a failed synchronization does not stop the flush
        };
        return host;
    }

    bool isRunning() const {
        if (!running) return false;
        return !(quitRequestedAt && quitDelay && now >= *quitRequestedAt + *quitDelay);
    }
};

class FinderCoordinatorTest : public ::testing::Test {
  protected:
    bool hasActiveTransfersWhenScriptSays(std::optional<std::string> result) {
        finder.transferCount = std::move(result);
        return FinderCoordinator(finder.host()).hasActiveTransfers();
    }

    FakeFinder finder;
};

TEST_F(FinderCoordinatorTest, TransferCountMustBeAPositiveDecimalInteger) {
    EXPECT_TRUE(hasActiveTransfersWhenScriptSays("2"));
    EXPECT_TRUE(hasActiveTransfersWhenScriptSays("+2"));
    EXPECT_TRUE(hasActiveTransfersWhenScriptSays("9223372036854775807"));
    EXPECT_TRUE(hasActiveTransfersWhenScriptSays("007"));
    for (const char* text :
         {"0", "", "abc", "-2", "+0", "-0", "+", "-", "+-2", " 2", "2 ", "2\n", "1.5", "0x1",
          "9223372036854775808", "-9223372036854775809", "99999999999999999999"}) {
        EXPECT_FALSE(hasActiveTransfersWhenScriptSays(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(hasActiveTransfersWhenScriptSays(std::nullopt));
    EXPECT_EQ(finder.log.back(), "count windows");
}

TEST_F(FinderCoordinatorTest, FinderRunsWhenItsExactIdentifierIsListed) {
    const FinderCoordinator coordinator(finder.host());
    EXPECT_TRUE(coordinator.isFinderRunning());
    finder.running = false;
    finder.otherApplications = {"com.apple.Finder", "com.apple.finder.helper", ""};
    EXPECT_FALSE(coordinator.isFinderRunning());
}

TEST_F(FinderCoordinatorTest, QuitWaitsForTheFinderInQuarterSecondSteps) {
    finder.quitDelay = 0.6;
    FinderCoordinator(finder.host()).quitFinder(5.0);
    EXPECT_NEAR(finder.now - 100.0, 0.75, 1e-9);
    EXPECT_EQ(finder.log, (std::vector<std::string>{"count windows", "quit", "sleep 0.25",
                                                    "sleep 0.25", "sleep 0.25"}));
}

TEST_F(FinderCoordinatorTest, QuitOfAFinderThatIsAlreadyGoneDoesNotWait) {
    finder.running = false;
    FinderCoordinator(finder.host()).quitFinder(5.0);
    EXPECT_EQ(finder.log, (std::vector<std::string>{"count windows", "quit"}));
    EXPECT_EQ(finder.now, 100.0);
}

TEST_F(FinderCoordinatorTest, FinderThatIgnoresTheQuitIsKilledAfterTheTimeout) {
    finder.quitDelay = std::nullopt;
    FinderCoordinator(finder.host()).quitFinder(1.0);
    const std::vector<std::string> expected = {"count windows",
                                               "quit",
                                               "sleep 0.25",
                                               "sleep 0.25",
                                               "sleep 0.25",
                                               "sleep 0.25",
                                               "/usr/bin/killall Finder",
                                               "sleep 0.50"};
    EXPECT_EQ(finder.log, expected);
    EXPECT_FALSE(finder.isRunning());
}

TEST_F(FinderCoordinatorTest, ZeroTimeoutKillsAtOnce) {
    FinderCoordinator(finder.host()).quitFinder(0.0);
    EXPECT_EQ(finder.log, (std::vector<std::string>{"count windows", "quit",
                                                    "/usr/bin/killall Finder", "sleep 0.50"}));
}

TEST_F(FinderCoordinatorTest, KillallThatCannotStartIsIgnored) {
    finder.quitDelay = std::nullopt;
    finder.toolsStart = false;
    FinderCoordinator(finder.host()).quitFinder(0.0);
    EXPECT_EQ(finder.log.back(), "sleep 0.50");
}

TEST_F(FinderCoordinatorTest, ActiveTransfersAbortTheQuitAndLeaveTheFinderRunning) {
    finder.transferCount = "3";
    const FinderCoordinator coordinator(finder.host());
    EXPECT_LUMIFOLD_ERROR(coordinator.quitFinder(5.0), "FinderCoordinator", 1,
                          "Active file transfers are in progress in Finder. Aborting restart to "
                          "prevent interrupting file transfers.");
    EXPECT_EQ(finder.log, std::vector<std::string>{"count windows"});
    EXPECT_TRUE(finder.isRunning());
}

TEST_F(FinderCoordinatorTest, FlushSynchronizesThenRestartsTheDaemonThenSettles) {
    FinderCoordinator(finder.host()).flushPreferenceCache();
    EXPECT_EQ(finder.log, (std::vector<std::string>{"synchronize com.apple.finder",
                                                    "/usr/bin/killall cfprefsd", "sleep 0.50"}));
}

TEST_F(FinderCoordinatorTest, RelaunchOpensTheFinderThenSettles) {
    finder.toolsStart = false;  // a missing open is not an error either
    FinderCoordinator(finder.host()).relaunchFinder();
    EXPECT_EQ(finder.log, (std::vector<std::string>{"/usr/bin/open -a Finder", "sleep 0.50"}));
}

TEST_F(FinderCoordinatorTest, HostWithAMissingMemberIsRejected) {
    FinderHost host = finder.host();
    host.synchronizePreferences = nullptr;
    EXPECT_THROW(FinderCoordinator{std::move(host)}, std::invalid_argument);
}

TEST(FinderHostTest, OsascriptResultLosesOnlyItsFinalLineFeed) {
    const auto result = [](bool started, int status, std::string output) {
        return FinderHost::scriptResultFromOsascript(
            platform::ProcessResult{started, status, std::move(output)});
    };
    EXPECT_EQ(result(true, 0, "2\n"), "2");
    EXPECT_EQ(result(true, 0, "a\n\n"), "a\n");
    EXPECT_EQ(result(true, 0, ""), "");
    EXPECT_EQ(result(true, 1, "2\n"), std::nullopt);
    EXPECT_EQ(result(false, -1, ""), std::nullopt);
}

}  // namespace
}  // namespace lumifold
