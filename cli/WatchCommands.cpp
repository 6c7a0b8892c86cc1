#include "cli/WatchCommands.h"

#include <charconv>
#include <cmath>
#include <csignal>
#include <iostream>
#include <mutex>

#include "cli/EngineCommandSupport.h"
#include "core/common/Iso8601.h"
#include "core/platform/Clock.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/TerminationSignals.h"
#include "core/watcher/ConsistencyWatcher.h"
#include "core/watcher/WatchPause.h"

namespace lumifold::cli {
namespace {

constexpr double kLongestDebounce = 24 * 3600;

struct WatchOptions {
    std::vector<std::string> folders;
    double debounce = ConsistencyWatcher::kDefaultDebounceInterval;
    bool daemon = false;
    bool noRelaunch = false;
    std::optional<std::size_t> keepSnapshots;
    TreeOptions tree;
};

// Lines from the main thread and the watcher's, each whole and flushed at once, so a service
// manager's log shows them as they happen. Each starts with the time.
class WatchLog final {
  public:
    void out(const std::string& text) { write(std::cout, text); }
    void error(const std::string& text) { write(std::cerr, text); }

  private:
    void write(std::ostream& stream, const std::string& text) {
        const std::lock_guard lock(m_mutex);
        stream << formatIso8601(platform::currentTime()) << "  " << text << std::endl;
    }
    std::mutex m_mutex;
};

// One reconciliation after a quiet period, on the watcher's thread: plan, and apply only what
// the plan changes, unless a restore has paused Keep Consistent.
class Reconciler final {
  public:
    Reconciler(LumifoldEngine& engine, LumifoldEngine::FolderList folders,
               const WatchOptions& options, WatchLog& log)
        : m_engine(engine),
          m_folders(std::move(folders)),
          m_options(options),
          m_log(log),
          m_pause(engine.homeDirectory()) {}

    // True, and said once per pause, while a restore has Keep Consistent paused.
    bool paused() {
        const auto pausedBy = m_pause.pausedBy();
        if (pausedBy && !m_pauseNoted) {
            m_log.out("Keep Consistent is paused" +
                      (pausedBy->empty() ? std::string()
                                         : " since snapshot " + *pausedBy + " was restored") +
                      "; changes are left alone until 'lumifold watch resume'");
        }
        m_pauseNoted = pausedBy.has_value();
        return m_pauseNoted;
    }

    // Called when a reconciliation could not run for the lock, to have it again later.
    void setRetry(std::function<void()> retry) { m_retry = std::move(retry); }

    void reconcile() {
        try {
            const auto result = m_engine.applyIf(
                folders(), !m_options.noRelaunch,
                [this](const ChangePlan& plan) { return !paused() && wanted(plan); });
            if (!result) return;
            for (const auto& warning : result->warnings) m_log.error("Warning: " + warning);
            m_log.out("Applied: snapshot " + result->snapshot.id + ", " +
                      std::to_string(result->snapshot.changeCount) + " change(s), " +
                      (result->verification.isFullyCompliant() ? "compliant" : "not compliant"));
            if (m_options.keepSnapshots) prune();
        } catch (const Error& error) {
            // Another Lumifold process applying or restoring is no failure: the work waits for
            // it, one quiet period later.
            if (error.domain() == LumifoldEngine::kDomain &&
                error.code() == LumifoldEngine::kLocked && m_retry) {
                m_log.out(
                    "Another Lumifold process is applying or restoring; trying again "
                    "after the next quiet period");
                m_retry();
                return;
            }
            m_log.error(std::string("Apply failed: ") + error.what());
        } catch (const std::exception& error) {
            m_log.error(std::string("Apply failed: ") + error.what());
        }
    }

  private:
    // The configured folders, or with --recursive their trees as they are now (what the walk
    // passes over is logged when it changes, not at every quiet period).
    LumifoldEngine::FolderList folders() {
        if (!m_options.tree.recursive) return m_folders;
        std::vector<std::string> warnings;
        auto folders =
            m_engine.expandTrees(m_folders, m_options.tree.folderTreeOptions(), &warnings);
        if (warnings != m_walkWarnings) {
            for (const auto& warning : warnings) m_log.error("Warning: " + warning);
            m_walkWarnings = std::move(warnings);
        }
        return folders;
    }

    bool wanted(const ChangePlan& plan) {
        const std::size_t changes = changeCount(plan);
        if (changes == 0) {
            m_log.out("Folders changed; the layout holds, nothing to apply");
            if (plan.refusal) m_log.error("Warning: " + std::string(plan.refusal->what()));
            return false;
        }
        m_log.out("Folders changed; applying " + std::to_string(changes) + " change(s)");
        return true;
    }

    void prune() {
        const PruneResult result = m_engine.prune(m_options.keepSnapshots);
        for (const auto& kept : result.kept) {
            m_log.error("Kept snapshot " + platform::printable(kept.name) + ": " + kept.problem);
        }
        for (const auto& id : result.removed) m_log.out("Removed snapshot " + id);
    }

    LumifoldEngine& m_engine;
    const LumifoldEngine::FolderList m_folders;
    const WatchOptions& m_options;
    WatchLog& m_log;
    const WatchPause m_pause;
    bool m_pauseNoted = false;
    std::vector<std::string> m_walkWarnings;
    std::function<void()> m_retry;
};

int runWatch(const GlobalOptions& global, const WatchOptions& options) {
    const auto engine = makeEngine(global);
    StageOptions stage;
    stage.folders = options.folders;
    const auto folders = folderList(stage);
    noteExcludedFolders(*engine, folders);
    WatchLog log;
    Reconciler reconciler(*engine, folders, options, log);

    // Before the watcher's thread starts, so that it inherits the blocked signals and a
    // SIGTERM waits for a running apply.
    platform::holdTerminationSignals();
    // A folder every stage leaves alone (a system or library folder, or a link to one) would
    // only wake the service for nothing.
    std::vector<std::string> watched;
    for (const auto& folder : engine->resolveFolders(folders)) {
        if (engine->scanner().isExcludedPath(platform::resolveSymbolicLinks(folder))) continue;
        watched.push_back(folder);
    }
    ConsistencyWatcher watcher(std::move(watched));
    watcher.setDebounceInterval(options.debounce);
    watcher.setOnFolderSkipped([&log](const std::string& folder, const std::string& reason) {
        log.error("Not watching " + platform::printable(folder) + ": " + reason);
    });
    watcher.setOnFolderGone([&log](const std::string& folder) {
        log.error(platform::printable(folder) +
                  " was deleted or moved; it is watched again when the watcher restarts");
    });
    watcher.setOnWarning([&log](const std::string& message) { log.error("Warning: " + message); });
    if (options.tree.recursive) {
        watcher.setFolderTree(FolderTree(engine->scanner(), options.tree.folderTreeOptions()));
    }
    watcher.setOnReconciliationNeeded([&reconciler] { reconciler.reconcile(); });
    reconciler.setRetry([&watcher] { watcher.retryLater(); });
    watcher.start();
    watcher.waitUntilIdle();
    log.out("Keep Consistent: " + watcher.statusText() +
            (options.tree.recursive ? "; " + std::to_string(watcher.watchedFolderCount()) +
                                          " folders of their trees watched"
                                    : std::string()));
    if (!options.daemon) log.out("Press Ctrl-C to stop.");
    reconciler.paused();

    const int signal = platform::waitForTerminationSignal();
    log.out(std::string("Stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    watcher.stop();
    watcher.waitUntilIdle();  // a running apply finishes first
    return kExitSuccess;
}

int runResume(const GlobalOptions& global) {
    const auto engine = makeEngine(global);
    const bool wasPaused = WatchPause(engine->homeDirectory()).resume();
    std::cout << (wasPaused ? "Keep Consistent resumed: the watcher applies changes again.\n"
                            : "Keep Consistent was not paused.\n");
    return kExitSuccess;
}

// Seconds of quiet: a finite number from 0 to a day.
std::string checkDebounce(const std::string& text) {
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(seconds) ||
        seconds < 0 || seconds > kLongestDebounce) {
        return "a number of seconds from 0 to 86400 is needed, not '" + text + "'";
    }
    return {};
}

}  // namespace

void addWatchCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto options = std::make_shared<WatchOptions>();
    auto* watch = app.add_subcommand(
        "watch",
        "Keep Consistent: after the folders have been quiet for a while following a change, "
        "apply the layout again when it no longer holds");
    watch->add_option("--folder", options->folders,
                      "A folder to watch (repeatable; default: Desktop, Documents, Downloads, "
                      "Pictures, Movies and Music)");
    watch
        ->add_option("--debounce", options->debounce,
                     "Seconds of quiet after a change before acting (default 8)")
        ->check(CLI::Validator(checkDebounce, "SECONDS"));
    addTreeOptions(*watch, options->tree);
    watch->add_flag("--daemon", options->daemon,
                    "Run as a login service: stay in the foreground for the service manager");
    watch->add_flag("--no-relaunch", options->noRelaunch,
                    "Do not quit and relaunch the Finder when applying");
    watch
        ->add_option("--keep-snapshots", options->keepSnapshots,
                     "After each apply, prune snapshots to the newest N (and each file's oldest)")
        ->check(CLI::PositiveNumber);
    watch->callback([watch, &global, &action, options] {
        if (!watch->get_subcommands().empty()) return;  // watch resume
        action = [&global, options] { return runWatch(global, *options); };
    });

    auto* resume = watch->add_subcommand(
        "resume", "Let Keep Consistent apply again after a restore paused it");
    resume->callback([&global, &action] { action = [&global] { return runResume(global); }; });
}

}  // namespace lumifold::cli
