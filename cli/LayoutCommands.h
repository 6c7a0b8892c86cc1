#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// `lumifold layout show [--folder DIR]` and `layout check [FILE]`: the layout every stage
// works to, and whether a layout file can be used.
void addLayoutCommands(CLI::App& app, const GlobalOptions& global, Action& action);

}  // namespace lumifold::cli
