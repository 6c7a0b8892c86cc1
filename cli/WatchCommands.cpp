#include "cli/WatchCommands.h"

#include <charconv>
#include <cmath>
#include <csignal>
#include <iostream>
#include <mutex>

#include "cli/EngineCommandSupport.h"
#include "core/common/Iso8601.h"
#include "core/common/Numbers.h"
#include "core/platform/Clock.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/TerminationSignals.h"
#include "core/watcher/ConsistencyWatcher.h"
#include "core/watcher/DebounceLimits.h"
#include "core/watcher/KeepConsistent.h"
#include "core/watcher/WatchPause.h"

namespace lumifold::cli {
namespace {

struct WatchOptions {
    std::vector<std::string> folders;
    WatchTiming timing;
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

// Each line of one reconciliation, warnings on standard error.
void logReconciliation(WatchLog& log, const Reconciliation& outcome) {
    for (const auto& line : outcome.lines) log.out(line);
    for (const auto& warning : outcome.warnings) log.error("Warning: " + warning);
}

int runWatch(const GlobalOptions& global, const WatchOptions& options) {
    const double debounce = options.timing.debounce.value_or(debounce_limits::kDefault);
    const auto engine = makeEngine(global, nullptr, false, options.tree.foldersOnly);
    requireLayout(*engine);
    StageOptions stage;
    stage.folders = options.folders;
    const auto folders = folderList(stage);
    noteExcludedFolders(*engine, folders);
    WatchLog log;
    KeepConsistent keep(
        *engine, {.folders = folders,
                  .tree = options.tree.recursive ? std::optional(options.tree.folderTreeOptions())
                                                 : std::nullopt,
                  .relaunchFinder = !options.noRelaunch,
                  .keepSnapshots = options.keepSnapshots,
                  .quietPeriod = debounce});

    // Before the watcher's thread starts, so that it inherits the blocked signals and a
    // SIGTERM waits for a running apply.
    platform::holdTerminationSignals();
    ConsistencyWatcher watcher(keep.watchedFolders());
    watcher.setDebounceInterval(debounce);
    watcher.setFullReconcileInterval(
        options.timing.fullEvery.value_or(debounce_limits::kFullReconcileDefault));
    watcher.setOnFolderSkipped([&log](const std::string& folder, const std::string& reason) {
        log.error("Not watching " + platform::printable(folder) + ": " + reason);
    });
    watcher.setOnFolderGone([&log](const std::string& folder) {
        log.error(platform::printable(folder) +
                  " was deleted or moved; it is watched again once a folder of that name appears");
    });
    watcher.setOnWarning([&log](const std::string& message) { log.error("Warning: " + message); });
    watcher.setLayoutFile(engine->layoutPath(), [&] {
        for (const auto& line : keep.layoutChanged()) log.out(line);
    });
    if (options.tree.recursive) {
        watcher.setFolderTree(FolderTree(engine->scanner(), options.tree.folderTreeOptions()));
    }
    // On the watcher's own thread, so two reconciliations never overlap.
    watcher.setOnReconciliationNeeded([&](const FolderChanges& changes) {
        const Reconciliation outcome = keep.reconcile(changes);
        logReconciliation(log, outcome);
        if (outcome.retryAfter) watcher.retryAfter(*outcome.retryAfter);
    });
    watcher.start();
    watcher.waitUntilIdle();
    log.out("Keep Consistent: " + watcher.statusText() +
            (options.tree.recursive ? "; " + std::to_string(watcher.watchedFolderCount()) +
                                          " folders of their trees watched"
                                    : std::string()));
    if (platform::standardOutputIsTerminal()) log.out("Press Ctrl-C to stop.");
    // The home may have changed while no watcher ran: the whole trees now.
    watcher.retryAfter(0);

    const int signal = platform::waitForTerminationSignal();
    log.out(std::string("Stopping on ") + (signal == SIGINT   ? "SIGINT"
                                           : signal == SIGHUP ? "SIGHUP"
                                                              : "SIGTERM"));
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

// A finite number of seconds from 0 to `longest`.
CLI::Validator seconds(double longest) {
    return CLI::Validator(
        [longest](const std::string& text) -> std::string {
            double seconds = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), seconds);
            if (error != std::errc{} || end != text.data() + text.size() ||
                !std::isfinite(seconds) || seconds < 0 || seconds > longest) {
                return "a number of seconds from 0 to " +
                       std::to_string(static_cast<long>(longest)) + " is needed, not '" + text +
                       "'";
            }
            return {};
        },
        "");
}

std::string wholeSeconds(double seconds) { return std::to_string(static_cast<long>(seconds)); }

}  // namespace

std::vector<std::string> WatchTiming::arguments() const {
    // Whole seconds as they are usually written ("3600", not "3600.0").
    const auto text = [](double seconds) {
        return seconds == std::floor(seconds) ? wholeSeconds(seconds) : formatReal(seconds);
    };
    std::vector<std::string> result;
    if (debounce) result.insert(result.end(), {"--debounce", text(*debounce)});
    if (fullEvery) result.insert(result.end(), {"--full-every", text(*fullEvery)});
    return result;
}

void addWatchTimingOptions(CLI::App& command, WatchTiming& timing) {
    command
        .add_option("--debounce", timing.debounce,
                    "Seconds of quiet after a change before acting (default " +
                        wholeSeconds(debounce_limits::kDefault) + ")")
        ->option_text("SECONDS")
        ->check(seconds(debounce_limits::kLongestOnCommandLine));
    command
        .add_option("--full-every", timing.fullEvery,
                    "Seconds between checks of every watched folder, for what the events missed "
                    "(default " +
                        wholeSeconds(debounce_limits::kFullReconcileDefault) + ", a day; 0 never)")
        ->option_text("SECONDS")
        ->check(seconds(debounce_limits::kLongestInWatcher));
}

void addWatchCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto options = std::make_shared<WatchOptions>();
    auto* watch = app.add_subcommand(
        "watch",
        "Keep Consistent: after the folders have been quiet for a while following a change, "
        "apply the layout again when it no longer holds");
    watch
        ->add_option("--folder", options->folders,
                     "A folder to watch (repeatable; default: Desktop, Documents, Downloads, "
                     "Pictures, Movies and Music)")
        ->option_text("DIR");
    addWatchTimingOptions(*watch, options->timing);
    addTreeOptions(*watch, options->tree);
    watch->add_flag("--daemon", options->daemon,
                    "Run as a login service: stay in the foreground for the service manager");
    watch->add_flag("--no-relaunch", options->noRelaunch,
                    "Do not quit and relaunch the Finder when applying");
    watch
        ->add_option("--keep-snapshots", options->keepSnapshots,
                     "After each apply, prune snapshots to the newest N (and each file's oldest)")
        ->option_text("N")
        ->check(wholeNumber(1));
    watch->callback([watch, &global, &action, options] {
        if (!watch->get_subcommands().empty()) return;  // watch resume
        action = [&global, options] { return runWatch(global, *options); };
    });

    auto* resume = watch->add_subcommand(
        "resume", "Let Keep Consistent apply again after a restore paused it");
    resume->callback([&global, &action] { action = [&global] { return runResume(global); }; });
}

}  // namespace lumifold::cli
