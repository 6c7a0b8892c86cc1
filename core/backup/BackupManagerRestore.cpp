// BackupManager's restore: the checks a manifest must pass, the drift evaluation, and the
// writes that put a snapshot back. A manifest is data from disk: it never decides where Restore
// may write. The caller's bounds do (the home, and the folders the user names again), every
// folder is reached from them without following a link, and a folder Apply wrote in must still
// be that same folder.
#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "core/backup/BackupManager.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Paths.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"
#include "core/plist/PropertyList.h"

namespace lumifold {
namespace {

using namespace snapshot_files;
using platform::EntryType;
using platform::PreferencesService;

// Folders named in a refusal; the count says the rest.
constexpr std::size_t kFoldersNamed = 5;

bool hasDotComponent(const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = std::string_view(path).substr(start, end - start);
        if (part == "." || part == "..") return true;
        start = end + 1;
    }
    return false;
}

bool isAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/' && path.find('\0') == std::string::npos;
}

[[noreturn]] void throwUnsafePath(const std::string& path, const char* why) {
    throw Error(kBackupManagerDomain, kBackupUnsafeManifestPath,
                "Unsafe path in snapshot manifest: " + quotedPath(path) + " " + why);
}

[[noreturn]] void refuseTarget(const std::string& path, const std::string& why) {
    throw Error(
        kBackupManagerDomain, kBackupUnsafeManifestPath,
        "Restore will not write " + quotedPath(path) + ": " + why + ", so nothing was restored");
}

// The reason of a platform error about `file` without its "Could not ... " preamble, naming the
// path it was about when that is another (the link met on the way).
std::string reasonOf(const Error& error, const std::string& file) {
    const std::string& message = error.message();
    const std::size_t open = message.find(" \"");
    const std::size_t colon = message.find("\": ");
    if (open == std::string::npos || colon == std::string::npos || colon < open) return message;
    const std::string named = message.substr(open + 1, colon + 1 - open - 1);
    const std::string reason = message.substr(colon + 3);
    return named == quotedPath(file) ? reason : named + ": " + reason;
}

// Copies live directly in the snapshot's "files" folder.
void checkCopyPath(const std::string& relative) {
    const std::string prefix = std::string(kFilesFolderName) + "/";
    if (!relative.starts_with(prefix) || !isSingleComponent(relative.substr(prefix.size()))) {
        throwUnsafePath(relative, "is outside the snapshot folder");
    }
}

[[noreturn]] void throwDamagedCopy(const std::string& copy, const char* why) {
    throw Error(kBackupManagerDomain, kBackupDamagedCopy,
                "The snapshot's copy " + quotedPath(copy) + " " + why +
                    ", so nothing was restored (not even with force)");
}

}  // namespace

// The folders Restore writes in, each opened from the bounds without following a link and
// checked to be the folder Apply wrote in.
class BackupManager::FolderOpener final {
  public:
    FolderOpener(const platform::WriteBounds& bounds, const BackupManifest& manifest)
        : m_bounds(bounds) {
        for (const WrittenFolder& folder :
             manifest.writtenFolders.value_or(std::vector<WrittenFolder>{})) {
            m_identities.emplace(folder.path, platform::FileIdentity{folder.device, folder.inode});
        }
    }

    // The folder holding `file`; nullopt when it is gone and `mayBeGone`. Throws the refusals.
    std::optional<platform::OpenFolder> folderOf(const std::string& file, bool mayBeGone) const {
        const std::string path = deletingLastPathComponent(file);
        std::optional<platform::OpenFolder> folder;
        try {
            folder.emplace(m_bounds.openFolderOf(file));
        } catch (const Error& error) {
            if (mayBeGone && (error.code() == ENOENT || error.code() == ENOTDIR)) {
                return std::nullopt;
            }
            refuseTarget(file, reasonOf(error, file));
        }
        check(path, *folder);
        return folder;
    }

    // The place of a preferences file below the home, with the same checks.
    platform::FilePlace place(const std::string& home, const std::string& file,
                              bool throughLink) const {
        try {
            platform::FilePlace place = platform::placeFileUnder(home, file, throughLink);
            check(place.folder.path(), place.folder);
            return place;
        } catch (const Error& error) {
            if (error.domain() == kBackupManagerDomain) throw;
            if (error.code() == platform::kLinkOnTheWay &&
                platform::entryType(file) == EntryType::symbolicLink) {
                refuseTarget(file,
                             "it is a symbolic link, and it was none when the snapshot was taken");
            }
            refuseTarget(file, reasonOf(error, file));
        }
    }

  private:
    void check(const std::string& path, const platform::OpenFolder& folder) const {
        const auto found = m_identities.find(path);
        if (found == m_identities.end() || found->second == folder.identity()) return;
        throw Error(kBackupManagerDomain, kBackupFolderReplaced,
                    "Restore will not write in " + quotedPath(path) +
                        ": it is no longer the folder Apply wrote in (another folder or a link "
                        "took its place since), so nothing was restored");
    }

    const platform::WriteBounds& m_bounds;
    std::unordered_map<std::string, platform::FileIdentity> m_identities;
};

namespace {

// Calls `each` once per folder of the extension flags, with that folder's items; the list is
// in path order, so a folder's files mostly come together.
template <typename Each>
void forEachFlagFolder(const std::vector<FileExtensionBackupItem>& items, const Each& each) {
    for (std::size_t start = 0; start < items.size();) {
        const std::string folder = deletingLastPathComponent(items[start].filePath);
        std::size_t end = start + 1;
        while (end < items.size() && deletingLastPathComponent(items[end].filePath) == folder) {
            ++end;
        }
        each(folder, start, end);
        start = end;
    }
}

}  // namespace

struct BackupManager::Copies {
    std::optional<Bytes> preferences;
    std::vector<std::optional<Bytes>> stores;   // by item; nullopt for items restore passes by
    std::vector<std::optional<Bytes>> domains;  // by pushed preference; nullopt: no file was
};

platform::WriteBounds BackupManager::homeBounds() const {
    platform::WriteBounds bounds;
    bounds.addRoot(m_host.homeDirectory);
    return bounds;
}

void BackupManager::checkManifestPaths(const BackupManifest& manifest) const {
    if (!isSingleComponent(manifest.id)) throwUnsafePath(manifest.id, "is not a snapshot name");
    if (!isAbsolute(manifest.finderPlistOriginalPath) ||
        hasDotComponent(manifest.finderPlistOriginalPath)) {
        throwUnsafePath(manifest.finderPlistOriginalPath, "is not an absolute path");
    }
    if (manifest.finderPlistOriginalPath != m_preferencesPath) {
        throw Error(kBackupManagerDomain, kBackupForeignHome,
                    "Snapshot " + manifest.id + " was taken of the preferences file " +
                        quotedPath(manifest.finderPlistOriginalPath) + ", but this home's is " +
                        quotedPath(m_preferencesPath) +
                        " (the home may have moved), so nothing was restored");
    }
    const std::string directory = snapshotDirectory(manifest.id);
    if (manifest.finderPlistBackupPath != appending(directory, kPreferencesCopyName)) {
        throwUnsafePath(manifest.finderPlistBackupPath, "is outside the snapshot folder");
    }
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        // Restore writes store content only where a store belongs.
        if (!isAbsolute(item.originalPath) || hasDotComponent(item.originalPath) ||
            lastPathComponent(item.originalPath) != kDSStoreName) {
            throwUnsafePath(item.originalPath, "is not the absolute path of a .DS_Store file");
        }
        checkCopyPath(item.backupRelativePath);
    }
    for (const FileExtensionBackupItem& item : manifest.fileExtensionBackups) {
        if (!isAbsolute(item.filePath) || hasDotComponent(item.filePath)) {
            throwUnsafePath(item.filePath, "is not an absolute path");
        }
    }
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        // Only the values Apply itself pushes.
        if ((pushed.domain != PreferencesService::kAnyApplication &&
             pushed.domain != kFinderApplicationId) ||
            pushed.key != kShowAllExtensionsKey || !pushed.currentHost) {
            throwUnsafePath(pushed.domain + " " + pushed.key, "is not a preference Apply sets");
        }
        if (pushed.backupRelativePath) checkCopyPath(*pushed.backupRelativePath);
    }
}

void BackupManager::checkBounds(const BackupManifest& manifest,
                                const platform::WriteBounds& bounds) const {
    // The folders to name: those holding files beyond the bounds, less a folder whose only file
    // is its store when a folder below it is named too (the parent of a chosen folder comes
    // back with that folder), and less those below another named one.
    std::map<std::string, bool> outside;  // folder -> holds more than its store
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (!item.notWritten && !bounds.allows(item.originalPath)) {
            outside.emplace(deletingLastPathComponent(item.originalPath), false);
        }
    }
    for (const FileExtensionBackupItem& item : manifest.fileExtensionBackups) {
        if (!bounds.allows(item.filePath)) {
            outside[deletingLastPathComponent(item.filePath)] = true;
        }
    }
    if (outside.empty()) return;
    const auto isBelow = [](const std::string& path, const std::string& folder) {
        return path.size() > folder.size() && path.starts_with(folder) &&
               (folder == "/" || path[folder.size()] == '/');
    };
    std::vector<std::string> named;
    for (const auto& [folder, holdsMore] : outside) {
        const bool parentOnly =
            !holdsMore && std::any_of(outside.begin(), outside.end(), [&](const auto& other) {
                return isBelow(other.first, folder);
            });
        const bool belowNamed = std::any_of(named.begin(), named.end(),
                                            [&](const auto& top) { return isBelow(folder, top); });
        if (!parentOnly && !belowNamed) named.push_back(folder);
    }
    std::string list;
    for (std::size_t i = 0; i < named.size() && i < kFoldersNamed; ++i) {
        list += (i == 0 ? "" : ", ") + quotedPath(named[i]);
    }
    if (named.size() > kFoldersNamed) {
        list += " and " + std::to_string(named.size() - kFoldersNamed) + " more";
    }
    throw Error(kBackupManagerDomain, kBackupOutsideFolders,
                "Snapshot " + manifest.id +
                    " holds files outside the home and the folders given, so nothing was "
                    "restored; to restore them, give their folders again (--folder): " +
                    list);
}

void BackupManager::checkLiveTargets(const BackupManifest& manifest,
                                     const platform::WriteBounds& bounds) const {
    const FolderOpener opener(bounds, manifest);
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) continue;
        // A store's folder must be there: the store is written into it.
        const auto folder = opener.folderOf(item.originalPath, false);
        const auto type = platform::entryTypeIn(*folder, kDSStoreName);
        if (type && type != EntryType::regular) {
            refuseTarget(item.originalPath, type == EntryType::symbolicLink
                                                ? "it is a symbolic link"
                                                : "it is not a file");
        }
    }
    // Each folder's listing gives its files' types, where a stat per file would add a third
    // of the system calls of a large restore.
    const auto& flags = manifest.fileExtensionBackups;
    forEachFlagFolder(flags, [&](const std::string&, std::size_t start, std::size_t end) {
        // A folder gone since holds no file to refuse; setting the flag passes it by.
        const auto folder = opener.folderOf(flags[start].filePath, true);
        if (!folder) return;
        std::unordered_map<std::string, EntryType> types;
        for (auto& entry : platform::listEntriesIn(*folder)) {
            types.emplace(std::move(entry.name), entry.type);
        }
        for (std::size_t i = start; i < end; ++i) {
            const auto found = types.find(lastPathComponent(flags[i].filePath));
            if (found != types.end() && found->second != EntryType::regular) {
                refuseTarget(flags[i].filePath,
                             "it is no longer a regular file, so its flag stays");
            }
        }
    });
    // The preferences files: each reached below the home, through a link only where there was
    // one when the snapshot was taken, and only to a file below the home.
    const bool hadPreferences = !manifest.finderPlistOriginalSHA256.empty();
    if (hadPreferences && !manifest.finderPlistNotWritten) {
        const auto place = opener.place(m_host.homeDirectory, manifest.finderPlistOriginalPath,
                                        manifest.finderPlistWasLink);
        const auto type = platform::entryTypeIn(place.folder, place.name);
        if (type && type != EntryType::regular) refuseTarget(place.path(), "it is not a file");
    }
    const PreferencesService preferences(m_host.homeDirectory);
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        const auto path = preferences.domainPath(pushed.domain, PreferencesService::Host::current);
        if (path && pushed.pushedValue) {
            (void)opener.place(m_host.homeDirectory, *path, pushed.domainWasLink);
        }
    }
}

BackupManager::Copies BackupManager::readCopies(const BackupManifest& manifest) const {
    // Copies are read only from the snapshot's own folders, held open, never through a link.
    const auto damaged = [](const Error& error) {
        return Error(kBackupManagerDomain, kBackupDamagedCopy,
                     error.message() + "; nothing was restored (not even with force)");
    };
    std::optional<platform::FolderRoot> store;
    std::optional<platform::OpenFolder> snapshot;
    try {
        store.emplace(platform::FolderRoot::open(m_baseBackupDirectory));
        snapshot.emplace(store->openFolder(manifest.id));
    } catch (const Error& error) {
        throw damaged(error);
    }
    std::optional<platform::OpenFolder> filesFolder;
    const auto files = [&]() -> const platform::OpenFolder& {
        try {
            if (!filesFolder) {
                filesFolder.emplace(store->openFolder(appending(manifest.id, kFilesFolderName)));
            }
        } catch (const Error& error) {
            throw damaged(error);
        }
        return *filesFolder;
    };
    const auto readCopy = [&](const platform::OpenFolder& folder, const std::string& name,
                              const std::string& checksum) {
        const std::string copy = appending(folder.path(), name);
        if (platform::entryTypeIn(folder, name) != EntryType::regular) {
            throwDamagedCopy(copy, "is missing or not a regular file");
        }
        Bytes bytes;
        try {
            bytes = platform::readFileIn(folder, name);
        } catch (const Error& error) {
            throw Error(kBackupManagerDomain, kBackupDamagedCopy,
                        error.message() + "; nothing was restored");
        }
        if (platform::sha256Hex(bytes) != checksum) {
            throwDamagedCopy(copy, "does not match the checksum its manifest records");
        }
        return bytes;
    };
    const auto copyName = [](const std::string& relative) {
        return relative.substr(std::string(kFilesFolderName).size() + 1);
    };
    Copies copies;
    const bool hadPreferences = !manifest.finderPlistOriginalSHA256.empty();
    if (hadPreferences && !manifest.finderPlistNotWritten) {
        copies.preferences =
            readCopy(*snapshot, kPreferencesCopyName, manifest.finderPlistOriginalSHA256);
    } else if (!hadPreferences && platform::entryTypeIn(*snapshot, kPreferencesCopyName)) {
        throwDamagedCopy(manifest.finderPlistBackupPath,
                         "exists, though there was no preferences file to copy");
    }
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) {
            copies.stores.emplace_back();
            continue;
        }
        copies.stores.push_back(
            readCopy(files(), copyName(item.backupRelativePath), item.originalSHA256));
    }
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        copies.domains.push_back(
            pushed.backupRelativePath
                ? std::optional(readCopy(files(), copyName(*pushed.backupRelativePath),
                                         pushed.originalSHA256))
                : std::nullopt);
    }
    return copies;
}

namespace {

// The state of a live file against what its snapshot says. A file holding what Apply planned
// for it, or what it recorded afterwards, is Apply's own write, even when Apply never got to
// record it; a file holding the snapshot's copy needs nothing.
RestoreEvaluationItem evaluatedItem(std::string path, std::string backupPath, std::string current,
                                    const std::string& original,
                                    const std::optional<std::string>& post,
                                    const std::optional<std::string>& planned,
                                    const char* driftStatus) {
    const std::string expected = post.value_or(planned.value_or(original));
    const char* status = driftStatus;
    if (current == expected || current == post || current == planned) {
        status = kStatusSafeToRestore;
    } else if (current == original) {
        status = kStatusAlreadyRestored;
    }
    return RestoreEvaluationItem{
        .originalPath = std::move(path),
        .backupPath = std::move(backupPath),
        .isModifiedSinceBackup = status == driftStatus,
        .currentSHA256 = std::move(current),
        .expectedSHA256 = expected,
        .statusDescription = status,
    };
}

}  // namespace

RestoreEvaluationSummary BackupManager::evaluateRestore(const BackupManifest& manifest) const {
    checkManifestPaths(manifest);
    RestoreEvaluationSummary summary;

    if (auto current = manifest.finderPlistNotWritten
                           ? std::nullopt
                           : checksumOfFileIfReadable(manifest.finderPlistOriginalPath)) {
        summary.items.push_back(evaluatedItem(
            manifest.finderPlistOriginalPath, manifest.finderPlistBackupPath, std::move(*current),
            manifest.finderPlistOriginalSHA256, manifest.finderPlistPostSHA256,
            manifest.finderPlistPlannedSHA256, kStatusContentChanged));
    }

    const std::string directory = snapshotDirectory(manifest.id);
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) continue;  // Apply never changed it; Restore leaves it too
        std::string backupPath = appending(directory, item.backupRelativePath);
        if (!platform::entryType(item.originalPath)) {
            summary.items.push_back(RestoreEvaluationItem{
                .originalPath = item.originalPath,
                .backupPath = std::move(backupPath),
                .isModifiedSinceBackup = false,
                .currentSHA256 = kMissingChecksum,
                .expectedSHA256 = item.originalSHA256,
                .statusDescription = kStatusWillBeRecreated,
            });
            continue;
        }
        // A file that exists but cannot be read can neither block nor be reported.
        auto current = checksumOfFileIfReadable(item.originalPath);
        if (!current) continue;
        summary.items.push_back(evaluatedItem(
            item.originalPath, std::move(backupPath), std::move(*current), item.originalSHA256,
            item.postModificationSHA256, item.plannedSHA256, kStatusDriftDetected));
    }

    // A pushed value that is neither what Apply pushed nor what was there before was changed
    // by someone after Apply. Values compare in one form, whichever form the manifest holds
    // them in.
    const auto checksum = [](const std::optional<platform::PlistValue>& value) {
        return value ? platform::sha256Hex(comparableForm(*value)) : std::string(kMissingChecksum);
    };
    const PreferencesService preferences(m_host.homeDirectory);
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        if (!pushed.pushedValue) continue;
        std::string current;
        try {
            current = checksum(preferences.copyValue(pushed.key, pushed.domain,
                                                     PreferencesService::Host::current));
        } catch (const Error&) {
            continue;  // as for a file that cannot be read
        }
        std::string original, wanted;
        try {
            original = checksum(originalValueOf(pushed));
            wanted = checksum(platform::parsePropertyList(asBytes(*pushed.pushedValue)));
        } catch (const Error& error) {
            throw Error(kBackupManagerDomain, kBackupManifestUnreadable,
                        "The manifest of " + manifest.id + " records a value of " + pushed.key +
                            " that cannot be read: " + error.message());
        }
        RestoreEvaluationItem item =
            evaluatedItem(preferences.domainPath(pushed.domain, PreferencesService::Host::current)
                              .value_or(pushed.domain),
                          // The value before Apply is kept in the manifest itself.
                          manifestPath(manifest.id), std::move(current), original, wanted,
                          std::nullopt, kStatusContentChanged);
        summary.items.push_back(std::move(item));
    }
    return summary;
}

void BackupManager::checkRestorable(const BackupManifest& manifest,
                                    const platform::WriteBounds& bounds) const {
    checkManifestPaths(manifest);
    checkBounds(manifest, bounds);
    checkLiveTargets(manifest, bounds);
}

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
        throw Error(kBackupManagerDomain, kBackupDriftWithoutForce,
                    kBackupDriftWithoutForceMessage);
    }

    // Each folder is opened again for its writes and checked again; the writes go through the
    // descriptor the check used.
    const FolderOpener opener(bounds, manifest);
    if (copies.preferences) {
        const auto place = opener.place(m_host.homeDirectory, manifest.finderPlistOriginalPath,
                                        manifest.finderPlistWasLink);
        platform::removeOwnTemporaryFilesIn(place.folder, {place.name, "finder.plist"});
        // The file keeps its owner, bits and attributes; one deleted since is recreated as its
        // folder's.
        platform::ReplaceOptions options;
        options.ownerOfFolderWhenNew = true;
        platform::replaceFileIn(place.folder, place.name, *copies.preferences, options);
        if (!manifest.pushedPreferences) pushShowAllExtensions(*copies.preferences);
    }
    if (manifest.pushedPreferences) {
        restorePushedPreferences(*manifest.pushedPreferences, copies.domains, opener);
    }

    for (std::size_t i = 0; i < manifest.dsStoreBackups.size(); ++i) {
        const DSStoreBackupItem& item = manifest.dsStoreBackups[i];
        if (!copies.stores[i]) continue;
        const auto folder = opener.folderOf(item.originalPath, false);
        platform::removeOwnTemporaryFilesIn(*folder, {kDSStoreName});
        // The bits are the new file's before it takes the store's name, so nothing that takes
        // the name afterwards is ever changed. Never set-id or sticky, whatever the manifest
        // says.
        platform::ReplaceOptions options;
        options.exactPermissionBits = item.posixPermissions & 0777u;
        options.ownerOfFolderWhenNew = true;
        platform::replaceFileIn(*folder, kDSStoreName, *copies.stores[i], options);
    }

    // Checked above to be regular files or gone; the attribute calls never follow a link, and
    // a file gone since is passed by.
    const auto& flags = manifest.fileExtensionBackups;
    forEachFlagFolder(flags, [&](const std::string&, std::size_t start, std::size_t end) {
        const auto folder = opener.folderOf(flags[start].filePath, true);
        if (!folder) return;
        for (std::size_t i = start; i < end; ++i) {
            try {
                platform::setHasHiddenExtensionIn(*folder, lastPathComponent(flags[i].filePath),
                                                  flags[i].originalHasHiddenExtension);
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
                options.ownerOfFolderWhenNew = true;
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
            const auto found = dictionary->find(kShowAllExtensionsKey);
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
    for (const char* domain : {PreferencesService::kAnyApplication, kFinderApplicationId}) {
        preferences.setValue(kShowAllExtensionsKey, value, domain,
                             PreferencesService::User::current, PreferencesService::Host::current,
                             conditions);
        preferences.synchronize(domain, PreferencesService::User::current,
                                PreferencesService::Host::current);
    }
}

}  // namespace lumifold
