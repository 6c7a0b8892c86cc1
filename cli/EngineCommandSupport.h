#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliSupport.h"
#include "core/engine/LumifoldEngine.h"

namespace lumifold::cli {

// Options every stage command takes.
struct StageOptions {
    std::vector<std::string> folders;  // --folder, repeatable; empty means the default folders
    bool json = false;
};

void addStageOptions(CLI::App& command, StageOptions& options);

// An engine working on `global.home` (or the user's home).
std::unique_ptr<LumifoldEngine> makeEngine(const GlobalOptions& global);

// The folder list the user asked for: nullopt for the default folders.
LumifoldEngine::FolderList folderList(const StageOptions& options);

// Pretty-printed JSON on standard output.
void printJson(const nlohmann::ordered_json& json);

}  // namespace lumifold::cli
