#include "core/engine/LumifoldEngine.h"

#include "core/common/Error.h"
#include "core/common/Paths.h"

namespace lumifold {

namespace {

BackupManagerHost backupHost(const EngineOptions& options) {
    BackupManagerHost host = BackupManagerHost::system();
    host.homeDirectory = options.homeDirectory;
    if (options.clock) host.now = options.clock;
    return host;
}

}  // namespace

LumifoldEngine::LumifoldEngine(EngineOptions options)
    : m_home(options.homeDirectory),
      m_preferencesManager(options.preferencesPath, options.homeDirectory),
      m_scanner(options.homeDirectory),
      m_inspector(options.homeDirectory,
                  options.inspectorHost.value_or(SystemInspectorHost::system())),
      m_backupManager(options.backupDirectory, backupHost(options)),
      m_coordinator(options.finderHost ? std::move(*options.finderHost)
                                       : FinderHost::system(options.homeDirectory)) {}

FinderLayoutPreferences LumifoldEngine::targetLayout() const {
    return FinderLayoutPreferences::preferred(
        m_preferencesManager.currentPreferences().gridSpacing);
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
        for (const auto& store : planning.unnamableStores) {
            preview.warnings.push_back("Skipped " + store +
                                       ": its path is not valid UTF-8, so it is left unchanged.");
        }
    } catch (const Error& error) {
        preview.warnings.push_back("Failed to evaluate .DS_Store reconciliation: " +
                                   error.message());
    }
    if (target.hideFileExtensions) {
        UndecodableNames undecodable;
        for (const auto& file : m_scanner.filesWithVisibleExtensions(list, &undecodable)) {
            preview.folderChanges.push_back({lastPathComponent(deletingLastPathComponent(file)),
                                             lastPathComponent(file) + "/hasHiddenExtension",
                                             "false (visible)", "true (hidden)", "File Extension"});
        }
        if (undecodable.count > 0) {
            std::string where;
            for (const auto& folder : undecodable.folders) {
                where += (where.empty() ? "" : ", ") + folder;
            }
            preview.warnings.push_back("Left " + std::to_string(undecodable.count) +
                                       " file(s) out of extension hiding because their names "
                                       "are not valid UTF-8, in: " +
                                       where);
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
