#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// `lumifold dsstore dump FILE` and `lumifold dsstore write FILE`: the store's records as JSON
// lines, one record per line, and back.
void addDSStoreCommands(CLI::App& app, Action& action);

}  // namespace lumifold::cli
