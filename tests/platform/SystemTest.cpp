#include <gtest/gtest.h>

#include <string>

#include "core/platform/Process.h"
#include "core/platform/Sha256.h"
#include "core/platform/SystemVersion.h"
#include "tests/support/TempHome.h"

namespace lumifold::platform {
namespace {

TEST(ProcessTest, ReportsExitStatusAndWholeOutputWithoutAShell) {
    const std::string big(3000000, 'x');  // far more than a pipe holds: no deadlock
    for (const auto& [program, arguments, status, output] :
         std::vector<std::tuple<std::string, std::vector<std::string>, int, std::string>>{
             {"/bin/echo", {"two words", "$HOME", "*"}, 0, "two words $HOME *\n"},
             {"/bin/sh", {"-c", "printf partial; exit 7"}, 7, "partial"},
             {"/bin/sh", {"-c", "kill -TERM $$"}, 128 + 15, ""},  // as shells report a signal
             {"/bin/cat", {}, 0, ""},  // standard input is /dev/null, not a terminal
             {"/bin/sh", {"-c", "head -c 3000000 /dev/zero | tr '\\0' x"}, 0, big}}) {
        SCOPED_TRACE(program + " " + (arguments.empty() ? "" : arguments.back()));
        const ProcessResult result = runProcess(program, arguments);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.exitStatus, status);
        EXPECT_TRUE(result.standardOutput == output) << result.standardOutput.size();
    }
    testing::TempHome home;
    const std::string notExecutable = home.writeFile("script.sh", "#!/bin/sh\necho hi\n");
    for (const std::string& path :
         {home / "missing", notExecutable, home.path(), std::string("echo"), std::string()}) {
        EXPECT_FALSE(runProcess(path, {"hello"}).started) << path;  // a result, not an error
    }
}

TEST(SystemVersionTest, ReleaseTextGivesItsLeadingNumbers) {
    const std::pair<const char*, OperatingSystemVersion> cases[] = {{"6.1.0-18-amd64", {6, 1, 0}},
                                                                    {"6.9-rc2", {6, 9, 0}},
                                                                    {"4.19.123.4", {4, 19, 123}},
                                                                    {"14", {14, 0, 0}},
                                                                    {"", {}},
                                                                    {"-1.2", {}},
                                                                    {"99999999999.1", {}}};
    for (const auto& [text, version] : cases) {
        EXPECT_EQ(versionFromReleaseText(text), version) << text;
    }
    EXPECT_GT(operatingSystemVersion().major, 0);
}

TEST(Sha256Test, MatchesPublishedDigestsInLowerCaseHex) {
    EXPECT_EQ(sha256Hex(asBytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(asBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace lumifold::platform
