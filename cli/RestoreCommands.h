#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// `lumifold restore [ID] [--force]`, `lumifold snapshots [ID]`, `lumifold snapshots prune
// [--keep N]` and its older spelling `lumifold prune`.
void addRestoreCommands(CLI::App& app, const GlobalOptions& global, Action& action);

}  // namespace lumifold::cli
