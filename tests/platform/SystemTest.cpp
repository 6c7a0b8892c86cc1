#include <gtest/gtest.h>

#include <string>

#include "core/platform/Process.h"
#include "core/platform/Sha256.h"

namespace lumifold::platform {
namespace {

TEST(ProcessTest, ReportsStatusAndWholeOutputWithoutAShellAndNeverThrowsForAMissingProgram) {
    EXPECT_EQ(runProcess("/bin/echo", {"two words", "$HOME"}).standardOutput, "two words $HOME\n");
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "kill -TERM $$"}).exitStatus, 128 + 15);
    EXPECT_EQ(runProcess("/bin/cat", {}).exitStatus, 0);  // reads /dev/null, not a terminal
    // Far more than a pipe holds: waiting before reading would deadlock.
    EXPECT_EQ(runProcess("/usr/bin/head", {"-c", "3000000", "/dev/zero"}).standardOutput.size(),
              3000000u);
    for (const std::string path : {"/nonexistent/program", "/etc/hostname", "echo", ""}) {
        EXPECT_FALSE(runProcess(path, {}).started) << path;
    }
}

TEST(Sha256Test, MatchesPublishedDigestsInLowerCaseHex) {
    EXPECT_EQ(sha256Hex(asBytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(asBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace lumifold::platform
