// BackupManager's restore: the snapshot's copies written back over the live files, the pushed
// preferences and the extension flags put back, each only after every check has passed.
#include "core/backup/BackupManager.h"
#include "core/backup/RestoreTargets.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Paths.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"
#include "core/plist/PropertyList.h"

namespace lumifold {
namespace {

using namespace snapshot_files;
using platform::EntryType;
using platform::PreferencesService;

}  // namespace

void BackupManager::restoreSnapshot(const BackupManifest& manifest, bool force) {
    restoreSnapshot(manifest, force, evaluateRestore(manifest), homeBounds());
}

void BackupManager::restoreSnapshot(const BackupManifest& manifest, bool force,
                                    const RestoreEvaluationSummary& evaluation,
                                    const platform::WriteBounds& bounds) {
    // Every check comes before the first byte is written: an unsafe or foreign manifest, a
    // file beyond the bounds, a folder replaced or a live file that is a link, a damaged copy,
    // then drift.
    checkRestorable(manifest, bounds);
    const Copies copies = readCopies(manifest);
    if (!force && evaluation.hasModifications()) {
        throw Error(BackupManager::kDomain, BackupManager::kDriftWithoutForce,
                    BackupManager::kDriftWithoutForceMessage);
    }

    // Each folder is opened again for its writes and checked again; the writes go through the
    // descriptor the check used.
    const FolderOpener opener(bounds, manifest);
    if (copies.preferences) {
        restorePreferencesFile(manifest, *copies.preferences, opener);
        if (!manifest.pushedPreferences) pushShowAllExtensions(*copies.preferences);
    }
    if (manifest.pushedPreferences) {
        restorePushedPreferences(*manifest.pushedPreferences, copies.domains, opener);
    }
    restoreStores(manifest.dsStoreBackups, copies.stores, opener);
    restoreFlags(manifest.fileExtensionBackups, opener);
}

void BackupManager::restorePreferencesFile(const BackupManifest& manifest, ByteView copy,
                                           const FolderOpener& opener) const {
    const auto place = opener.place(m_host.homeDirectory, manifest.finderPlistOriginalPath,
                                    manifest.finderPlistWasLink);
    platform::removeOwnTemporaryFilesIn(place.folder, {place.name, "finder.plist"});
    // The file keeps its owner, bits and attributes; one deleted since is recreated as its
    // folder's.
    platform::ReplaceOptions options;
    options.belongsToFolderWhenNew = true;
    platform::replaceFileIn(place.folder, place.name, copy, options);
}

void BackupManager::restoreStores(const std::vector<DSStoreBackupItem>& stores,
                                  const std::vector<std::optional<Bytes>>& copies,
                                  const FolderOpener& opener) {
    for (std::size_t i = 0; i < stores.size(); ++i) {
        const DSStoreBackupItem& item = stores[i];
        if (!copies[i]) continue;
        const auto folder = opener.folderOf(item.originalPath, false);
        platform::removeOwnTemporaryFilesIn(*folder, {kDSStoreName});
        if (item.createdByApply) {
            // There was none before Apply; one removed since stays so.
            if (platform::entryTypeIn(*folder, kDSStoreName)) {
                platform::removeFileIn(*folder, kDSStoreName);
            }
            continue;
        }
        // The bits are the new file's before it takes the store's name, so nothing that takes
        // the name afterwards is ever changed. Never set-id or sticky, whatever the manifest
        // says.
        platform::ReplaceOptions options;
        options.exactPermissionBits = item.posixPermissions & 0777u;
        options.belongsToFolderWhenNew = true;
        platform::replaceFileIn(*folder, kDSStoreName, *copies[i], options);
    }
}

void BackupManager::restoreFlags(const std::vector<FileExtensionBackupItem>& flags,
                                 const FolderOpener& opener) {
    // Checked before to be regular files or gone; the attribute calls never follow a link, and
    // a file gone since is passed by.
    restore_targets::forEachFlagFolder(
        flags, [&](const std::string&, std::size_t start, std::size_t end) {
            const auto folder = opener.folderOf(flags[start].filePath, true);
            if (!folder) return;
            for (std::size_t i = start; i < end; ++i) {
                try {
                    platform::setHasHiddenExtensionIn(*folder, lastPathComponent(flags[i].filePath),
                                                      flags[i].originalHasHiddenExtension,
                                                      flags[i].storeOrDefault());
                } catch (const Error&) {
                    // Gone, or a file system without extended attributes: nothing to keep.
                }
            }
        });
}

// The checksum of the domain file Apply's push makes from the snapshot's copy: an Apply killed
// before it recorded its checksums still leaves a file Restore can recognise as untouched.
std::optional<std::string> BackupManager::checksumAfterPush(const PushedPreference& value,
                                                            const std::optional<Bytes>& copy) {
    if (!value.pushedValue) return std::nullopt;
    try {
        platform::PlistValue root =
            copy ? platform::parsePropertyList(*copy) : platform::PlistValue();
        platform::PlistDictionary* dictionary = root.ifDictionary();
        if (dictionary == nullptr) return std::nullopt;
        (*dictionary)[value.key] = platform::parsePropertyList(asBytes(*value.pushedValue));
        return platform::sha256Hex(platform::toBinaryPropertyList(root));
    } catch (const Error&) {
        return std::nullopt;
    }
}

void BackupManager::restorePushedPreferences(const std::vector<PushedPreference>& pushed,
                                             const std::vector<std::optional<Bytes>>& domainCopies,
                                             const FolderOpener& opener) const {
    PreferencesService preferences(m_host.homeDirectory);
    for (std::size_t i = 0; i < pushed.size(); ++i) {
        const PushedPreference& value = pushed[i];
        if (!value.pushedValue) continue;  // Apply never pushed it: nothing to undo
        const std::string path =
            *preferences.domainPath(value.domain, PreferencesService::Host::current);
        const auto place = opener.place(m_host.homeDirectory, path, value.domainWasLink);
        platform::removeOwnTemporaryFilesIn(place.folder, {place.name});
        // A domain nobody touched since Apply comes back byte for byte; one that changed since
        // gets its value back and keeps the other program's changes.
        std::optional<std::string> current;
        if (platform::entryTypeIn(place.folder, place.name) == EntryType::regular) {
            try {
                current = platform::sha256Hex(platform::readFileIn(place.folder, place.name));
            } catch (const Error&) {
            }
        }
        if (current && (current == value.postModificationSHA256 ||
                        current == checksumAfterPush(value, domainCopies[i]))) {
            if (domainCopies[i]) {
                platform::ReplaceOptions options;
                options.belongsToFolderWhenNew = true;
                platform::replaceFileIn(place.folder, place.name, *domainCopies[i], options);
            } else {
                platform::removeFileIn(place.folder, place.name);  // Apply made it
            }
        } else {
            const std::optional<platform::PlistValue> original = originalValueOf(value);
            // Where the key was absent it is removed again; a domain left empty loses its file.
            PreferencesService::WriteConditions conditions;
            conditions.throughLink = value.domainWasLink;
            preferences.setValue(value.key, original, value.domain,
                                 PreferencesService::User::current,
                                 PreferencesService::Host::current, conditions);
        }
        preferences.synchronize(value.domain, PreferencesService::User::current,
                                PreferencesService::Host::current);
    }
}

void BackupManager::pushShowAllExtensions(ByteView preferencesBytes) const {
    std::optional<bool> showAll;
    try {
        const platform::PlistValue root = platform::parsePropertyList(preferencesBytes);
        if (const platform::PlistDictionary* dictionary = root.ifDictionary()) {
            const auto found = dictionary->find(finder_preferences::kShowAllExtensionsKey);
            if (found != dictionary->end()) {
                if (const bool* flag = found->second.ifBoolean()) showAll = *flag;
            }
        }
    } catch (const Error&) {
        // Not a property list: the file is restored, the live preferences are left alone.
    }
    if (!showAll) return;

    PreferencesService preferences(m_host.homeDirectory);
    const platform::PlistValue value = platform::PlistValue::boolean(*showAll);
    // The global domain first, then the Finder's own, each made durable before the next. An
    // older manifest says nothing of links, so none is written through.
    PreferencesService::WriteConditions conditions;
    conditions.throughLink = false;
    for (const char* domain :
         {PreferencesService::kAnyApplication, finder_preferences::kApplicationId}) {
        preferences.setValue(finder_preferences::kShowAllExtensionsKey, value, domain,
                             PreferencesService::User::current, PreferencesService::Host::current,
                             conditions);
        preferences.synchronize(domain, PreferencesService::User::current,
                                PreferencesService::Host::current);
    }
}

}  // namespace lumifold
