#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// The watcher's two periods, as `watch` takes them and `agent install` passes them on.
struct WatchTiming {
    std::optional<double> debounce;   // seconds of quiet after a change
    std::optional<double> fullEvery;  // seconds between whole-tree reconciliations; 0 never

    // The options given, as command-line arguments (for the login service).
    std::vector<std::string> arguments() const;
};

void addWatchTimingOptions(CLI::App& command, WatchTiming& timing);

// `lumifold watch` (Keep Consistent, by hand or as a login service) and `lumifold watch resume`.
void addWatchCommands(CLI::App& app, const GlobalOptions& global, Action& action);

}  // namespace lumifold::cli
