#include "core/watcher/KeepConsistent.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/platform/FileSystem.h"
#include "core/platform/Memory.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace {

std::string minutes(double seconds) {
    const auto whole = static_cast<long>(std::lround(seconds / 60));
    return std::to_string(whole) + (whole == 1 ? " minute" : " minutes");
}

// Every key of the top level and every key a rule sets, by a label naming the key and the rule.
std::map<std::string, std::string> keysOf(const Layout& layout) {
    std::map<std::string, std::string> keys;
    const std::size_t rules = layout.file() ? layout.file()->rules.size() : 0;
    for (std::size_t rule = 0; rule <= rules; ++rule) {
        const bool top = rule == rules;
        const std::string prefix = top ? ""
                                       : "rule " + std::to_string(rule + 1) + " (" +
                                             layout.file()->rules[rule].path + ") ";
        for (const LayoutLine& line : layout.describe(top ? std::nullopt : std::optional(rule))) {
            // A rule's own keys only: what it takes from the top level is told there.
            if (top || line.origin.starts_with("rule ")) keys[prefix + line.key] = line.value;
        }
    }
    return keys;
}

std::optional<std::map<std::string, std::string>> usableKeys(const LumifoldEngine& engine) {
    try {
        return keysOf(engine.layout());
    } catch (const Error&) {
        return std::nullopt;
    }
}

// "12 ms", or "1.5 s" from a second on.
std::string duration(double seconds) {
    if (seconds < 1) return std::to_string(std::lround(seconds * 1000)) + " ms";
    return formatReal(std::round(seconds * 10) / 10) + " s";
}

}  // namespace

KeepConsistent::KeepConsistent(LumifoldEngine& engine, KeepConsistentOptions options,
                               std::function<double()> monotonicSeconds)
    : m_engine(engine),
      m_options(std::move(options)),
      m_now(std::move(monotonicSeconds)),
      m_pause(engine.homeDirectory()),
      m_layoutSeen(usableKeys(engine).value_or(std::map<std::string, std::string>{})) {}

std::vector<std::string> KeepConsistent::layoutChanged() {
    auto now = usableKeys(m_engine);
    if (!now) return {};
    std::vector<std::string> lines;
    const auto valueIn = [](const std::map<std::string, std::string>& keys,
                            const std::string& key) {
        const auto found = keys.find(key);
        return found == keys.end() ? std::string("(none)") : found->second;
    };
    std::map<std::string, std::string> every = m_layoutSeen;
    every.insert(now->begin(), now->end());
    for (const auto& [key, value] : every) {
        const std::string before = valueIn(m_layoutSeen, key), after = valueIn(*now, key);
        if (before != after)
            lines.push_back("Layout changed: " + key + " " + before + " → " + after);
    }
    if (lines.empty()) lines.push_back("The layout file changed; the layout is the same");
    m_layoutSeen = std::move(*now);
    return lines;
}

std::vector<std::string> KeepConsistent::watchedFolders() const {
    // A folder every stage leaves alone (a system or library folder, or a link to one) would
    // only wake the service for nothing.
    std::vector<std::string> watched;
    for (const auto& folder : m_engine.resolveFolders(m_options.folders)) {
        if (!m_engine.isLeftAlone(folder)) watched.push_back(folder);
    }
    return watched;
}

LumifoldEngine::FolderList KeepConsistent::folders(Reconciliation& outcome) {
    if (!m_options.tree) return m_options.folders;
    // The trees as they are now; what the walk passes over is said when it changes, not at
    // every quiet period.
    std::vector<std::string> warnings;
    auto folders = m_engine.expandTrees(m_options.folders, *m_options.tree, &warnings);
    if (warnings != m_walkWarnings) {
        outcome.warnings.insert(outcome.warnings.end(), warnings.begin(), warnings.end());
        m_walkWarnings = std::move(warnings);
    }
    return folders;
}

bool KeepConsistent::proceed(const ChangePlan& plan, Reconciliation& outcome) {
    const auto pausedBy = m_pause.pausedBy();
    if (pausedBy) {
        outcome.result = Reconciliation::Result::paused;
        if (!m_pauseNoted) {
            outcome.lines.push_back("Keep Consistent is paused" +
                                    (pausedBy->empty()
                                         ? std::string()
                                         : " since snapshot " + *pausedBy + " was restored") +
                                    "; changes are left alone until 'lumifold watch resume'");
        }
        m_pauseNoted = true;
        return false;
    }
    m_pauseNoted = false;
    if (!plan.layout) {
        outcome.result = Reconciliation::Result::layoutUnusable;
        // Said once; the service keeps running and writes nothing until the file is mended.
        if (m_layoutProblem != plan.refusal->message()) {
            m_layoutProblem = plan.refusal->message();
            outcome.warnings.push_back(*m_layoutProblem);
        }
        return false;
    }
    if (m_layoutProblem) {
        outcome.lines.push_back("The layout file can be used again");
        m_layoutProblem.reset();
    }
    m_planned = plan.folders.size();
    const std::size_t changes = changeCount(plan);
    if (changes > 0) {
        outcome.lines.push_back("Folders changed; applying " + counted(changes, "change"));
        return true;
    }
    // The layout holds only where everything could be looked at.
    std::vector<std::string> problems = plan.preview.warnings;
    if (plan.refusal &&
        std::find(problems.begin(), problems.end(), plan.refusal->message()) == problems.end()) {
        problems.push_back(plan.refusal->message());
    }
    outcome.result = Reconciliation::Result::holds;
    const std::string where = " in " + counted(m_planned, "folder");
    outcome.lines.push_back(problems.empty()
                                ? "Folders changed; the layout holds" + where + ", nothing to apply"
                                : "Folders changed; nothing to apply" + where +
                                      ", but not everything could be checked:");
    outcome.warnings.insert(outcome.warnings.end(), problems.begin(), problems.end());
    return false;
}

KeepConsistent::Scope KeepConsistent::scope(const FolderChanges& changes) const {
    // A folder gone since its event has nothing left to plan.
    Scope scope{std::vector<std::string>{}, {}};
    for (const std::string& folder : changes.folders) {
        if (platform::isDirectory(folder)) scope.folders->push_back(folder);
    }
    for (const std::string& folder : changes.records) {
        if (platform::isDirectory(folder)) scope.beyond.recordsOnly.push_back(folder);
    }
    // Some folders of the trees only: with --folders-only a parent's store inside a chosen
    // folder is still in reach.
    scope.beyond.chosen = m_engine.resolveFolders(m_options.folders);
    return scope;
}

ChangePlan KeepConsistent::plan(const FolderChanges& changes) const {
    const Scope planned = scope(changes);
    return m_engine.plan(planned.folders, planned.beyond);
}

Reconciliation KeepConsistent::reconcile() {
    m_pending = FolderChanges::whole("");
    return reconcile(FolderChanges{});
}

Reconciliation KeepConsistent::reconcile(const FolderChanges& changes) {
    const double started = m_now();
    Reconciliation outcome;
    FolderChanges due = std::exchange(m_pending, {});
    due.merge(changes);
    const bool whole = due.wholeTrees.has_value();
    if (whole && !due.wholeTrees->empty()) {
        outcome.lines.push_back("Checking every folder watched: " + *due.wholeTrees);
    }
    m_planned = 0;
    try {
        Scope planned = whole ? Scope{folders(outcome), {}} : scope(due);
        auto applied = m_engine.applyIf(
            planned.folders, m_options.relaunchFinder,
            [&](const ChangePlan& plan) { return proceed(plan, outcome); }, planned.beyond);
        if (!applied) {
            if (outcome.result == Reconciliation::Result::holds) {
                outcome.lines.back() += " (" + duration(m_now() - started) + ")";
            }
            // Planning a whole tree that holds takes as much memory as applying to it.
            platform::releaseFreeMemory();
            return outcome;
        }
        outcome.result = Reconciliation::Result::applied;
        if (m_failure) {
            outcome.lines.push_back("Apply works again");
            m_failure.reset();
            m_nextRetry = kFirstRetry;
        }
        outcome.warnings.insert(outcome.warnings.end(), applied->warnings.begin(),
                                applied->warnings.end());
        // From the last change to the written flag: the quiet period, then this work.
        outcome.lines.push_back(
            "Applied " + counted(applied->snapshot.changeCount, "change") + " in " +
            counted(m_planned, "folder") + ", " + duration(m_now() - started) + " after " +
            duration(changes.quietSeconds) + " of quiet: snapshot " + applied->snapshot.id + ", " +
            (applied->verification.isFullyCompliant() ? "compliant" : "not compliant"));
        outcome.applied = std::move(applied);
        if (m_options.keepSnapshots) prune(outcome);
    } catch (const Error& error) {
        if (error.domain() == LumifoldEngine::kDomain && error.code() == LumifoldEngine::kLocked) {
            // Another Lumifold process applying or restoring is no failure: the work waits for
            // it, one quiet period later.
            outcome.result = Reconciliation::Result::waitingForLock;
            outcome.lines.push_back(
                "Another Lumifold process is applying or restoring; trying again after the next "
                "quiet period");
            outcome.retryAfter = m_options.quietPeriod;
            m_pending = std::move(due);
        } else {
            failed(error.message(), outcome);
        }
    } catch (const std::exception& error) {
        failed(error.what(), outcome);
    }
    // A large Apply's memory goes back to the system, so the service at rest stays small.
    platform::releaseFreeMemory();
    return outcome;
}

void KeepConsistent::failed(const std::string& message, Reconciliation& outcome) {
    outcome.result = Reconciliation::Result::failed;
    if (m_failure == message) {
        m_nextRetry = std::min(m_nextRetry * 2, kLongestRetry);
    } else {
        m_failure = message;
        m_nextRetry = kFirstRetry;
        // Said once; while it repeats, the retries are quiet.
        outcome.warnings.push_back("Apply failed: " + message + "; trying again in " +
                                   minutes(m_nextRetry) +
                                   " and then less often while it fails, or after a change");
    }
    outcome.retryAfter = m_nextRetry;
    // Part of a plan may have been written and put back: nothing short of the whole trees says
    // what holds now.
    m_pending = FolderChanges::whole("the last Apply failed");
    // Snapshots of failed applies count too: pruning must not wait for a success.
    if (m_options.keepSnapshots) prune(outcome);
}

void KeepConsistent::prune(Reconciliation& outcome) {
    try {
        const PruneResult result = m_engine.prune(m_options.keepSnapshots);
        for (const auto& kept : result.kept) {
            outcome.warnings.push_back("Kept snapshot " + platform::printable(kept.name) + ": " +
                                       kept.problem);
        }
        for (const auto& id : result.removed) outcome.lines.push_back("Removed snapshot " + id);
    } catch (const Error& error) {
        outcome.warnings.push_back("Could not prune snapshots: " + error.message());
    }
}

PausedRestore restorePaused(LumifoldEngine& engine, const std::optional<std::string>& backupID,
                            bool force, const std::vector<std::string>& folders) {
    // Named before the restore writes anything; the restore settles which snapshot it is.
    std::string toRestore = backupID.value_or("");
    if (!backupID) {
        try {
            if (const auto newest = engine.backupManager().newestHoldingChanges()) {
                toRestore = newest->id;
            }
        } catch (const Error&) {
            // The restore says why.
        }
    }
    const WatchPause pause(engine.homeDirectory());
    RestorePause restorePause(pause, toRestore);
    PausedRestore restored;
    restored.result = engine.restore(backupID, force, folders);
    if (!restored.result.restored) return restored;
    restored.paused = restorePause.keep(restored.result.snapshotId);
    if (!restored.paused) restored.pauseFailure = restorePause.failure().value_or("");
    return restored;
}

}  // namespace lumifold
