#include <gtest/gtest.h>

#include <algorithm>

#include "core/platform/Process.h"

namespace lumifold::platform {
namespace {

// Both outputs come back whole, however much the child writes to each (more than a pipe holds,
// interleaved), and a program that cannot start says so.
TEST(ProcessTest, BothOutputsComeBackWholeAndAMissingProgramIsNotStarted) {
    const ProcessResult result =
        runProcess("/bin/sh", {"-c",
                               "i=0; while [ $i -lt 20000 ]; do echo out$i; echo err$i >&2; "
                               "i=$((i+1)); done; exit 3"});
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(std::count(result.standardOutput.begin(), result.standardOutput.end(), '\n'), 20000);
    EXPECT_TRUE(result.standardError.starts_with("err0\n") &&
                result.standardError.ends_with("err19999\n"));
    EXPECT_FALSE(runProcess("/no/such/program", {}).started);
}

}  // namespace
}  // namespace lumifold::platform
