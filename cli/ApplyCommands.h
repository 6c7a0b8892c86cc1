#pragma once

#include <CLI/CLI.hpp>

#include "cli/CliSupport.h"
#include "core/engine/VerificationReport.h"

namespace lumifold::cli {

// `lumifold apply` and `lumifold verify`.
void addApplyCommands(CLI::App& app, const GlobalOptions& global, Action& action);

// Prints a verification report for people; compliant folders only when `listCompliant`.
void printReport(const VerificationReport& report, bool listCompliant = true);

}  // namespace lumifold::cli
