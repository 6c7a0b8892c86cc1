#include "cli/InspectCommands.h"

#include <iostream>
#include <map>
#include <string_view>

#include "cli/ChangeText.h"
#include "cli/EngineCommandSupport.h"
#include "cli/FolderLines.h"
#include "core/common/JsonWriter.h"
#include "core/common/Numbers.h"
#include "core/platform/FileSystem.h"

namespace lumifold::cli {
namespace {

std::string onOff(bool value) { return value ? "on" : "off"; }

void printLayout(const FinderLayoutPreferences& layout) {
    std::cout << "  view " << viewStyleText(layout.viewStyle) << ", group " << layout.groupBy
              << ", sort " << layout.sortBy << ", icons " << sizeText(layout.iconSize) << ", grid "
              << sizeText(layout.gridSpacing) << ", text " << sizeText(layout.textSize)
              << ", labels " << (layout.labelOnBottom ? "below" : "right") << ", item info "
              << onOff(layout.showItemInfo) << ", previews " << onOff(layout.showIconPreview)
              << ", extensions " << (layout.hideFileExtensions ? "hidden" : "shown") << '\n';
}

int runInspect(const GlobalOptions& global, const StageOptions& options) {
    ProgressLine progress(!options.json);
    const auto engine = makeEngine(global, &progress, false, options.tree.foldersOnly);
    requireLayout(*engine);
    std::vector<std::string> warnings;
    const auto chosen = chosenFolders(*engine, options, warnings);
    const auto [system, folders] = engine->inspect(chosen, &warnings);
    progress.finish();
    printWarnings(warnings);
    if (options.json) {
        nlohmann::ordered_json json;
        json["system"] = nlohmann::json(system);
        json["folders"] = nlohmann::json(folders);
        printJson(json);
        return kExitSuccess;
    }
    std::cout << "System: " << system.description << "\nFinder defaults:";
    if (system.currentFinderDefaults) {
        std::cout << '\n';
        printLayout(*system.currentFinderDefaults);
    } else {
        std::cout << " unknown: " << system.finderDefaultsProblem.value_or("") << '\n';
    }
    std::cout << "\nFolders:\n";
    std::size_t unlisted = 0;
    FolderLines lines(treeRoots(*engine, options), options.all);
    for (const auto& folder : folders) {
        if (!folder.conflicting && !listsConsistentFolders(options)) {
            ++unlisted;
            continue;
        }
        // Outside a walk (which lists only folders that exist) a chosen folder may be gone.
        const bool missing = !options.tree.recursive && !platform::fileExists(folder.path);
        const char* state = missing               ? "missing"
                            : folder.inaccessible ? "inaccessible"
                            : folder.conflicting  ? "conflicting"
                                                  : "ok";
        if (folder.conflicting && !lines.admit(state)) continue;
        std::cout << lines.name(folder.path) << "  [" << state << "]";
        if (folder.isSymlink) std::cout << "  (link to " << folder.canonicalPath << ")";
        std::cout << '\n';
        if (folder.metadataStore) {
            std::cout << lines.detailIndent() << "Finder records: " << *folder.metadataStore << " ("
                      << folder.metadataStoreReason.value_or("") << ")\n";
        }
        for (const auto& reason : folder.conflictReasons) {
            std::cout << lines.detailIndent() << "- " << reason << '\n';
        }
    }
    lines.finish();
    printUnlisted(unlisted, "consistent");
    return kExitSuccess;
}

void printChange(const SettingChange& change) {
    std::cout << "  " << change.target << "  " << describeChange(change) << '\n';
}

// How many extension changes of one folder the text form lists before it sums up the rest.
constexpr std::size_t kExtensionChangesShown = 20;
// Marks a folder past the bound on folders: its changes are only counted.
constexpr std::size_t kUnlisted = static_cast<std::size_t>(-1);

struct PreviewOptions {
    StageOptions stage;
    bool all = false;  // every extension change and every folder
};

// The preview as JSON, written as it goes: the same text the preview record's JSON gives, but a
// million extension changes never exist as records or as a tree.
void printPreviewJson(const ChangePlan& plan) {
    JsonWriter out([](std::string_view chunk) { std::cout << chunk; },
                   {.escapeSolidus = false, .replaceInvalidUtf8 = true});
    const ChangePreview& preview = plan.preview;
    const auto change = [&](const SettingChange& each) {
        writeJson(out, each, JsonKeyOrder::declared);
    };
    out.beginObject();
    out.key("plistChanges");
    out.beginArray();
    for (const auto& each : preview.plistChanges) change(each);
    out.endArray();
    out.key("folderChanges");
    out.beginArray();
    for (const auto& each : preview.folderChanges) change(each);
    const FileList& files = plan.extensionFiles;
    SettingChange extension = extensionChange("", "");
    for (std::size_t i = 0; i < files.size(); ++i) {
        nameExtensionChange(extension, files.folder(i), files.name(i));
        change(extension);
    }
    out.endArray();
    out.key("preservedEntriesSummary");
    out.beginObject();
    for (const auto& [code, count] : preview.preservedEntriesSummary) {
        out.key(code);
        out.integer(count);
    }
    out.endObject();
    for (const auto& [key, list] : {std::pair{"targetDSStorePaths", &preview.targetDSStorePaths},
                                    std::pair{"warnings", &preview.warnings}}) {
        out.key(key);
        out.beginArray();
        for (const auto& text : *list) out.string(text);
        out.endArray();
    }
    out.endObject();
    out.finish();
    std::cout << '\n';
}

int runPreview(const GlobalOptions& global, const PreviewOptions& options) {
    ProgressLine progress(!options.stage.json);
    const auto engine = makeEngine(global, &progress, false, options.stage.tree.foldersOnly);
    requireLayout(*engine);
    std::vector<std::string> warnings;
    const auto folders = chosenFolders(*engine, options.stage, warnings);
    const ChangePlan plan = engine->plan(folders);
    progress.finish();
    printWarnings(warnings);
    if (options.stage.json) {
        printPreviewJson(plan);
        return kExitSuccess;
    }
    const ChangePreview& preview = plan.preview;
    printWarnings(preview.warnings);
    std::cout << "Global preference changes (" << preview.plistChanges.size() << "):";
    // The values the file holds are unknown, so none can be said to differ.
    if (plan.preferences.problem) {
        std::cout << " none listed: " << *plan.preferences.problem;
    }
    std::cout << '\n';
    for (const auto& change : preview.plistChanges) printChange(change);
    const FileList& files = plan.extensionFiles;
    std::cout << "Folder changes (" << preview.folderChanges.size() + files.size() << "):\n";
    // Stores and folders with changes each count against the bound.
    FolderLines storeLines({}, options.all);
    std::string_view lastTarget;
    bool listing = true;
    for (const auto& change : preview.folderChanges) {
        if (change.target != lastTarget) listing = storeLines.admit("with store changes");
        lastTarget = change.target;
        if (listing) printChange(change);
    }
    storeLines.finish();
    FolderLines folderLines(treeRoots(*engine, options.stage), options.all);
    // A million hidden extensions stay readable: a few per folder, then how many more.
    std::map<std::string_view, std::size_t> shown;
    std::size_t more = 0;
    // A folder's files mostly come in runs: look its count up once per run. The list hands out
    // one view per folder, so equal data pointers mean the same folder.
    const char* runFolder = nullptr;
    std::size_t* runShown = nullptr;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string_view folder = files.folder(i);
        if (folder.data() != runFolder) {
            runFolder = folder.data();
            const bool fresh = !shown.contains(folder);
            runShown = &shown[folder];
            if (fresh && !folderLines.admit("with hidden extensions")) *runShown = kUnlisted;
            if (*runShown != kUnlisted) {
                std::cout << folderLines.name(std::string(folder)) << ":\n";
            }
        }
        if (*runShown != kUnlisted) {  // a folder past the bound is only counted
            if (options.all || *runShown < kExtensionChangesShown) {
                ++*runShown;
                std::cout << folderLines.detailIndent() << files.name(i) << ": extension hidden\n";
            } else {
                ++more;
            }
        }
        const auto next = i + 1 == files.size() ? std::string_view() : files.folder(i + 1);
        if (more > 0 && (next.data() != folder.data() && next != folder)) {
            std::cout << folderLines.detailIndent() << "\u2026 and " << counted(more, "more file")
                      << '\n';
            more = 0;
        }
    }
    folderLines.finish();
    std::cout << "Stores to rewrite (" << preview.targetDSStorePaths.size() << "):\n";
    FolderLines pathLines({}, options.all);
    for (const auto& path : preview.targetDSStorePaths) {
        if (pathLines.admit("to rewrite")) std::cout << "  " << path << '\n';
    }
    pathLines.finish();
    std::cout << "Records kept unchanged in them:";
    if (preview.preservedEntriesSummary.empty()) std::cout << " none";
    for (const auto& [code, count] : preview.preservedEntriesSummary) {
        std::cout << ' ' << code << " x" << count;
    }
    std::cout << '\n';
    return kExitSuccess;
}

}  // namespace

void addInspectCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto inspect = std::make_shared<StageOptions>();
    auto* inspectCommand =
        app.add_subcommand("inspect", "Describe the machine, the Finder defaults and each folder");
    addStageOptions(*inspectCommand, *inspect);
    addAllFoldersFlag(*inspectCommand, *inspect);
    inspectCommand->callback([&global, &action, inspect] {
        action = [&global, inspect] { return runInspect(global, *inspect); };
    });

    auto preview = std::make_shared<PreviewOptions>();
    auto* previewCommand =
        app.add_subcommand("preview", "List every change Apply would make, without writing");
    addStageOptions(*previewCommand, preview->stage);
    previewCommand->add_flag("--all", preview->all,
                             "List every extension change and every folder, not the first 20 "
                             "changes of each folder and the first 200 folders (needs no "
                             "--recursive)");
    previewCommand->callback([&global, &action, preview] {
        action = [&global, preview] { return runPreview(global, *preview); };
    });
}

}  // namespace lumifold::cli
