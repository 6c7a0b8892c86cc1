#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/finder/FinderCoordinator.h"
#include "core/platform/FileSystem.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

// The real host on a machine without a Finder: nothing to ask, nothing running, nothing to
// wait for. Only the tools are watched, so that no killall or open actually runs.
TEST(FinderHostSystemTest, WithoutAFinderNothingIsKilledOrAwaited) {
    if (::access("/usr/bin/osascript", X_OK) == 0) GTEST_SKIP() << "a Finder may be running here";
    testing::TempHome home;
    std::vector<std::string> tools;
    FinderHost host = FinderHost::system(home.path());
    host.runProcess = [&tools](const std::string& path, const std::vector<std::string>&) {
        tools.push_back(path);
        return platform::ProcessResult{};
    };
    double slept = 0;
    host.sleep = [&slept](double seconds) { slept += seconds; };

    const FinderCoordinator coordinator(std::move(host));
    EXPECT_FALSE(coordinator.hasActiveTransfers());
    EXPECT_FALSE(coordinator.isFinderRunning());
    coordinator.quitFinder(FinderCoordinator::kDefaultQuitTimeout);
    EXPECT_EQ(tools, std::vector<std::string>{});
    EXPECT_EQ(slept, 0.0);

    coordinator.flushPreferenceCache();  // synchronizes the real preferences of the temp home
    EXPECT_EQ(tools, std::vector<std::string>{"/usr/bin/killall"});
}

}  // namespace
}  // namespace lumifold
