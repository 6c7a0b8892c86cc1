// LumifoldEngine::apply and ::restore: the two operations that write.
#include <algorithm>

#include "core/common/Error.h"
#include "core/engine/LumifoldEngine.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"

namespace lumifold {

ApplyResult LumifoldEngine::apply(const FolderList& folders, bool relaunchFinder) {
    const auto list = resolveFolders(folders);
    const FinderLayoutPreferences target = targetLayout();
    const ChangePreview preview = this->preview(list);
    const ReconciliationPlanning planning = m_scanner.planReconciliation(list, target);

    // Every new store is encoded before anything is snapshotted or written, so a record the
    // writer cannot place fails the run while the disk is still untouched.
    std::vector<std::string> storePaths;
    std::vector<Bytes> images;
    for (const auto& plan : planning.plans) {
        storePaths.push_back(plan.dsStoreURL);
        images.push_back(m_writer.encode(plan.newEntries));
    }

    std::vector<FileExtensionBackupItem> extensionItems;
    if (target.hideFileExtensions) {
        for (const auto& file : m_scanner.filesWithVisibleExtensions(list)) {
            extensionItems.push_back({file, platform::hasHiddenExtension(file).value_or(false)});
        }
    }

    std::vector<SettingChange> changes = preview.plistChanges;
    changes.insert(changes.end(), preview.folderChanges.begin(), preview.folderChanges.end());
    const BackupManifest snapshot = m_backupManager.createSnapshot(
        m_preferencesManager.plistURL(), storePaths, changes, extensionItems);

    bool finderQuit = false;
    if (relaunchFinder && m_coordinator.isFinderRunning()) {
        m_coordinator.quitFinder(kFinderQuitTimeout);
        finderQuit = true;
    }

    BackupManifest manifest;
    try {
        m_preferencesManager.writePreferences(target);
        for (std::size_t i = 0; i < images.size(); ++i) {
            const std::string temporary = DSStoreWriter::temporaryPathFor(storePaths[i]);
            platform::writeFileAtomically(temporary, images[i]);
            platform::replaceItem(storePaths[i], temporary);
        }
        if (target.hideFileExtensions) {
            for (const auto& item : extensionItems) {
                try {
                    platform::setHasHiddenExtension(item.filePath, true);
                } catch (const Error&) {
                    // One file that refuses its flag must not stop the others.
                }
            }
        }
        manifest = m_backupManager.recordPostModificationHashes(
            snapshot.id, m_preferencesManager.plistURL(), storePaths);
    } catch (...) {
        // Never leave the user without a Finder: start it again, then report the failure.
        if (finderQuit) restartFinderQuietly();
        throw;
    }
    if (finderQuit) {
        m_coordinator.flushPreferenceCache();
        m_coordinator.relaunchFinder();
    }
    return {std::move(manifest), verify(list), preview.warnings};
}

std::vector<RestoreEvaluationItem> LumifoldEngine::restore(
    const std::optional<std::string>& backupID, bool force) {
    const auto manifests = m_backupManager.listManifests();
    const auto chosen = std::find_if(manifests.begin(), manifests.end(), [&](const auto& manifest) {
        return !backupID || manifest.id == *backupID;
    });
    if (chosen == manifests.end())
        throw Error(kDomain, kNoBackupManifest, "No backup manifest found");

    const RestoreEvaluationSummary evaluation = m_backupManager.evaluateRestore(*chosen);
    if (evaluation.hasModifications() && !force) return evaluation.items;

    if (!m_coordinator.isFinderRunning()) {
        m_backupManager.restoreSnapshot(*chosen, force);
        return evaluation.items;
    }
    m_coordinator.quitFinder(kFinderQuitTimeout);
    try {
        m_backupManager.restoreSnapshot(*chosen, force);
    } catch (...) {
        restartFinderQuietly();
        throw;
    }
    m_coordinator.flushPreferenceCache();
    m_coordinator.relaunchFinder();
    return evaluation.items;
}

}  // namespace lumifold
