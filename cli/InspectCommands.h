#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// `lumifold inspect` and `lumifold preview`: read-only stages.
void addInspectCommands(CLI::App& app, const GlobalOptions& global, Action& action);

}  // namespace lumifold::cli
