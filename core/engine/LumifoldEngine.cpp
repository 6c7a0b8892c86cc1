#include "core/engine/LumifoldEngine.h"

#include "core/common/Paths.h"

namespace lumifold {

LumifoldEngine::LumifoldEngine(EngineOptions options)
    : m_home(options.homeDirectory),
      m_preferencesManager(options.preferencesPath, options.homeDirectory),
      m_scanner(options.homeDirectory),
      m_inspector(options.inspectorHost.value_or(SystemInspectorHost::system()), options.homeDirectory),
      m_backupManager(options.backupDirectory.value_or(appending(options.homeDirectory, ".lumifold/backups")),
                      options.homeDirectory, options.backupClock.value_or(BackupClock::system())),
      m_coordinator(options.finderHost ? std::move(*options.finderHost)
                                       : FinderHost::system(options.homeDirectory)) {}

FinderLayoutPreferences LumifoldEngine::targetLayout() const {
    return FinderLayoutPreferences::preferred(m_preferencesManager.currentPreferences().gridSpacing);
}

std::vector<std::string> LumifoldEngine::resolveFolders(const FolderList& folders) const {
    return folders ? *folders : m_scanner.defaultFolders();
}

std::pair<SystemEnvironmentInfo, std::vector<FolderViewSetting>> LumifoldEngine::inspect(
    const FolderList& folders) const {
    const auto list = resolveFolders(folders);
    SystemEnvironmentInfo environment = m_inspector.inspect(m_preferencesManager.plistURL());
    return {std::move(environment), m_scanner.inspectFolders(list, targetLayout())};
}

ChangePreview LumifoldEngine::preview(const FolderList& folders) const {
    const auto list = resolveFolders(folders);
    const FinderLayoutPreferences target = targetLayout();
    ChangePreview preview;
    preview.plistChanges = m_preferencesManager.plistChanges(target);
    if (m_coordinator.hasActiveTransfers()) {
        preview.warnings.push_back(
            "Finder currently has active file transfers. Finder relaunch should be deferred "
            "until transfers complete.");
    }
    try {
        const ReconciliationPlanning planning = m_scanner.planReconciliation(list, target);
        for (const auto& plan : planning.plans) {
            preview.folderChanges.insert(preview.folderChanges.end(), plan.localChanges.begin(),
                                         plan.localChanges.end());
            preview.targetDSStorePaths.push_back(plan.dsStoreURL);
            for (const auto& [code, count] : plan.preservedSummary) {
                preview.preservedEntriesSummary[code] += count;
            }
        }
        for (const auto& store : planning.undecodableStores) {
            preview.warnings.push_back("Skipped " + store +
                                       ": it holds records that cannot be decoded, so it is left "
                                       "unchanged.");
        }
    } catch (const Error& error) {
        preview.warnings.push_back("Failed to evaluate .DS_Store reconciliation: " +
                                   error.message());
    }
    if (target.hideFileExtensions) {
        const VisibleExtensionListing listing = m_scanner.filesWithVisibleExtensions(list);
        for (const auto& file : listing.files) {
            preview.folderChanges.push_back(
                {lastPathComponent(deletingLastPathComponent(file)),
                 lastPathComponent(file) + "/hasHiddenExtension", "false (visible)",
                 "true (hidden)", "File Extension"});
        }
        for (const auto& [folder, count] : listing.skippedNames) {
            preview.warnings.push_back("Left " + std::to_string(count) +
                                       " file(s) in " + folder +
                                       " out of extension hiding: their names are not valid "
                                       "UTF-8.");
        }
    }
    return preview;
}

void LumifoldEngine::restartFinderQuietly() const noexcept {
    try {
        m_coordinator.flushPreferenceCache();
        m_coordinator.relaunchFinder();
    } catch (const std::exception&) {
        // Best effort on a path that is already failing; the original error matters more.
    }
}

}  // namespace lumifold
