#include "cli/EngineCommandSupport.h"

#include <iostream>
#include <stdexcept>

#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"

namespace lumifold::cli {

void addStageOptions(CLI::App& command, StageOptions& options) {
    command.add_option("--folder", options.folders,
                       "A folder to work on (repeatable; default: Desktop, Documents, Downloads, "
                       "Pictures, Movies and Music)");
    command.add_flag("--json", options.json, "Print the result as JSON");
}

std::string homeDirectory(const GlobalOptions& global) {
    const std::string home =
        global.home.empty() ? platform::homeDirectory() : absolutePath(global.home);
    // A mistyped home must not become a fresh one that Apply (or a login service) fills with
    // files.
    if (!platform::isDirectory(home)) {
        throw std::runtime_error("The home folder \"" + platform::printable(home) +
                                 "\" does not exist");
    }
    return home;
}

std::unique_ptr<LumifoldEngine> makeEngine(const GlobalOptions& global, ProgressLine* progress) {
    EngineOptions options;
    if (progress != nullptr) options.progress = progress->callback();
    options.homeDirectory = homeDirectory(global);
    return std::make_unique<LumifoldEngine>(std::move(options));
}

void printWarnings(const std::vector<std::string>& warnings) {
    for (const auto& warning : warnings) std::cerr << "Warning: " << warning << '\n';
}

void noteExcludedFolders(const LumifoldEngine& engine, const LumifoldEngine::FolderList& folders) {
    if (!folders) return;
    for (const auto& folder : *folders) {
        if (engine.scanner().isExcludedPath(platform::resolveSymbolicLinks(folder))) {
            std::cerr << "Note: " << platform::printable(folder)
                      << " is a system, library, bundle or development folder; every stage "
                         "leaves it alone\n";
        }
    }
}

LumifoldEngine::FolderList folderList(const StageOptions& options) {
    if (options.folders.empty()) return std::nullopt;
    std::vector<std::string> folders;
    for (const auto& folder : options.folders) folders.push_back(absolutePath(folder));
    return folders;
}

void printJson(const nlohmann::ordered_json& json) {
    // Names that are not UTF-8 are replaced rather than failing the whole report.
    std::cout << json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

}  // namespace lumifold::cli
