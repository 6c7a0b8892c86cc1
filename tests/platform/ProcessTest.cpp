#include <gtest/gtest.h>

#include <string>

#include "core/platform/Process.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

TEST(ProcessTest, CapturesStandardOutputAndPassesArgumentsUntouched) {
    const ProcessResult result = runProcess("/bin/echo", {"two words", "$HOME", "*"});
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, "two words $HOME *\n");  // no shell expanded anything
}

TEST(ProcessTest, ReportsTheExitStatus) {
    const ProcessResult failed = runProcess("/bin/false", {});
    EXPECT_TRUE(failed.started);
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_EQ(failed.standardOutput, "");

    const ProcessResult custom = runProcess("/bin/sh", {"-c", "printf partial; exit 7"});
    EXPECT_TRUE(custom.started);
    EXPECT_EQ(custom.exitStatus, 7);
    EXPECT_EQ(custom.standardOutput, "partial");
}

TEST(ProcessTest, ChildEndedBySignalReportsShellStyleStatus) {
    const ProcessResult result = runProcess("/bin/sh", {"-c", "kill -TERM $$"});
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 128 + 15);
}

TEST(ProcessTest, ProgramsThatCannotStartAreAResultNotAnError) {
    testing::TempHome home;
    const std::string notExecutable = home.writeFile("script.sh", "#!/bin/sh\necho hi\n");
    for (const std::string& path : {home / "no-such-program", notExecutable, home.path(),
                                    std::string("echo"), std::string("bin/echo"), std::string()}) {
        SCOPED_TRACE(path);
        const ProcessResult result = runProcess(path, {"hello"});
        EXPECT_FALSE(result.started);
        EXPECT_EQ(result.standardOutput, "");
    }
}

TEST(ProcessTest, ChildReadsAnEmptyStandardInput) {
    // cat would wait forever on an inherited terminal; with /dev/null it ends at once.
    const ProcessResult result = runProcess("/bin/cat", {});
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, "");
}

TEST(ProcessTest, LargeOutputArrivesWhole) {
    // Far more than a pipe buffers: waiting before reading would deadlock.
    const ProcessResult result = runProcess("/usr/bin/head", {"-c", "3000000", "/dev/zero"});
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_EQ(result.standardOutput.size(), 3000000u);
    EXPECT_EQ(result.standardOutput.find_first_not_of('\0'), std::string::npos);
}

}  // namespace
}  // namespace lumifold::platform
