#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/finder/FakeFinder.h"

namespace lumifold::testing {
namespace {

TEST(FinderCoordinatorTest, TransfersAreActiveForAPositiveDecimalCountOnly) {
    const auto active = [](std::optional<std::string> result) {
        FakeFinder finder{.transferCount = std::move(result)};
        return FinderCoordinator(finder.host()).hasActiveTransfers();
    };
    for (const char* text : {"2", "+2", "9223372036854775807", "007"}) {
        EXPECT_TRUE(active(text)) << '"' << text << '"';
    }
    for (const char* text : {"0", "", "abc", "-2", "+0", "-0", "+", "+-2", " 2", "2\n", "1.5",
                             "0x1", "9223372036854775808", "-9223372036854775809"}) {
        EXPECT_FALSE(active(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(active(std::nullopt));
    // osascript ends its result with one line feed, and only that one goes.
    EXPECT_EQ(FinderHost::scriptResultFromOsascript({true, 0, "2\n\n"}), "2\n");
    EXPECT_EQ(FinderHost::scriptResultFromOsascript({true, 1, "2\n"}), std::nullopt);
    EXPECT_EQ(FinderHost::scriptResultFromOsascript({false, -1, ""}), std::nullopt);
    FakeFinder gone;
    EXPECT_FALSE(FinderCoordinator(gone.host()).isFinderRunning()) << "only the exact identifier";
}

TEST(FinderCoordinatorTest, QuitPollsEveryQuarterSecondAndKillsOnlyAfterTheTimeout) {
    const std::string wait = "sleep 0.25; ", kill = "/usr/bin/killall Finder; sleep 0.50; ";
    const std::tuple<FakeFinder, double, std::string> cases[] = {
        {{.running = true, .quitDelay = 0.6}, 5.0, wait + wait + wait},  // gone at 0.75 s
        {{}, 5.0, ""},                                                   // already gone: no wait
        {{.running = true, .quitDelay = std::nullopt}, 1.0, wait + wait + wait + wait + kill},
    };
    for (auto [finder, timeout, log] : cases) {
        FinderCoordinator(finder.host()).quitFinder(timeout);
        EXPECT_EQ(finder.log, "quit; " + log) << "timeout " << timeout;
        EXPECT_FALSE(finder.isRunning());
    }
    FinderHost partial = FakeFinder{}.host();
    partial.synchronizePreferences = nullptr;
    EXPECT_THROW(FinderCoordinator{std::move(partial)}, std::invalid_argument);
}

}  // namespace
}  // namespace lumifold::testing
