#pragma once

#include <functional>
#include <string>
#include <vector>

namespace lumifold::platform {

// What became of a child process. A program that could not be started is a result, not an
// error: `started` is false and the other fields are empty.
struct ProcessResult {
    bool started = false;
    // The exit code; for a child ended by a signal, 128 plus the signal number (as shells
    // report it).
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError = {};
};

// Starts the program at the absolute path `executablePath` with `arguments` (not including the
// program name), waits for it to exit and returns its standard output and standard error (what
// it says goes into our messages, never straight to our user). No shell and no PATH search are
// involved; a relative path does not start. The child reads an empty standard input and shares
// this process's environment. Blocks the calling thread
// until the child exits and closes its standard output (a grandchild that keeps the output
// open keeps the call waiting). Never throws.
ProcessResult runProcess(const std::string& executablePath,
                         const std::vector<std::string>& arguments);

// A program runner with runProcess's contract: runProcess itself, or a test's pretend programs.
using ProcessRunner = std::function<ProcessResult(const std::string& executablePath,
                                                  const std::vector<std::string>& arguments)>;

// This process's identifier.
long currentProcessId();

}  // namespace lumifold::platform
