#pragma once

#include <functional>
#include <string>

namespace lumifold::cli {

// Exit statuses of every command.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotCompliant = 3;  // done, but not compliant, or refused

// Options that every command shares.
struct GlobalOptions {
    std::string home;  // empty: the current user's home directory
};

// The command chosen on the command line, run after parsing succeeded.
using Action = std::function<int()>;

// Runs `action`; any error becomes one line on standard error and kExitFailure.
int runGuarded(const Action& action);

// `path` made absolute against the current directory (the core works on absolute paths).
std::string absolutePath(const std::string& path);

}  // namespace lumifold::cli
