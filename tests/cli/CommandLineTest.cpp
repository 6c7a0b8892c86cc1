#include <gtest/gtest.h>

#include "tests/cli/CliRunner.h"

namespace lumifold {
namespace {

using testing::runCli;

// What a command line prints: the fragments, in this order, on one stream; the other stays
// empty. Help asked for goes to standard output, wrong usage to standard error.
struct Case {
    std::vector<std::string> arguments;
    int status;
    bool onStandardError;
    std::vector<std::string> fragments;
};

const std::vector<Case> kCases = {
    {{"--version"}, 0, false, {"lumifold " LUMIFOLD_VERSION "\n"}},
    {{"--help"}, 0, false, {"Usage: lumifold [OPTIONS] COMMAND", "\nCommands:\n  inspect "}},
    {{"dsstore", "dump", "--help"}, 0, false, {"Usage: lumifold dsstore dump [OPTIONS] FILE"}},
    {{}, 2, true, {"Usage: lumifold [OPTIONS] COMMAND", "\nCommands:\n  inspect "}},
    {{"--home", "/", "bogus"}, 2, true, {"lumifold: unknown command 'bogus'\n", "  inspect "}},
    {{"dsstore"}, 2, true, {"Usage: lumifold dsstore [OPTIONS] COMMAND", "  dump "}},
    {{"dsstore", "bogus"}, 2, true, {"lumifold: unknown command 'dsstore bogus'\n", "  dump "}},
    {{"--bogus"}, 2, true, {"lumifold: The following argument was not expected: --bogus\n"}},
    {{"dsstore", "dump"},
     2,
     true,
     {"lumifold: FILE is required\nRun 'lumifold dsstore dump --help' for more information.\n"}},
};

TEST(CommandLineTest, PrintsHelpVersionAndUsageErrorsUnderTheProgramsName) {
    testing::TempHome scratch;
    for (const auto& [arguments, status, onStandardError, fragments] : kCases) {
        const auto result = runCli(scratch, arguments);
        SCOPED_TRACE(::testing::PrintToString(arguments) + "\n" + result.out + result.err);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(onStandardError ? result.out : result.err, "");
        const std::string& text = onStandardError ? result.err : result.out;
        std::size_t at = 0;
        for (const auto& fragment : fragments) {
            at = text.find(fragment, at);
            ASSERT_NE(at, std::string::npos) << fragment;
        }
        EXPECT_EQ(text.find(LUMIFOLD_CLI_PATH), std::string::npos);
    }
}

}  // namespace
}  // namespace lumifold
