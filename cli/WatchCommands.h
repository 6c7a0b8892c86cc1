#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// `lumifold watch` (Keep Consistent, by hand or as a login service) and `lumifold watch resume`.
void addWatchCommands(CLI::App& app, const GlobalOptions& global, Action& action);

}  // namespace lumifold::cli
