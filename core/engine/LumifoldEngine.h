#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/engine/ChangePlan.h"
#include "core/engine/ChangePreview.h"
#include "core/engine/Progress.h"
#include "core/engine/VerificationReport.h"
#include "core/finder/FinderCoordinator.h"
#include "core/inspection/FolderScanner.h"
#include "core/inspection/FolderTree.h"
#include "core/inspection/SystemInspector.h"
#include "core/platform/FileLock.h"
#include "core/platform/FolderRoot.h"
#include "core/preferences/FinderPreferencesManager.h"

namespace lumifold {

class WriteTargets;
struct AppliedWrites;

// Where the engine works. Defaults are the current user's home and the real machine; tests and
// the CLI's --home give another home, and tests a fake Finder.
struct EngineOptions {
    std::string homeDirectory = platform::homeDirectory();
    std::optional<std::string>
        preferencesPath;  // default <home>/Library/Preferences/com.apple.finder.plist
    std::optional<std::string> backupDirectory;  // default <home>/.lumifold/backups
    std::optional<std::string> layoutPath;       // default LayoutFile::defaultPath(home)
    std::optional<FinderHost> finderHost;        // default FinderHost::system(homeDirectory)
    // The snapshot clock; default the real one.
    std::function<std::chrono::system_clock::time_point()> clock;
    std::optional<SystemInspectorHost> inspectorHost;  // default: the real machine
    // Waiting for another Lumifold process's lock; default the real clock and sleep.
    std::function<double()> monotonicSeconds;
    std::function<void(double seconds)> sleep;
    // Told how far long operations are; none by default.
    ProgressCallback progress;
    // Told once, after kLockNoticeDelay seconds of waiting for another Lumifold process, who
    // that is, in words ("Waiting for another Lumifold process (apply, pid 12) to finish...");
    // none by default.
    std::function<void(const std::string& message)> waitingForLock;
    // Work on the chosen folders' stores and flags alone (a file server's shares): the
    // Finder's preferences and the global and per-host domains belong to each Mac user, so
    // no stage reads them as a target or writes them; each folder's own store says the layout,
    // and a folder's record in its parent's store is written only when the parent lies in a
    // chosen folder. Needs an explicit folder list.
    bool foldersOnly = false;
    // Where files' Finder records are kept: auto by default (MetadataStores::choose).
    MetadataChoice metadata;
};

// What apply returns: the completed snapshot, the audit after writing, the warnings of the
// plan it acted on (stores it left alone, and why) and of the writing itself (files another
// program changed meanwhile, flags and preference pushes that failed), and how many extension
// flags it actually set. A plan that changes nothing is carried out by doing nothing:
// `alreadyConsistent`, with the plan's warnings only, no snapshot and no audit.
struct ApplyResult {
    // The snapshot's manifest but its two long lists (loadManifest(id) has them), and its
    // summary with their counts.
    ManifestHeader manifest;
    SnapshotSummary snapshot;
    VerificationReport verification;
    std::vector<std::string> warnings;
    std::size_t extensionsHidden = 0;
    bool alreadyConsistent = false;
};

// What restore did: the snapshot it chose (and when that was taken), its evaluation, and
// whether it wrote (it does not when files drifted and force was not given).
struct RestoreResult {
    std::string snapshotId;
    std::chrono::system_clock::time_point createdAt;
    std::vector<RestoreEvaluationItem> evaluation;
    bool restored = false;
};

// The facade that runs every stage. Owns one of each component for its lifetime. Operations
// are synchronous and block the caller (the Finder quit can take seconds); calls on one engine
// must not overlap. Apply, Restore and pruning hold ~/.lumifold/lock against other processes.
class LumifoldEngine final {
  public:
    // nullopt: the scanner's default folders; an empty list means no folders at all.
    using FolderList = std::optional<std::vector<std::string>>;

    static constexpr const char* kDomain = "LumifoldEngine";
    enum ErrorCode : int {
        kLocked = 409,  // another Lumifold process is applying or restoring
        kNoBackupManifest = 404,
        kUnusableSnapshot = 410,  // a snapshot folder whose manifest cannot be used
    };
    // How long Apply, Restore and pruning wait for another process to finish, and how long
    // they wait before they say so.
    static constexpr double kLockTimeout = 10.0;
    static constexpr double kLockNoticeDelay = 1.0;

    explicit LumifoldEngine(EngineOptions options = {});
    LumifoldEngine(const LumifoldEngine&) = delete;
    LumifoldEngine& operator=(const LumifoldEngine&) = delete;

    // Never throw. Files that could not be read (each named with the reason) go to
    // `warnings` when it is given; the stage goes on without them.
    std::pair<SystemEnvironmentInfo, std::vector<FolderViewSetting>> inspect(
        const FolderList& folders = std::nullopt,
        std::vector<std::string>* warnings = nullptr) const;
    ChangePreview preview(const FolderList& folders = std::nullopt) const;
    VerificationReport verify(const FolderList& folders = std::nullopt,
                              std::vector<std::string>* warnings = nullptr) const;
    // The one planning step behind Preview and Apply. Never throws. `scope`: folders whose
    // record in their parent's store alone is planned (each parent is one of `folders`), and
    // the chosen folders when `folders` are only some of those below them; its foldersOnly is
    // the engine's.
    ChangePlan plan(const FolderList& folders = std::nullopt, PlanScope scope = {}) const;

    // Plan, snapshot, write, verify, holding the lock; a plan without changes writes nothing
    // and takes no snapshot. Throws the plan's refusal, kLocked, or the failing component's
    // Error; a Finder it quit is started again before the error leaves.
    ApplyResult apply(const FolderList& folders, bool relaunchFinder);
    // As apply, but once the lock is held and the plan made, asks `proceed` whether to carry it
    // out; nullopt when it says no. Keep Consistent decides there, under the lock, so a pause
    // a restore set while this run waited, or a plan with nothing to do, never becomes a
    // snapshot. A plan that must not be carried out is thrown only when `proceed` says yes.
    std::optional<ApplyResult> applyIf(const FolderList& folders, bool relaunchFinder,
                                       const std::function<bool(const ChangePlan&)>& proceed,
                                       PlanScope scope = {});

    // Rolls back to `backupID` (default: the newest snapshot that holds changes,
    // BackupManager::newestHoldingChanges), writing only in the home, its default folders and
    // `folders` (the folders Apply was given outside the home, named again by the user; each
    // folder's parent for its store there). With drift and no `force` it returns the
    // evaluation, not restored, and touches nothing. Throws kNoBackupManifest when there is no
    // such snapshot, kUnusableSnapshot for a named one whose manifest cannot be used, the
    // platform's Error for a folder of `folders` that cannot be opened, and the backup
    // manager's refusals (a newer manifest that cannot be read, and before drift is
    // considered) or the coordinator's Error.
    RestoreResult restore(const std::optional<std::string>& backupID, bool force,
                          const std::vector<std::string>& folders = {});

    // BackupManager::prune, holding the lock.
    PruneResult prune(std::optional<std::size_t> keep);

    // The layout every stage works to, from the layout file as it is now (the built-in
    // preferred layout without one), grid spacing "keep" being the user's current spacing.
    // Throws LayoutFile::kInvalid, and the platform's Error for a file that cannot be read.
    // The overload works from a read of the preferences file the caller already made.
    Layout layout() const;
    // The preferences file as the target's source: read, or with folders only an unread one
    // (the layout then keeps the default grid spacing).
    PreferencesFile preferencesAsTarget() const;
    Layout layout(const PreferencesFile& preferences) const;
    // As layout(), but an unusable file gives the built-in layout and its error in `problem`;
    // Inspect and Verify go on so, and say it. Never throws.
    Layout usableLayout(const PreferencesFile& preferences, std::optional<Error>* problem) const;
    // The top level of layout().
    FinderLayoutPreferences targetLayout() const;
    const std::string& layoutPath() const { return m_layoutPath; }
    std::vector<std::string> resolveFolders(const FolderList& folders) const;
    // Whether every stage leaves the chosen `folder` alone: a system, library, bundle or
    // development folder, or a link to one.
    bool isLeftAlone(const std::string& folder) const;
    // The chosen folders (resolveFolders) each followed by its subfolders, for a stage that
    // works on whole trees; what the walk passed over goes to `warnings`. Never throws.
    // With `keepListings`, the folders' listings are kept for the next stage (inspect, plan,
    // verify), which then lists each folder once and drops them: for a command whose stage
    // follows at once.
    std::vector<std::string> expandTrees(const FolderList& folders,
                                         const FolderTreeOptions& options,
                                         std::vector<std::string>* warnings = nullptr,
                                         bool keepListings = false) const;

    // The home every stage works in, links resolved.
    const std::string& homeDirectory() const { return m_home; }
    bool foldersOnly() const { return m_foldersOnly; }
    const FinderPreferencesManager& preferencesManager() const { return m_preferencesManager; }
    const FolderScanner& scanner() const { return m_scanner; }
    const BackupManager& backupManager() const { return m_backupManager; }
    const FinderCoordinator& coordinator() const { return m_coordinator; }

  private:
    // The lock of the home's ~/.lumifold, waiting up to kLockTimeout; throws kLocked. The lock
    // file then names `stage` ("apply") and this process, for others that wait.
    platform::FileLock lock(std::string_view stage) const;
    // Where Apply may write: the home, each chosen folder of `folders` (those whose parent is
    // not in the list) and, in that parent, its store.
    platform::WriteBounds applyBounds(const std::vector<std::string>& folders) const;
    // Where Restore may write: the home, the default folders and `folders`, as applyBounds.
    platform::WriteBounds restoreBounds(const std::vector<std::string>& folders) const;
    // `folder` as a root, and its parent's store; nothing when it cannot be opened.
    static void addChosenFolder(platform::WriteBounds& bounds, const std::string& folder);
    // Removes what killed writes left in the folders a run touches.
    void removeLeftovers(const ChangePlan& plan, const WriteTargets& targets) const;
    // plan's steps: the global preferences and the pushes (what stops Apply there), the stores
    // to rewrite, the files whose extension to hide.
    void planPreferences(ChangePlan& plan) const;
    void planStores(ChangePlan& plan) const;
    void planExtensions(ChangePlan& plan) const;
    ApplyResult carryOut(const ChangePlan& plan, bool relaunchFinder);
    // Sets the flag of every file of the plan, each through its folder as recorded, and marks
    // in `set` those it set.
    void hideExtensions(const ChangePlan& plan, const WriteTargets& targets, ApplyResult& result,
                        std::vector<bool>& set) const;
    // Replaces each store of the plan that `reachable` marks and that still holds what it was
    // planned from, noting in `written` those it replaced and in `outcome` the others.
    void writeStores(const ChangePlan& plan, const WriteTargets& targets,
                     const std::vector<bool>& reachable, ApplyResult& result,
                     AppliedWrites& written, ApplyOutcome& outcome) const;
    // Ends an Apply that failed with `failure` after its snapshot. When it had written nothing
    // the snapshot goes; otherwise every file it wrote that still holds what it wrote gets its
    // snapshotted bytes back, the flags it set are cleared, and the snapshot is marked failed
    // with what stayed changed. Then throws `failure`, an Error's message followed by what was
    // put back and what was not (a Finder Apply quit starts again as its guard goes).
    [[noreturn]] void failAfterSnapshot(std::exception_ptr failure, const ChangePlan& plan,
                                        const WriteTargets& targets, const SnapshotRequest& request,
                                        const WrittenSnapshot& snapshot, AppliedWrites& written);
    // Puts back what `written` says Apply wrote (see failAfterSnapshot), leaving in it what
    // stayed changed; each file left is named in `left`, with why.
    void putBack(const ChangePlan& plan, const WriteTargets& targets,
                 const SnapshotRequest& request, AppliedWrites& written,
                 std::vector<std::string>& left) const;
    // Tells the progress callback, if any; a step with a known total is told about every
    // 256th item and its last, so a million items cost little.
    void report(std::string_view stage, std::string_view step, std::uint64_t done = 0,
                std::optional<std::uint64_t> total = std::nullopt) const;

    // Each chosen folder's store, for one stage.
    MetadataStores metadataStores(const std::vector<std::string>& folders) const;
    // verify() with the stores already chosen for `folders` (Apply's closing audit reuses its
    // plan's, so `auto` looks at the configuration and the folders once per Apply), and the
    // listings a tree's walk kept when it was this stage's.
    VerificationReport verify(const std::vector<std::string>& folders, const MetadataStores& stores,
                              std::vector<std::string>* warnings,
                              FolderListings* listings = nullptr) const;

    std::string m_home;
    bool m_foldersOnly;
    std::string m_layoutPath;
    MetadataChoice m_metadata;
    std::function<double()> m_monotonicSeconds;
    std::function<void(double)> m_sleep;
    ProgressCallback m_progress;
    std::function<void(const std::string&)> m_waitingForLock;
    FinderPreferencesManager m_preferencesManager;
    FolderScanner m_scanner;
    // The last walk's listings, kept for the next stage (expandTrees).
    mutable std::optional<FolderListings> m_walkListings;
    SystemInspector m_inspector;
    BackupManager m_backupManager;
    FinderCoordinator m_coordinator;
    DSStoreWriter m_writer;
    DSStoreReader m_reader;
};

}  // namespace lumifold
