#include "cli/ApplyCommands.h"

#include <iostream>

#include "cli/EngineCommandSupport.h"

namespace lumifold::cli {
namespace {

struct ApplyOptions {
    StageOptions stage;
    bool noRelaunch = false;
};

int runApply(const GlobalOptions& global, const ApplyOptions& options) {
    ProgressLine progress(!options.stage.json);
    const auto engine = makeEngine(global, &progress, true);
    std::vector<std::string> warnings;
    const auto folders = chosenFolders(*engine, options.stage, warnings);
    const ApplyResult result = engine->apply(folders, !options.noRelaunch);
    progress.finish();
    printWarnings(warnings);
    printWarnings(result.warnings);
    if (result.alreadyConsistent) {
        if (options.stage.json) {
            printJson({{"alreadyConsistent", true}});
        } else {
            std::cout << "Already consistent: nothing to change.\n";
        }
        return kExitSuccess;
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
    std::cout << "Settings applied. Snapshot " << snapshot.id << " holds " << snapshot.storeCount
              << " store(s)" << (snapshot.holdsPreferences ? ", the preferences file" : "")
              << " and " << snapshot.extensionCount << " extension flag(s); "
              << result.extensionsHidden << " extension(s) were hidden. (lumifold snapshots "
              << snapshot.id << " --json shows the whole manifest.)\n\n";
    printReport(result.verification, listsConsistentFolders(options.stage));
    return status;
}

int runVerify(const GlobalOptions& global, const StageOptions& options) {
    ProgressLine progress(!options.json);
    const auto engine = makeEngine(global, &progress);
    std::vector<std::string> warnings;
    const auto folders = chosenFolders(*engine, options, warnings);
    const VerificationReport report = engine->verify(folders, &warnings);
    progress.finish();
    printWarnings(warnings);
    if (options.json) {
        printJson(report);
    } else {
        printReport(report, listsConsistentFolders(options));
    }
    return report.isFullyCompliant() ? kExitSuccess : kExitNotCompliant;
}

}  // namespace

void printReport(const VerificationReport& report, bool listCompliant) {
    std::cout << (report.isFullyCompliant() ? "Fully compliant" : "Not compliant") << '\n';
    std::cout << "Finder defaults: " << (report.finderDefaultsValid ? "valid" : "differ") << '\n';
    for (const auto& discrepancy : report.discrepancies) std::cout << "  - " << discrepancy << '\n';
    std::cout << "Folders:\n";
    std::size_t unlisted = 0;
    for (const auto& item : report.folderResults) {
        if (item.isCompliant() && !listCompliant) {
            ++unlisted;
            continue;
        }
        const char* state = item.inaccessible    ? "inaccessible"
                            : item.isCompliant() ? "ok"
                                                 : "conflicting";
        std::cout << "  " << item.path << "  [" << state << "]  " << item.notes << '\n';
    }
    printUnlisted(unlisted, "compliant");
    if (report.inaccessibleCount > 0) {
        std::cout << report.inaccessibleCount << " folder(s) missing or inaccessible\n";
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
