#include <gtest/gtest.h>

#include <string>

#include "core/platform/Process.h"
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

}  // namespace
}  // namespace lumifold::platform
