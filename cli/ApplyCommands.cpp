#include "cli/ApplyCommands.h"

#include <iostream>

#include "cli/ChangeText.h"
#include "cli/EngineCommandSupport.h"
#include "cli/FolderLines.h"
#include "core/platform/FileSystem.h"

namespace lumifold::cli {
namespace {

// The note of a folder whose audit found nothing.
constexpr std::string_view kCleanNote = "Inherits global defaults cleanly";

struct ApplyOptions {
    StageOptions stage;
    bool noRelaunch = false;
};

int runApply(const GlobalOptions& global, const ApplyOptions& options) {
    ProgressLine progress(!options.stage.json);
    const auto engine = makeEngine(global, &progress, true, options.stage.tree.foldersOnly);
    requireLayout(*engine);
    std::vector<std::string> warnings;
    const auto folders = chosenFolders(*engine, options.stage, warnings);
    const ApplyResult result = engine->apply(folders, !options.noRelaunch);
    progress.finish();
    printWarnings(warnings);
    printWarnings(result.warnings);
    if (result.alreadyConsistent) {
        // What the plan had to leave alone (a damaged record, a store it cannot read) is not
        // consistent, though nothing can be changed.
        const bool leftAlone = !result.warnings.empty();
        if (options.stage.json) {
            printJson({{"alreadyConsistent", !leftAlone}});
        } else {
            std::cout << (leftAlone ? "Nothing to change, but not everything is consistent: see "
                                      "the warnings above.\n"
                                    : "Already consistent: nothing to change.\n");
        }
        return leftAlone ? kExitNotCompliant : kExitSuccess;
    }
    // Apply's own closing audit decides: a run that left anything out is not a success.
    const int status = result.verification.isFullyCompliant() ? kExitSuccess : kExitNotCompliant;
    if (options.stage.json) {
        nlohmann::ordered_json json;
        json["alreadyConsistent"] = false;
        json["snapshot"] = nlohmann::json(result.snapshot);
        json["verification"] = result.verification;
        json["extensionsHidden"] = result.extensionsHidden;
        printJson(json);
        return status;
    }
    const SnapshotSummary& snapshot = result.snapshot;
    std::cout << "Settings applied; " << counted(result.extensionsHidden, "extension")
              << " hidden.\nSnapshot " << snapshot.id << ": "
              << counted(snapshot.storeCount, "store")
              << (snapshot.holdsPreferences ? ", the preferences file" : "") << ", "
              << counted(snapshot.extensionCount, "extension flag")
              << ".\nIts manifest: lumifold snapshots " << snapshot.id << " --json\n\n";
    printReport(result.verification, options.stage, treeRoots(*engine, options.stage));
    return status;
}

int runVerify(const GlobalOptions& global, const StageOptions& options) {
    ProgressLine progress(!options.json);
    const auto engine = makeEngine(global, &progress, false, options.tree.foldersOnly);
    requireLayout(*engine);
    std::vector<std::string> warnings;
    const auto folders = chosenFolders(*engine, options, warnings);
    const VerificationReport report = engine->verify(folders, &warnings);
    progress.finish();
    printWarnings(warnings);
    if (options.json) {
        printJson(report);
    } else {
        printReport(report, options, treeRoots(*engine, options));
    }
    return report.isFullyCompliant() ? kExitSuccess : kExitNotCompliant;
}

// What an item that is not compliant differs in, for a note that does not say.
std::string differences(const FolderVerificationItem& item) {
    std::string text;
    const std::pair<bool, const char*> parts[] = {
        {!item.viewStyleMatches, "view style"},
        {!item.iconSizeMatches, "icon size"},
        {!item.sortByMatches, "sort order"},
        {item.conflictingOverridesPresent, "overrides"},
    };
    for (const auto& [differs, what] : parts) {
        if (differs) text += (text.empty() ? "" : ", ") + std::string(what);
    }
    return "differs from the preferred layout: " + text;
}

}  // namespace

void printReport(const VerificationReport& report, const StageOptions& options,
                 std::vector<std::string> roots) {
    const bool listCompliant = listsConsistentFolders(options);
    std::cout << (report.isFullyCompliant() ? "Fully compliant" : "Not compliant") << '\n';
    std::cout << "Finder defaults: "
              << (options.tree.foldersOnly     ? "not judged (--folders-only)"
                  : report.finderDefaultsValid ? "valid"
                                               : "differ")
              << '\n';
    for (const auto& discrepancy : report.discrepancies) std::cout << "  - " << discrepancy << '\n';
    std::cout << "Folders:\n";
    std::size_t unlisted = 0;
    FolderLines lines(std::move(roots), options.all);
    for (const auto& item : report.folderResults) {
        if (item.isCompliant() && !listCompliant) {
            ++unlisted;
            continue;
        }
        // A folder that is gone is missing, whatever else its audit found.
        const bool missing = item.inaccessible && !platform::fileExists(item.path);
        const char* state = missing              ? "missing"
                            : item.inaccessible  ? "inaccessible"
                            : item.isCompliant() ? "ok"
                                                 : "conflicting";
        if (!item.isCompliant() && !lines.admit(state)) continue;
        std::string notes = missing ? "the folder does not exist" : item.notes;
        if (!item.isCompliant() && !item.inaccessible && notes == kCleanNote) {
            notes = differences(item);
        }
        std::cout << lines.name(item.path) << "  [" << state << "]  " << notes << '\n';
    }
    lines.finish();
    printUnlisted(unlisted, "compliant");
    if (report.inaccessibleCount > 0) {
        std::cout << counted(static_cast<std::size_t>(report.inaccessibleCount), "folder")
                  << " missing or inaccessible\n";
    }
}

void addApplyCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto apply = std::make_shared<ApplyOptions>();
    auto* applyCommand = app.add_subcommand(
        "apply", "Snapshot, then write the preferred layout and hide extensions");
    addStageOptions(*applyCommand, apply->stage);
    addAllFoldersFlag(*applyCommand, apply->stage);
    applyCommand->add_flag("--no-relaunch", apply->noRelaunch,
                           "Leave a running Finder alone (it may overwrite the changes later)");
    applyCommand->callback([&global, &action, apply] {
        action = [&global, apply] { return runApply(global, *apply); };
    });

    auto verify = std::make_shared<StageOptions>();
    auto* verifyCommand = app.add_subcommand(
        "verify",
        "Audit the Finder against the preferred layout (exit status 3 when not compliant)");
    addStageOptions(*verifyCommand, *verify);
    addAllFoldersFlag(*verifyCommand, *verify);
    verifyCommand->callback([&global, &action, verify] {
        action = [&global, verify] { return runVerify(global, *verify); };
    });
}

}  // namespace lumifold::cli
