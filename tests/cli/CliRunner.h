#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempHome.h"

namespace lumifold::testing {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built `lumifold` program with `arguments` (each single-quoted for the shell) and
// `input` on standard input, capturing both output streams through files in `scratch`.
inline CliResult runCli(const TempHome& scratch, const std::vector<std::string>& arguments,
                        const std::string& input = "") {
    const std::string in = scratch / ".cli-in", out = scratch / ".cli-out",
                      err = scratch / ".cli-err";
    std::ofstream(in) << input;
    std::string command = std::string("'") + LUMIFOLD_CLI_PATH + "'";
    for (const auto& argument : arguments) {
        std::string quoted;
        for (const char c : argument)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " '" + quoted + "'";
    }
    command += " < '" + in + "' > '" + out + "' 2> '" + err + "'";
    const int raw = std::system(command.c_str());
    auto slurp = [](const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

}  // namespace lumifold::testing
