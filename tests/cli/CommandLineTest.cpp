#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "cli/CliSupport.h"
#include "core/platform/FileSystem.h"
#include "tests/cli/CliTestSupport.h"

// The program as a whole: help, usage errors, the home, completion.
namespace lumifold {
namespace {

// Asked-for help goes to standard output; wrong usage to standard error, with status 2.
TEST(CommandLineTest, PrintsVersionHelpAndUsageErrors) {
    testing::TempHome scratch;
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::vector<std::string> fragments;  // in this order, in what the status says to read
    };
    constexpr int kOk = cli::kExitSuccess, kUsage = cli::kExitUsage;
    const Case cases[] = {
        {{"--version"}, kOk, {"lumifold " LUMIFOLD_VERSION "\n"}},
        {{"dsstore", "dump", "--help"}, kOk, {"Usage: lumifold dsstore dump [OPTIONS] FILE"}},
        {{}, kUsage, {"Usage: lumifold [OPTIONS] COMMAND", "\nCommands:\n  inspect "}},
        {{"--home", "/", "bogus"}, kUsage, {"lumifold: unknown command 'bogus'\n", "  inspect "}},
        {{"--home", "", "inspect"},
         kUsage,
         {"lumifold: --home is empty; name the home folder to "}},
        {{"dsstore", "bogus"}, kUsage, {"lumifold: unknown command 'dsstore bogus'\n", "  dump "}},
        {{"--bogus"}, kUsage, {"lumifold: unknown option '--bogus'\n"}},
        {{"--home"},
         kUsage,
         {"lumifold: --home needs a value: DIR\nRun 'lumifold --help' for more "}},
        {{"inspect", "--depth", "-1", "--recursive"},
         kUsage,
         {"lumifold: --depth: must be a whole number, 0 or more\nRun 'lumifold inspect --help'"}},
        {{"inspect", "--recursive", "--depth", "123456789012345678901234567890"},
         kUsage,
         {"lumifold: --depth: is too large\n"}},
        {{"watch", "--keep-snapshots", "0"},
         kUsage,
         {"lumifold: --keep-snapshots: must be a whole number, 1 or more\n"}},
        {{"verify", "--all"}, kUsage, {"lumifold: --all only works with --recursive\n"}},
        {{"help", "dsstore", "dump"},
         kOk,
         {"Usage: lumifold dsstore dump [OPTIONS] FILE\n", "\n  --decode "}},
        {{"help", "dsstore", "bogus"},
         kUsage,
         {"lumifold: unknown command 'dsstore bogus'\n", "  dump "}},
        {{"watch", "--debounce", "nan"},
         kUsage,
         {"lumifold: --debounce: a number of seconds from 0 "}},
        {{"watch", "--debounce", "-1"}, kUsage, {"seconds from 0 to 86400 is needed, not '-1'"}},
        {{"watch", "--debounce", "86401"},
         kUsage,
         {"seconds from 0 to 86400 is needed, not '86401'"}},
        {{"dsstore", "dump"},
         kUsage,
         {"lumifold: missing FILE\nRun 'lumifold dsstore dump --help' for more information.\n"}},
    };
    for (const Case& each : cases) {
        const auto result = runCli(scratch, each.arguments);
        SCOPED_TRACE(::testing::PrintToString(each.arguments) + "\n" + result.out + result.err);
        EXPECT_EQ(result.status, each.status);
        const bool succeeds = each.status == cli::kExitSuccess;
        EXPECT_EQ(succeeds ? result.err : result.out, "");
        const std::string& text = succeeds ? result.out : result.err;
        std::size_t at = 0;
        for (const auto& fragment : each.fragments) {
            at = text.find(fragment, at);
            ASSERT_NE(at, std::string::npos) << fragment;
        }
        EXPECT_EQ(text.find(LUMIFOLD_CLI_PATH), std::string::npos);
    }
}

// With neither HOME nor an entry in the password database there is no home to guess.
TEST(CommandLineTest, RefusesToWorkWithoutAHome) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be a user the password database lacks";
    testing::TempHome scratch;
    uid_t stranger = 4000000;
    while (::getpwuid(stranger) != nullptr) ++stranger;
    const auto result = runShell(scratch, "env HOME= setpriv --reuid=" + std::to_string(stranger) +
                                              " --regid=nogroup --clear-groups '" +
                                              LUMIFOLD_CLI_PATH + "' inspect");
    EXPECT_EQ(result.status, cli::kExitUsage) << result.out;
    EXPECT_TRUE(result.err.starts_with("lumifold: HOME is empty or unset and the password "));
}

// Walks every command the help lists, so a command or option added without completion, or
// without its section of the man page, fails.
TEST(CommandLineTest, CompletionAndManPageOfferWhatEachHelpLists) {
    testing::TempHome scratch;
    // The page as man shows it, which must say nothing on standard error.
    const bool hasManPage = platform::fileExists(LUMIFOLD_MAN_PAGE_PATH) &&
                            runShell(scratch, "command -v man").status == 0;
    const auto page =
        runShell(scratch, "(MANWIDTH=80 man --warnings -l '" LUMIFOLD_MAN_PAGE_PATH "' | col -bx)");
    EXPECT_TRUE(!hasManPage || page.err.empty()) << page.err;
    const std::string manCommands =
        page.out.substr(std::min(page.out.find("\nCOMMANDS\n"), page.out.size()));
    const std::string empty = scratch.makeFolder("empty");  // so no file name is offered
    const auto words = [](const std::string& text, const std::regex& pattern) {
        std::set<std::string> found;
        for (std::sregex_iterator at(text.begin(), text.end(), pattern), end; at != end; ++at) {
            found.insert((*at)[1]);
        }
        return found;
    };
    for (std::vector<std::vector<std::string>> pending{{}}; !pending.empty();) {
        const auto typed = pending.back();
        pending.pop_back();
        auto arguments = typed;
        arguments.push_back("--help");
        const std::string help = runCli(scratch, arguments).out;
        if (hasManPage && !typed.empty() && typed.front() != "prune") {
            std::string heading = "\n   lumifold";
            for (const auto& word : typed) heading += " " + word;
            EXPECT_NE(manCommands.find(heading), std::string::npos) << heading;
        }
        // Every line fits a terminal, and values are named for what they take.
        for (std::size_t at = 0, end; at < help.size(); at = end + 1) {
            end = std::min(help.find('\n', at), help.size());
            const std::string line = help.substr(at, end - at);
            EXPECT_LE(line.size(), 80u) << line;
            EXPECT_FALSE(std::regex_search(line, std::regex("TEXT|UINT|FLOAT|Needs:|REQUIRED")))
                << line;
        }
        const std::size_t commands = std::min(help.find("\nCommands:\n"), help.size());
        auto listed = words(help.substr(0, commands), std::regex("\n  (?:-\\w,)?(--[\\w-]+)"));
        for (const auto& word : words(help.substr(commands), std::regex("\n  (\\w+) "))) {
            listed.insert(word);
            pending.push_back(typed);
            pending.back().push_back(word);
        }
        // After `help` come the commands it explains.
        if (typed == std::vector<std::string>{"help"}) {
            for (const auto& word :
                 words(runCli(scratch, {"--help"}).out, std::regex("\n  ([a-z]+) "))) {
                listed.insert(word);
            }
        }
        for (const auto& word : listed) {
            if (hasManPage && word.starts_with("--") && !typed.empty() && word != "--help") {
                EXPECT_NE(manCommands.find(word), std::string::npos) << word;
            }
        }
        std::string script = "cd '" + empty + "' && source '" LUMIFOLD_COMPLETION_PATH "'\n";
        for (const char* current : {"", "-"}) {
            script += "COMP_WORDS=(lumifold";
            for (const auto& word : typed) script += " " + word;
            script += std::string(" '") + current +
                      "')\nCOMP_CWORD=" + std::to_string(typed.size() + 1) +
                      "\n_lumifold\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
        }
        EXPECT_EQ(words(runShell(scratch, "bash", script).out, std::regex("([^\n]+)")), listed)
            << ::testing::PrintToString(typed);
    }
}

// Names with spaces come back whole, marked as file names for bash to quote, and restore and
// snapshots offer the identifiers of the home given on the line.
TEST(CommandLineTest, CompletionQuotesNamesAndOffersSnapshotIdentifiers) {
    testing::TempHome scratch;
    scratch.writeFile("Desktop/note.txt", "");
    scratch.makeFolder("My Folder");
    const auto applied = nlohmann::json::parse(
        runCli(scratch, {"--home", scratch.path(), "apply", "--json", "--no-relaunch"}).out);
    const std::string id = applied["snapshot"]["id"];
    const struct {
        std::string line;  // the words before the one completed
        std::string current;
        std::string expected;  // COMPREPLY, a line each, then what compopt was told
    } cases[] = {
        {.line = "lumifold inspect --folder",
         .current = "My",
         .expected = "My Folder\n-o filenames\n"},
        {.line = "lumifold --home . restore",
         .current = "",
         .expected = "--folder\n--force\n--json\n--help\n" + id + "\n"},
        {.line = "lumifold --home . snapshots", .current = "2", .expected = id + "\n"},
        {.line = "lumifold help", .current = "ds", .expected = "dsstore\n"},
    };
    for (const auto& each : cases) {
        const std::string script =
            "cd '" + scratch.path() +
            "' && source '" LUMIFOLD_COMPLETION_PATH
            "'\n"
            "complete -p lumifold\n"
            "compopt() { printf '%s\\n' \"$*\" >> compopt.txt; }\n"  // seen, not applied
            "COMP_WORDS=(" +
            each.line + " '" + each.current +
            "')\n"
            "COMP_WORDS[0]='" LUMIFOLD_CLI_PATH
            "'\n"
            "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_lumifold\n"
            "printf '%s\\n' \"${COMPREPLY[@]}\"; cat compopt.txt 2>/dev/null; rm -f compopt.txt\n";
        EXPECT_EQ(runShell(scratch, "bash", script).out,
                  "complete -F _lumifold lumifold\n" + each.expected)
            << each.line;
    }
}

}  // namespace
}  // namespace lumifold
