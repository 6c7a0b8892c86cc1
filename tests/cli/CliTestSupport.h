#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempHome.h"

// Runs the built `lumifold` program, as a user would, for the tests of what the program adds to
// the engine: parsing, messages, exit statuses, JSON and text layout, completion.
namespace lumifold {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `command` in the shell with `input`, capturing both output streams in `scratch`.
inline CliResult runShell(const testing::TempHome& scratch, const std::string& command,
                          const std::string& input = "") {
    std::ofstream(scratch / ".cli-in") << input;
    const int raw = std::system((command + " < '" + scratch / ".cli-in" + "' > '" +
                                 scratch / ".cli-out" + "' 2> '" + scratch / ".cli-err" + "'")
                                    .c_str());
    const auto read = [&](const char* name) {
        std::ostringstream text;
        text << std::ifstream(scratch / name).rdbuf();
        return text.str();
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read(".cli-out"), read(".cli-err")};
}

// Runs the built program with `arguments`, each single-quoted for the shell.
inline CliResult runCli(const testing::TempHome& scratch, const std::vector<std::string>& arguments,
                        const std::string& input = "") {
    std::string command = std::string("'") + LUMIFOLD_CLI_PATH + "'";
    for (const auto& argument : arguments) {
        command += " '";
        for (const char c : argument)
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    return runShell(scratch, command, input);
}

}  // namespace lumifold
