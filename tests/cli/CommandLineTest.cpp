#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

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

// The commands and long options a help text lists.
std::set<std::string> listedIn(const std::string& help) {
    static const std::regex command("^  (\\w+) "), option("^  (?:-\\w,)?(--[\\w-]+)");
    std::set<std::string> words;
    bool inCommands = false;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != ' ') inCommands = line == "Commands:";
        std::smatch match;
        if (std::regex_search(line, match, inCommands ? command : option)) words.insert(match[1]);
    }
    return words;
}

// What the completion offers after `typed` for a word starting with `current`, in an empty
// folder, so file names never mix in.
std::set<std::string> completed(const testing::TempHome& scratch,
                                const std::vector<std::string>& typed, const std::string& current) {
    std::string line = "cd '" + scratch.makeFolder("empty") + "' && source '" +
                       LUMIFOLD_COMPLETION_PATH + "'\nCOMP_WORDS=(lumifold";
    for (const auto& word : typed) line += " " + word;
    line += " '" + current + "')\nCOMP_CWORD=" + std::to_string(typed.size() + 1) +
            "\n_lumifold\nprintf '%s\\n' \"${COMPREPLY[@]}\" > '" + (scratch / "offered") + "'\n";
    std::ofstream(scratch / "complete.sh") << line;
    EXPECT_EQ(std::system(("bash '" + (scratch / "complete.sh") + "'").c_str()), 0);
    std::set<std::string> words;
    std::ifstream offered(scratch / "offered");
    for (std::string word; std::getline(offered, word);) {
        if (!word.empty()) words.insert(word);
    }
    return words;
}

// Walks every command the help lists, so a command or option added without completion fails.
TEST(CommandLineTest, CompletionOffersWhatEachHelpLists) {
    testing::TempHome scratch;
    std::vector<std::vector<std::string>> pending{{}};
    while (!pending.empty()) {
        const auto command = pending.back();
        pending.pop_back();
        auto arguments = command;
        arguments.push_back("--help");
        const auto listed = listedIn(runCli(scratch, arguments).out);
        auto offered = completed(scratch, command, "");
        offered.merge(completed(scratch, command, "-"));
        EXPECT_EQ(offered, listed) << ::testing::PrintToString(command);
        for (const auto& word : listed) {
            if (word.starts_with('-')) continue;
            pending.push_back(command);
            pending.back().push_back(word);
        }
    }
}

}  // namespace
}  // namespace lumifold
