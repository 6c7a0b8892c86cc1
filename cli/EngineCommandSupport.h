#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliSupport.h"
#include "cli/ProgressLine.h"
#include "core/engine/LumifoldEngine.h"

namespace lumifold::cli {

// --recursive and what goes with it, and --folders-only: what a run covers, which the watcher
// and the login service carry on.
struct TreeOptions {
    bool recursive = false;
    std::optional<std::size_t> depth;
    std::vector<std::string> excludes;
    bool foldersOnly = false;  // EngineOptions::foldersOnly

    FolderTreeOptions folderTreeOptions() const { return {depth, excludes}; }
    // The options again, as command-line arguments (for the login service).
    std::vector<std::string> arguments() const;
};

// Adds them to `command`, which already has its --folder (--folders-only needs one).
void addTreeOptions(CLI::App& command, TreeOptions& options);

// Options every stage command takes.
struct StageOptions {
    std::vector<std::string> folders;  // --folder, repeatable; empty means the default folders
    bool json = false;
    TreeOptions tree;
    bool all = false;  // --all where a stage lists folders: every one, not only those that differ
};

void addStageOptions(CLI::App& command, StageOptions& options);
// --all for a stage whose text form lists folders.
void addAllFoldersFlag(CLI::App& command, StageOptions& options);
// Whether the text form lists a folder that is consistent: with --recursive only under --all.
inline bool listsConsistentFolders(const StageOptions& options) {
    return options.all || !options.tree.recursive;
}
// "  … and N <what> folders not listed (--all lists them)" when N > 0.
void printUnlisted(std::size_t count, const char* what);
// The chosen folders whose trees a stage walks (FolderLines' roots): none without --recursive.
std::vector<std::string> treeRoots(const LumifoldEngine& engine, const StageOptions& options);

// The home the commands work on: --home made absolute, or the user's own. Throws UsageError
// when --home is empty or the user has no home, and an error when it does not exist.
std::string homeDirectory(const GlobalOptions& global);

// An engine working on homeDirectory(global).
// `progress`, when given, is told how far long operations are. With `saysWhenWaiting`, waiting
// for another Lumifold process's lock is said on standard error.
// With `foldersOnly`, the engine works on the folders alone (EngineOptions::foldersOnly).
std::unique_ptr<LumifoldEngine> makeEngine(const GlobalOptions& global,
                                           ProgressLine* progress = nullptr,
                                           bool saysWhenWaiting = false, bool foldersOnly = false);

// Throws the layout file's error (naming the file, each line and key) when it cannot be used:
// a stage then reads and writes nothing.
void requireLayout(const LumifoldEngine& engine);

// Each warning as one "Warning: ..." line on standard error.
void printWarnings(const std::vector<std::string>& warnings);
// Says on standard error which of the folders the user named every stage leaves alone.
void noteExcludedFolders(const LumifoldEngine& engine, const LumifoldEngine::FolderList& folders);

// The folders given, made absolute and without trailing slashes, each once, in the order given.
std::vector<std::string> distinctFolders(const std::vector<std::string>& given);
// Throws UsageError naming, one a line, each folder that does not exist or is not a folder (a
// link to a folder is one). A folder that cannot be examined passes: the stage says why.
void requireFolders(const std::vector<std::string>& folders);

// The folder list the user asked for (distinctFolders): nullopt for the default folders.
LumifoldEngine::FolderList folderList(const StageOptions& options);
// The folders a stage works on: folderList, or with --recursive every folder of their trees
// (what the walk passed over added to `warnings`). Throws requireFolders' UsageError first;
// notes excluded chosen folders. The walk keeps its listings for the stage that follows.
LumifoldEngine::FolderList chosenFolders(const LumifoldEngine& engine, const StageOptions& options,
                                         std::vector<std::string>& warnings);

// Pretty-printed JSON on standard output.
void printJson(const nlohmann::ordered_json& json);

}  // namespace lumifold::cli
