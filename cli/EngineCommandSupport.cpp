#include "cli/EngineCommandSupport.h"

#include <iostream>
#include <set>
#include <stdexcept>

#include "cli/ChangeText.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"

namespace lumifold::cli {

std::vector<std::string> TreeOptions::arguments() const {
    std::vector<std::string> result;
    if (foldersOnly) result.emplace_back("--folders-only");
    if (!recursive) return result;
    result.emplace_back("--recursive");
    if (depth) result.insert(result.end(), {"--depth", std::to_string(*depth)});
    for (const auto& glob : excludes) result.insert(result.end(), {"--exclude", glob});
    return result;
}

void addTreeOptions(CLI::App& command, TreeOptions& options) {
    auto* recursive = command.add_flag(
        "--recursive", options.recursive,
        "Each folder with its subfolders (not through links, hidden folders or mount points)");
    command.add_option("--depth", options.depth, "With --recursive: at most N levels below")
        ->option_text("N")
        ->check(wholeNumber(0))
        ->needs(recursive);
    command
        .add_option("--exclude", options.excludes,
                    "With --recursive: leave out folders whose name or path matches this glob, "
                    "with their subfolders (repeatable)")
        ->option_text("GLOB")
        ->needs(recursive);
    command
        .add_flag("--folders-only", options.foldersOnly,
                  "Only the folders' own .DS_Store files and extension flags (a file server's "
                  "shares): no Finder preferences, no store above the folders; needs --folder")
        ->needs(command.get_option("--folder"));
}

void addStageOptions(CLI::App& command, StageOptions& options) {
    command
        .add_option("--folder", options.folders,
                    "A folder to work on (repeatable; default: Desktop, Documents, Downloads, "
                    "Pictures, Movies and Music)")
        ->option_text("DIR");
    addTreeOptions(command, options.tree);
    command.add_flag("--json", options.json, "Print the result as JSON");
}

void addAllFoldersFlag(CLI::App& command, StageOptions& options) {
    command
        .add_flag("--all", options.all,
                  "With --recursive: list every folder, not only those that are not consistent")
        ->needs(command.get_option("--recursive"));
}

void printUnlisted(std::size_t count, const char* what) {
    if (count == 0) return;
    std::cout << "  \u2026 and " << counted(count, std::string(what) + " folder")
              << " not listed (--all lists them)\n";
}

std::vector<std::string> treeRoots(const LumifoldEngine& engine, const StageOptions& options) {
    if (!options.tree.recursive) return {};
    return engine.resolveFolders(folderList(options));
}

std::vector<std::string> GlobalOptions::arguments(const std::string& homeDirectory) const {
    std::vector<std::string> given;
    if (home) given = {"--home", homeDirectory};
    if (layout) given.insert(given.end(), {"--layout", absolutePath(*layout)});
    if (metadata) given.insert(given.end(), {"--metadata", *metadata});
    if (sambaConfig) given.insert(given.end(), {"--samba-config", absolutePath(*sambaConfig)});
    return given;
}

std::string homeDirectory(const GlobalOptions& global) {
    // An empty home would be the current folder, or "/" for some: never a guess.
    if (global.home && global.home->empty()) {
        throw UsageError("--home is empty; name the home folder to work on");
    }
    const std::string home = global.home ? absolutePath(*global.home) : platform::homeDirectory();
    if (home.empty()) {
        throw UsageError(
            "HOME is empty or unset and the password database has no entry for this user; name "
            "the home folder with --home DIR");
    }
    // A mistyped home must not become a fresh one that Apply (or a login service) fills with
    // files.
    if (!platform::isDirectory(home)) {
        throw std::runtime_error("The home folder \"" + platform::printable(home) +
                                 "\" does not exist");
    }
    return home;
}

std::unique_ptr<LumifoldEngine> makeEngine(const GlobalOptions& global, ProgressLine* progress,
                                           bool saysWhenWaiting, bool foldersOnly) {
    EngineOptions options;
    options.foldersOnly = foldersOnly;
    if (progress != nullptr) options.progress = progress->callback();
    if (saysWhenWaiting) {
        options.waitingForLock = [](const std::string& message) { std::cerr << message << '\n'; };
    }
    options.homeDirectory = homeDirectory(global);
    if (global.layout) options.layoutPath = absolutePath(*global.layout);
    if (global.metadata && *global.metadata != "auto") {
        options.metadata.store = platform::metadataStoreNamed(*global.metadata);
    }
    if (global.sambaConfig) options.metadata.sambaConfigPath = absolutePath(*global.sambaConfig);
    return std::make_unique<LumifoldEngine>(std::move(options));
}

void requireLayout(const LumifoldEngine& engine) { (void)engine.layout(); }

void printWarnings(const std::vector<std::string>& warnings) {
    for (const auto& warning : warnings) std::cerr << "Warning: " << warning << '\n';
}

void noteExcludedFolders(const LumifoldEngine& engine, const LumifoldEngine::FolderList& folders) {
    if (!folders) return;
    for (const auto& folder : *folders) {
        if (engine.isLeftAlone(folder)) {
            std::cerr << "Note: " << platform::printable(folder)
                      << " is a system, library, bundle or development folder; every stage "
                         "leaves it alone\n";
        }
    }
}

std::vector<std::string> distinctFolders(const std::vector<std::string>& given) {
    std::vector<std::string> folders;
    std::set<std::string> seen;
    for (const auto& each : given) {
        std::string folder = absolutePath(each);
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (seen.insert(folder).second) folders.push_back(std::move(folder));
    }
    return folders;
}

void requireFolders(const std::vector<std::string>& folders) {
    std::string refused;
    for (const auto& folder : folders) {
        if (platform::isDirectory(folder)) continue;
        std::string problem;
        const char* what = " is not a folder";
        if (!platform::fileExists(folder)) {
            // One that cannot even be examined is left to the stage, which says why.
            if (!platform::entryType(folder, &problem) && !problem.empty()) continue;
            what = " does not exist";
        }
        refused += (refused.empty() ? "" : "\n") + std::string("--folder \"") +
                   platform::printable(folder) + "\"" + what;
    }
    if (!refused.empty()) throw UsageError(refused);
}

LumifoldEngine::FolderList folderList(const StageOptions& options) {
    if (options.folders.empty()) return std::nullopt;
    return distinctFolders(options.folders);
}

LumifoldEngine::FolderList chosenFolders(const LumifoldEngine& engine, const StageOptions& options,
                                         std::vector<std::string>& warnings) {
    const auto chosen = folderList(options);
    if (chosen) requireFolders(*chosen);
    noteExcludedFolders(engine, chosen);
    if (!options.tree.recursive) return chosen;
    return engine.expandTrees(chosen, options.tree.folderTreeOptions(), &warnings, true);
}

void printJson(const nlohmann::ordered_json& json) {
    // Names that are not UTF-8 are replaced rather than failing the whole report.
    std::cout << json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

}  // namespace lumifold::cli
