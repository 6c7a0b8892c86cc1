#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/dsstore/DSStoreWriter.h"
#include "tests/support/TempHome.h"

extern char** environ;

// Runs the built `lumifold` program, as a user would, for the tests of what the program adds to
// the engine: parsing, messages, exit statuses, JSON and text layout, completion.
namespace lumifold {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

// A store that gives its folder only the view `style` ("Nlsv", "icnv"...).
inline Bytes viewStyleStore(const char* style) {
    return DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC(style)}});
}

// The content of the file at `path`; empty if there is none.
inline std::string contentOf(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Starts `arguments` (a program found as the shell finds it, then its arguments), appending
// standard output to `out` and standard error to `err`; its process id, or -1.
inline pid_t spawnLogged(const std::vector<std::string>& arguments, const std::string& out,
                         const std::string& err) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    ::posix_spawn_file_actions_init(&files);
    ::posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (err == out) {
        ::posix_spawn_file_actions_adddup2(&files, 1, 2);
    } else {
        ::posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                           0600);
    }
    pid_t child = -1;
    if (::posix_spawnp(&child, argv[0], &files, nullptr, argv.data(), environ) != 0) child = -1;
    ::posix_spawn_file_actions_destroy(&files);
    return child;
}

// Waits for `child` to end; its exit status, or -1 if it did not exit by itself.
inline int exitStatusOf(pid_t child) {
    int status = 0;
    if (child <= 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `command` in the shell with `input`, capturing both output streams in `scratch`.
inline CliResult runShell(const testing::TempHome& scratch, const std::string& command,
                          const std::string& input = "") {
    std::ofstream(scratch / ".cli-in") << input;
    const int raw = std::system((command + " < '" + scratch / ".cli-in" + "' > '" +
                                 scratch / ".cli-out" + "' 2> '" + scratch / ".cli-err" + "'")
                                    .c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, contentOf(scratch / ".cli-out"),
            contentOf(scratch / ".cli-err")};
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
