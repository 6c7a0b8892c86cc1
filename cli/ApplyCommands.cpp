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
    const auto engine = makeEngine(global);
    const ApplyResult result = engine->apply(folderList(options.stage), !options.noRelaunch);
    for (const auto& warning : result.warnings) std::cerr << "Warning: " << warning << '\n';
    if (options.stage.json) {
        nlohmann::ordered_json json;
        json["manifest"] = nlohmann::json(result.manifest);
        json["verification"] = result.verification;
        printJson(json);
        return kExitSuccess;
    }
    std::cout << "Settings applied. Snapshot " << result.manifest.id << " holds "
              << result.manifest.dsStoreBackups.size() << " store(s), the preferences file and "
              << result.manifest.fileExtensionBackups.size() << " extension flag(s).\n\n";
    printReport(result.verification);
    return kExitSuccess;
}

int runVerify(const GlobalOptions& global, const StageOptions& options) {
    const auto engine = makeEngine(global);
    const VerificationReport report = engine->verify(folderList(options));
    if (options.json) {
        printJson(report);
    } else {
        printReport(report);
    }
    return report.isFullyCompliant() ? kExitSuccess : kExitNotCompliant;
}

}  // namespace

void printReport(const VerificationReport& report) {
    std::cout << (report.isFullyCompliant() ? "Fully compliant" : "Not compliant") << '\n';
    std::cout << "Finder defaults: " << (report.finderDefaultsValid ? "valid" : "differ") << '\n';
    for (const auto& discrepancy : report.discrepancies) std::cout << "  - " << discrepancy << '\n';
    std::cout << "Folders:\n";
    for (const auto& item : report.folderResults) {
        std::cout << "  " << item.path << "  [" << (item.isCompliant() ? "ok" : "conflicting")
                  << "]  " << item.notes << '\n';
    }
    if (report.inaccessibleCount > 0) {
        std::cout << report.inaccessibleCount << " folder(s) missing or inaccessible\n";
    }
}

void addApplyCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto apply = std::make_shared<ApplyOptions>();
    auto* applyCommand = app.add_subcommand(
        "apply", "Snapshot, then write the preferred layout and hide extensions");
    addStageOptions(*applyCommand, apply->stage);
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
    verifyCommand->callback([&global, &action, verify] {
        action = [&global, verify] { return runVerify(global, *verify); };
    });
}

}  // namespace lumifold::cli
