#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"
#include "core/engine/VerificationReport.h"

namespace lumifold::cli {

// `lumifold apply` and `lumifold verify`.
void addApplyCommands(CLI::App& app, const GlobalOptions& global, Action& action);

// Prints a verification report for people.
void printReport(const VerificationReport& report);

}  // namespace lumifold::cli
