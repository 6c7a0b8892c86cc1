#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"

namespace lumifold::cli {

// `lumifold agent install [--folder DIR]...`, `agent uninstall` and `agent status [--json]`:
// Keep Consistent as a login service.
void addAgentCommands(CLI::App& app, const GlobalOptions& global, Action& action);

}  // namespace lumifold::cli
