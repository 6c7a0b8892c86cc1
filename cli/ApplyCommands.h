#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"
#include "cli/EngineCommandSupport.h"
#include "core/engine/VerificationReport.h"

namespace lumifold::cli {

// `lumifold apply` and `lumifold verify`.
void addApplyCommands(CLI::App& app, const GlobalOptions& global, Action& action);

// Prints a verification report for people: compliant folders only when the options list them,
// folders of the trees of `roots` by their path below them (FolderLines).
void printReport(const VerificationReport& report, const StageOptions& options,
                 std::vector<std::string> roots);

}  // namespace lumifold::cli
