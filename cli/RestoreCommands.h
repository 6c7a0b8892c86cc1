#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// `lumifold restore [ID] [--force]` and `lumifold snapshots`.
void addRestoreCommands(CLI::App& app, const GlobalOptions& global, Action& action);

}  // namespace lumifold::cli
