#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliSupport.h"
#include "cli/ProgressLine.h"
#include "core/engine/LumifoldEngine.h"

namespace lumifold::cli {

// Options every stage command takes.
struct StageOptions {
    std::vector<std::string> folders;  // --folder, repeatable; empty means the default folders
    bool json = false;
};

void addStageOptions(CLI::App& command, StageOptions& options);

// The home the commands work on: --home made absolute, or the user's own. Throws when it does
// not exist.
std::string homeDirectory(const GlobalOptions& global);

// An engine working on homeDirectory(global).
// `progress`, when given, is told how far long operations are.
std::unique_ptr<LumifoldEngine> makeEngine(const GlobalOptions& global,
                                           ProgressLine* progress = nullptr);

// Each warning as one "Warning: ..." line on standard error.
void printWarnings(const std::vector<std::string>& warnings);
// Says on standard error which of the folders the user named every stage leaves alone.
void noteExcludedFolders(const LumifoldEngine& engine, const LumifoldEngine::FolderList& folders);

// The folder list the user asked for: nullopt for the default folders.
LumifoldEngine::FolderList folderList(const StageOptions& options);

// Pretty-printed JSON on standard output.
void printJson(const nlohmann::ordered_json& json);

}  // namespace lumifold::cli
