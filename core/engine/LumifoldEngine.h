#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/engine/ChangePreview.h"
#include "core/engine/VerificationReport.h"
#include "core/finder/FinderCoordinator.h"
#include "core/inspection/FolderScanner.h"
#include "core/inspection/SystemInspector.h"
#include "core/preferences/FinderPreferencesManager.h"

namespace lumifold {

// Where the engine works. Defaults are the current user's home and the real machine; tests and
// the CLI's --home give another home, and tests a fake Finder.
struct EngineOptions {
    std::string homeDirectory = platform::homeDirectory();
    std::optional<std::string>
        preferencesPath;  // default <home>/Library/Preferences/com.apple.finder.plist
    std::optional<std::string> backupDirectory;  // default <home>/.lumifold/backups
    std::optional<FinderHost> finderHost;        // default FinderHost::system(homeDirectory)
    // The snapshot clock; default the real one.
    std::function<std::chrono::system_clock::time_point()> clock;
    std::optional<SystemInspectorHost> inspectorHost;  // default: the real machine
};

// What apply returns: the completed snapshot, the audit after writing, and the warnings of the
// preview it acted on (stores it left alone, and why).
struct ApplyResult {
    BackupManifest manifest;
    VerificationReport verification;
    std::vector<std::string> warnings;
};

// The facade that runs every stage. Owns one of each component for its lifetime. Operations
// are synchronous, block the caller (the Finder quit can take seconds), take no locks and must
// not overlap.
class LumifoldEngine final {
  public:
    // nullopt: the scanner's default folders; an empty list means no folders at all.
    using FolderList = std::optional<std::vector<std::string>>;

    static constexpr const char* kDomain = "LumifoldEngine";
    enum ErrorCode : int { kNoBackupManifest = 404 };
    static constexpr double kFinderQuitTimeout = 5.0;

    explicit LumifoldEngine(EngineOptions options = {});
    LumifoldEngine(const LumifoldEngine&) = delete;
    LumifoldEngine& operator=(const LumifoldEngine&) = delete;

    // Never throw.
    std::pair<SystemEnvironmentInfo, std::vector<FolderViewSetting>> inspect(
        const FolderList& folders = std::nullopt) const;
    ChangePreview preview(const FolderList& folders = std::nullopt) const;
    VerificationReport verify(const FolderList& folders = std::nullopt) const;

    // Snapshot, write, verify. Throws the failing component's Error; a Finder it quit is
    // started again before the error leaves.
    ApplyResult apply(const FolderList& folders, bool relaunchFinder);

    // Rolls back to `backupID` (default: the newest snapshot). With drift and no `force` it
    // returns the evaluation and touches nothing. Throws kNoBackupManifest when there is no
    // such snapshot, and the backup manager's or coordinator's Error.
    std::vector<RestoreEvaluationItem> restore(const std::optional<std::string>& backupID,
                                               bool force);

    // The preferred layout carrying the user's current grid spacing.
    FinderLayoutPreferences targetLayout() const;
    std::vector<std::string> resolveFolders(const FolderList& folders) const;

    const FinderPreferencesManager& preferencesManager() const { return m_preferencesManager; }
    const FolderScanner& scanner() const { return m_scanner; }
    const BackupManager& backupManager() const { return m_backupManager; }
    const FinderCoordinator& coordinator() const { return m_coordinator; }

  private:
    // Flushes and relaunches a Finder this engine quit; best effort, never throws.
    void restartFinderQuietly() const noexcept;

    std::string m_home;
    FinderPreferencesManager m_preferencesManager;
    FolderScanner m_scanner;
    SystemInspector m_inspector;
    BackupManager m_backupManager;
    FinderCoordinator m_coordinator;
    DSStoreWriter m_writer;
    DSStoreReader m_reader;
};

}  // namespace lumifold
