#include <gtest/gtest.h>

#include <string>

#include "core/platform/Process.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

TEST(ProcessTest, ReportsExitStatusAndStandardOutput) {
    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        int exitStatus;
        std::string output;
    };
    for (const Case& run : {
             // No shell expands anything.
             Case{"/bin/echo", {"two words", "$HOME", "*"}, 0, "two words $HOME *\n"},
             Case{"/bin/false", {}, 1, ""},
             Case{"/bin/sh", {"-c", "printf partial; exit 7"}, 7, "partial"},
             // Ended by a signal: reported as shells do.
             Case{"/bin/sh", {"-c", "kill -TERM $$"}, 128 + 15, ""},
             // cat would wait forever on an inherited terminal; with /dev/null it ends at once.
             Case{"/bin/cat", {}, 0, ""},
         }) {
        SCOPED_TRACE(run.program + " " + (run.arguments.empty() ? "" : run.arguments.back()));
        const ProcessResult result = runProcess(run.program, run.arguments);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.exitStatus, run.exitStatus);
        EXPECT_EQ(result.standardOutput, run.output);
    }
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

TEST(ProcessTest, LargeOutputArrivesWhole) {
    // Far more than a pipe buffers: waiting before reading would deadlock.
    const ProcessResult result = runProcess("/usr/bin/head", {"-c", "3000000", "/dev/zero"});
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_EQ(result.standardOutput.size(), 3000000u);
    EXPECT_EQ(result.standardOutput.find_first_not_of('\0'), std::string::npos);
}

}  // namespace
}  // namespace lumifold::platform
