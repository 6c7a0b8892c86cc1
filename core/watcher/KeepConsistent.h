#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/engine/LumifoldEngine.h"
#include "core/inspection/FolderTree.h"
#include "core/platform/Clock.h"
#include "core/watcher/ConsistencyWatcher.h"
#include "core/watcher/DebounceLimits.h"
#include "core/watcher/WatchPause.h"

namespace lumifold {

// What Keep Consistent works on, as `lumifold watch` and the app give it.
struct KeepConsistentOptions {
    LumifoldEngine::FolderList folders;     // nullopt: the default folders
    std::optional<FolderTreeOptions> tree;  // each folder's whole tree (--recursive)
    bool relaunchFinder = true;
    std::optional<std::size_t> keepSnapshots;        // after each Apply, prune to the newest N
    double quietPeriod = debounce_limits::kDefault;  // the watcher's debounce, for the lock's retry
};

// One reconciliation, for its owner to log or show.
struct Reconciliation {
    enum class Result {
        holds,           // nothing to change (warnings may say what could not be looked at)
        applied,         // a plan with changes was carried out
        paused,          // a restore paused Keep Consistent: nothing planned
        waitingForLock,  // another Lumifold process held the lock
        layoutUnusable,  // the layout file cannot be used: nothing planned or written
        failed,
    };
    Result result = Result::holds;
    std::optional<ApplyResult> applied;
    std::vector<std::string> lines;     // what happened, a line each
    std::vector<std::string> warnings;  // what went wrong or could not be done, a line each
    // Ask again after this many seconds, with no change needed.
    std::optional<double> retryAfter;
};

// A restore run with Keep Consistent paused (restorePaused).
struct PausedRestore {
    RestoreResult result;
    // The restore happened and the pause holds, naming the snapshot restored.
    bool paused = false;
    // Why it could not be paused, when the restore happened and the pause does not hold.
    std::optional<std::string> pauseFailure;
};

// LumifoldEngine::restore with Keep Consistent paused from before its first write
// (RestorePause), so no watcher takes the restore's writes for a change to undo: the pause
// stays, naming the snapshot, only when the restore happened, and is put back as it was
// otherwise. Without `backupID` the pause first names the snapshot restore is about to take.
// Failing to pause is reported, not raised; throws what restore throws.
PausedRestore restorePaused(LumifoldEngine& engine, const std::optional<std::string>& backupID,
                            bool force, const std::vector<std::string>& folders = {});

// Keep Consistent's rules, one home for the watch service and the app: under the lock plan, and
// apply only a plan that changes something, while no restore has paused it (so the quiet period
// that follows its own writes makes no snapshot); a lock held by another Lumifold process is
// tried again one quiet period later; a failed Apply is tried again after 1, 2, 4 ... up to 60
// minutes while the same failure repeats (a change that is not its own asks sooner), and is
// said once. Only the folders that changed are planned, but the whole trees at the first
// reconciliation, after a failed Apply and whenever the watcher asks (lost events, too many
// folders changed); changes that waited for another process's lock wait for the next run. One
// reconciliation at a time; never throws.
class KeepConsistent final {
  public:
    static constexpr double kFirstRetry = 60.0;
    static constexpr double kLongestRetry = 3600.0;

    // `monotonicSeconds` times each reconciliation's work, for its line.
    KeepConsistent(LumifoldEngine& engine, KeepConsistentOptions options,
                   std::function<double()> monotonicSeconds = platform::monotonicSeconds);
    KeepConsistent(const KeepConsistent&) = delete;
    KeepConsistent& operator=(const KeepConsistent&) = delete;

    const KeepConsistentOptions& options() const { return m_options; }
    // For an owner whose user changes these while it runs; from the thread that reconciles.
    void setRelaunchFinder(bool relaunch) { m_options.relaunchFinder = relaunch; }
    void setQuietPeriod(double seconds) { m_options.quietPeriod = seconds; }
    // The chosen folders worth watching: those every stage does not leave alone.
    std::vector<std::string> watchedFolders() const;
    // The whole trees.
    Reconciliation reconcile();
    Reconciliation reconcile(const FolderChanges& changes);
    // What reconcile(changes) plans when the whole trees are not due: the folders that changed
    // and are still there, and the records of those whose parent's store changed.
    ChangePlan plan(const FolderChanges& changes) const;
    // Reads the layout file again after it changed and says, a line each, which keys of which
    // target differ from the last layout that could be used. Nothing while it cannot be used
    // (the next reconciliation says why, once). Never throws.
    std::vector<std::string> layoutChanged();

  private:
    struct Scope {
        LumifoldEngine::FolderList folders;
        PlanScope beyond;  // the records of folders below a changed store, the chosen folders
    };
    Scope scope(const FolderChanges& changes) const;
    LumifoldEngine::FolderList folders(Reconciliation& outcome);
    bool proceed(const ChangePlan& plan, Reconciliation& outcome);
    void failed(const std::string& message, Reconciliation& outcome);
    void prune(Reconciliation& outcome);

    LumifoldEngine& m_engine;
    KeepConsistentOptions m_options;
    std::function<double()> m_now;
    WatchPause m_pause;
    bool m_pauseNoted = false;
    std::vector<std::string> m_walkWarnings;
    std::optional<std::string> m_failure;             // the failure that repeats, if any
    std::map<std::string, std::string> m_layoutSeen;  // the last usable layout, key by key
    std::optional<std::string> m_layoutProblem;       // why the layout file cannot be used, said
    double m_nextRetry = kFirstRetry;
    FolderChanges m_pending = FolderChanges::whole("at start");  // not reconciled yet
    std::size_t m_planned = 0;  // folders the running reconciliation planned
};

}  // namespace lumifold
