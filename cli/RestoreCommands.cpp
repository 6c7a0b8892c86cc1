#include "cli/RestoreCommands.h"

#include <iostream>
#include <stdexcept>

#include "cli/ChangeText.h"
#include "cli/EngineCommandSupport.h"
#include "core/common/Iso8601.h"
#include "core/platform/PosixError.h"
#include "core/watcher/KeepConsistent.h"

namespace lumifold::cli {
namespace {

struct RestoreOptions {
    std::string id;                    // empty: the newest snapshot
    std::vector<std::string> folders;  // folders Apply was given outside the home
    bool force = false;
    bool json = false;
};

// What the restore did, as text or JSON on standard output.
void printRestore(const PausedRestore& restore, bool json) {
    const RestoreResult& result = restore.result;
    if (json) {
        nlohmann::ordered_json report;
        report["snapshot"] = {{"id", result.snapshotId},
                              {"createdAt", formatIso8601(result.createdAt)}};
        report["evaluation"] = nlohmann::json(result.evaluation);
        report["restored"] = result.restored;
        report["watchPaused"] = restore.paused;
        printJson(report);
    } else {
        std::cout << "Restoring snapshot " << result.snapshotId << " (taken "
                  << formatIso8601(result.createdAt) << ")\n";
        for (const auto& item : result.evaluation) {
            std::cout << "  " << item.originalPath << ": " << item.statusDescription << '\n';
        }
        std::cout << (result.restored ? "Snapshot restored.\n" : "");
        std::cout << (restore.paused
                          ? "Keep Consistent is paused so it does not undo this restore; "
                            "resume it with: lumifold watch resume\n"
                          : "");
    }
}

int runRestore(const GlobalOptions& global, const RestoreOptions& options) {
    const std::vector<std::string> folders = distinctFolders(options.folders);
    requireFolders(folders);
    ProgressLine progress(!options.json);
    const auto engine = makeEngine(global, &progress, true);
    const auto id = options.id.empty() ? std::nullopt : std::optional<std::string>(options.id);
    PausedRestore restore;
    try {
        restore = restorePaused(*engine, id, options.force, folders);
    } catch (const Error& error) {
        if (id && error.domain() == LumifoldEngine::kDomain &&
            error.code() == LumifoldEngine::kNoBackupManifest) {
            throw std::runtime_error(error.message() + " (lumifold snapshots lists them)");
        }
        throw;
    }
    progress.finish();
    const RestoreResult& result = restore.result;
    if (restore.pauseFailure) {
        std::cerr << "Warning: Keep Consistent could not be paused: " << *restore.pauseFailure
                  << '\n';
    }
    printRestore(restore, options.json);
    if (!result.restored) {
        std::cerr << "lumifold: files were modified since the snapshot's apply; nothing was "
                     "restored. Re-run with --force to overwrite them.\n";
        return kExitNotCompliant;
    }
    return kExitSuccess;
}

struct SnapshotsOptions {
    std::string id;  // empty: every snapshot
    bool json = false;
};

// The layout one snapshot's Apply worked to, a line.
void printAppliedLayout(const LumifoldEngine& engine, const std::string& id) {
    const auto manifest = engine.backupManager().loadManifestForRestore(id);
    if (!manifest.layout) {
        std::cout << "  layout: built in\n";
        return;
    }
    std::cout << "  layout: " << platform::printable(manifest.layout->path) << " (SHA-256 "
              << manifest.layout->sha256 << ")\n   ";
    for (const auto& [key, value] : manifest.layout->target)
        std::cout << ' ' << key << ' ' << value;
    std::cout << '\n';
}

int runSnapshots(const GlobalOptions& global, const SnapshotsOptions& options) {
    const auto engine = makeEngine(global);
    if (!options.id.empty() && options.json) {
        // One whole manifest, as it stands on disk (it can hold a million entries).
        engine->backupManager().copyManifestText(options.id, [](std::string_view chunk) {
            std::cout.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        });
        return kExitSuccess;
    }
    const auto listing = engine->backupManager().listSnapshots();
    for (const auto& problem : listing.problems) {
        std::cerr << "Snapshot folder " << platform::printable(problem.name) << ": "
                  << problem.problem
                  << (problem.incomplete ? " (remove it with lumifold snapshots prune)" : "")
                  << '\n';
    }
    std::vector<SnapshotSummary> shown;
    for (const auto& summary : listing.snapshots) {
        if (options.id.empty() || summary.id == options.id) shown.push_back(summary);
    }
    if (!options.id.empty() && shown.empty()) {
        throw std::runtime_error("No snapshot " + platform::printable(options.id));
    }
    if (options.json) {
        printJson(nlohmann::json(shown));
        return kExitSuccess;
    }
    if (shown.empty()) std::cout << "No snapshots yet.\n";
    for (const auto& summary : shown) {
        std::cout << summary.id << "  " << formatIso8601(summary.createdAt) << "  "
                  << counted(summary.storeCount, "store") << ", "
                  << counted(summary.changeCount, "change") << ", "
                  << counted(summary.extensionCount, "extension flag")
                  << (summary.applyFailed
                          ? (summary.holdsChanges
                                 ? "  (apply failed; it holds what was not put back)"
                                 : "  (apply failed; everything was put back)")
                      : summary.complete ? ""
                                         : "  (apply did not finish)")
                  << '\n';
    }
    if (!options.id.empty()) printAppliedLayout(*engine, options.id);
    return kExitSuccess;
}

struct PruneOptions {
    std::optional<std::size_t> keep;
};

int runPrune(const GlobalOptions& global, const PruneOptions& options) {
    const auto engine = makeEngine(global, nullptr, true);
    const PruneResult result = engine->prune(options.keep);
    for (const auto& kept : result.kept) {
        std::cerr << "Kept snapshot " << platform::printable(kept.name) << ": " << kept.problem
                  << '\n';
    }
    for (const auto& name : result.removed) {
        std::cout << "Removed snapshot " << platform::printable(name) << '\n';
    }
    if (result.removed.empty()) std::cout << "Nothing to remove.\n";
    return kExitSuccess;
}

// `prune` under `parent`: `lumifold snapshots prune` and, for callers of earlier versions,
// `lumifold prune`.
CLI::App* addPruneCommand(CLI::App& parent, const GlobalOptions& global, Action& action) {
    auto prune = std::make_shared<PruneOptions>();
    auto* command = parent.add_subcommand(
        "prune",
        "Remove snapshots an interrupted apply left incomplete; with --keep N, also every "
        "snapshot but the newest N and, for each file, the oldest one holding it");
    command
        ->add_option("--keep", prune->keep,
                     "Keep the newest N snapshots (N >= 1) besides the oldest of each file")
        ->option_text("N")
        ->check(wholeNumber(1));
    command->callback([&global, &action, prune] {
        action = [&global, prune] { return runPrune(global, *prune); };
    });
    return command;
}

}  // namespace

void addRestoreCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto restore = std::make_shared<RestoreOptions>();
    auto* restoreCommand = app.add_subcommand(
        "restore", "Roll back to a snapshot (refuses when files changed since, unless --force)");
    restoreCommand
        ->add_option("ID", restore->id,
                     "Snapshot identifier (default: the newest that holds changes)")
        ->option_text("ID");
    restoreCommand
        ->add_option(
            "--folder", restore->folders,
            "A folder the apply was given outside the home, whose files the snapshot holds "
            "(repeatable; the home and its default folders are always included)")
        ->option_text("DIR");
    restoreCommand->add_flag("--force", restore->force, "Overwrite files changed since the apply");
    restoreCommand->add_flag("--json", restore->json, "Print the result as JSON");
    restoreCommand->callback([&global, &action, restore] {
        action = [&global, restore] { return runRestore(global, *restore); };
    });

    auto snapshots = std::make_shared<SnapshotsOptions>();
    auto* snapshotsCommand = app.add_subcommand(
        "snapshots", "List snapshots, newest first, or show one (with --json, its whole manifest)");
    snapshotsCommand->add_option("ID", snapshots->id, "One snapshot's identifier")
        ->option_text("ID");
    snapshotsCommand->add_flag("--json", snapshots->json,
                               "Print summaries as JSON, or the one snapshot's manifest");
    const CLI::App* snapshotsPrune = addPruneCommand(*snapshotsCommand, global, action);
    // A command's callback runs after its subcommand's, and must not replace its action.
    snapshotsCommand->callback([&global, &action, snapshots, snapshotsPrune] {
        if (snapshotsPrune->parsed()) return;
        action = [&global, snapshots] { return runSnapshots(global, *snapshots); };
    });
    addPruneCommand(app, global, action);
}

}  // namespace lumifold::cli
