#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/finder/FakeFinder.h"

namespace lumifold::testing {
namespace {

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
    FakeFinder gone;
    EXPECT_FALSE(FinderCoordinator(gone.host()).isFinderRunning()) << "only the exact identifier";
    FinderHost partial = FakeFinder{}.host();
    partial.session.launch = nullptr;
    EXPECT_THROW(FinderCoordinator{std::move(partial)}, std::invalid_argument);
}

// Where no Finder runs (its steps say they have nothing to do), nothing waits for them to settle
// or for the Finder to go; the preferences are still pushed to the store.
TEST(FinderCoordinatorTest, ASystemWithoutAFinderWaitsForNothing) {
    FakeFinder finder{.running = true, .quitDelay = std::nullopt};
    FinderHost host = finder.host();
    const auto none = [] { return false; };
    host.session = {none, none, none, none, none};
    const FinderCoordinator coordinator(std::move(host));
    EXPECT_FALSE(coordinator.hasActiveTransfers());
    coordinator.quitFinder(5.0);
    coordinator.flushPreferenceCache();
    coordinator.relaunchFinder();
    EXPECT_EQ(finder.log, "synchronize com.apple.finder; ");
}

}  // namespace
}  // namespace lumifold::testing
