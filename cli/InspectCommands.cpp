#include "cli/InspectCommands.h"

#include <iostream>

#include "cli/EngineCommandSupport.h"
#include "core/common/Numbers.h"

namespace lumifold::cli {
namespace {

std::string onOff(bool value) { return value ? "on" : "off"; }

void printLayout(const FinderLayoutPreferences& layout) {
    std::cout << "  view " << layout.viewStyle << ", group " << layout.groupBy << ", sort "
              << layout.sortBy << ", icons " << formatReal(layout.iconSize) << ", grid "
              << formatReal(layout.gridSpacing) << ", text " << formatReal(layout.textSize)
              << ", labels " << (layout.labelOnBottom ? "below" : "right") << ", item info "
              << onOff(layout.showItemInfo) << ", previews " << onOff(layout.showIconPreview)
              << ", extensions " << (layout.hideFileExtensions ? "hidden" : "shown") << '\n';
}

int runInspect(const GlobalOptions& global, const StageOptions& options) {
    const auto engine = makeEngine(global);
    const auto chosen = folderList(options);
    noteExcludedFolders(*engine, chosen);
    std::vector<std::string> warnings;
    const auto [system, folders] = engine->inspect(chosen, &warnings);
    printWarnings(warnings);
    if (options.json) {
        nlohmann::ordered_json json;
        json["system"] = nlohmann::json(system);
        json["folders"] = nlohmann::json(folders);
        printJson(json);
        return kExitSuccess;
    }
    std::cout << "System: " << system.osVersion << " (build " << system.buildVersion << "), "
              << system.architecture << "\nFinder defaults:\n";
    printLayout(system.currentFinderDefaults);
    std::cout << "\nFolders:\n";
    for (const auto& folder : folders) {
        std::cout << "  " << folder.path << (folder.conflicting ? "  [conflicting]" : "  [ok]");
        if (folder.isSymlink) std::cout << "  (link to " << folder.canonicalPath << ")";
        std::cout << '\n';
        for (const auto& reason : folder.conflictReasons) std::cout << "    - " << reason << '\n';
    }
    return kExitSuccess;
}

void printChanges(const char* title, const std::vector<SettingChange>& changes) {
    std::cout << title << " (" << changes.size() << "):\n";
    for (const auto& change : changes) {
        std::cout << "  " << change.target << "  " << change.key << ": " << change.oldValue
                  << " -> " << change.newValue << "  [" << change.changeType << "]\n";
    }
}

int runPreview(const GlobalOptions& global, const StageOptions& options) {
    const auto engine = makeEngine(global);
    const auto folders = folderList(options);
    noteExcludedFolders(*engine, folders);
    const ChangePreview preview = engine->preview(folders);
    if (options.json) {
        printJson(preview);
        return kExitSuccess;
    }
    printChanges("Global preference changes", preview.plistChanges);
    printChanges("Folder changes", preview.folderChanges);
    std::cout << "Stores to rewrite (" << preview.targetDSStorePaths.size() << "):\n";
    for (const auto& path : preview.targetDSStorePaths) std::cout << "  " << path << '\n';
    std::cout << "Records kept unchanged in them:";
    if (preview.preservedEntriesSummary.empty()) std::cout << " none";
    for (const auto& [code, count] : preview.preservedEntriesSummary) {
        std::cout << ' ' << code << " x" << count;
    }
    std::cout << '\n';
    for (const auto& warning : preview.warnings) std::cout << "Warning: " << warning << '\n';
    return kExitSuccess;
}

}  // namespace

void addInspectCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto inspect = std::make_shared<StageOptions>();
    auto* inspectCommand =
        app.add_subcommand("inspect", "Describe the machine, the Finder defaults and each folder");
    addStageOptions(*inspectCommand, *inspect);
    inspectCommand->callback([&global, &action, inspect] {
        action = [&global, inspect] { return runInspect(global, *inspect); };
    });

    auto preview = std::make_shared<StageOptions>();
    auto* previewCommand =
        app.add_subcommand("preview", "List every change Apply would make, without writing");
    addStageOptions(*previewCommand, *preview);
    previewCommand->callback([&global, &action, preview] {
        action = [&global, preview] { return runPreview(global, *preview); };
    });
}

}  // namespace lumifold::cli
