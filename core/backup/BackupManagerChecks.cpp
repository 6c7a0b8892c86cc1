// BackupManager's restore checks, which no force overrides. A manifest is data from disk: it
// never decides where Restore may write. The caller's bounds do (the home, and the folders the
// user names again), every folder is reached from them without following a link, and a folder
// Apply wrote in must still be that same folder. (The copies are checked as they are read, in
// BackupManagerCopies.cpp.)
#include <algorithm>
#include <map>
#include <unordered_map>

#include "core/backup/BackupManager.h"
#include "core/backup/RestoreTargets.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PreferencesService.h"

namespace lumifold {
namespace {

using namespace snapshot_files;
using namespace restore_targets;
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
    throw Error(BackupManager::kDomain, BackupManager::kUnsafeManifestPath,
                "Unsafe path in snapshot manifest: " + quotedPath(path) + " " + why);
}

// Copies live directly in the snapshot's "files" folder.
void checkCopyPath(const std::string& relative) {
    const std::string prefix = std::string(kFilesFolderName) + "/";
    if (!relative.starts_with(prefix) || !isSingleComponent(relative.substr(prefix.size()))) {
        throwUnsafePath(relative, "is outside the snapshot folder");
    }
}

// The folders to name in a refusal of files beyond the bounds (`outside`: each folder holding
// such files, and whether it holds more than its store), less a folder whose only file is its
// store when a folder below it is named too (the parent of a chosen folder comes back with that
// folder), and less those below another named one.
std::string foldersToName(const std::map<std::string, bool>& outside) {
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
    return list;
}

}  // namespace

platform::WriteBounds BackupManager::homeBounds() const {
    platform::WriteBounds bounds;
    bounds.addRoot(m_host.homeDirectory);
    return bounds;
}

void BackupManager::checkRestorable(const BackupManifest& manifest,
                                    const platform::WriteBounds& bounds) const {
    checkManifestPaths(manifest);
    checkBounds(manifest, bounds);
    checkLiveTargets(manifest, bounds);
}

void BackupManager::checkManifestPaths(const BackupManifest& manifest) const {
    if (!isSingleComponent(manifest.id)) throwUnsafePath(manifest.id, "is not a snapshot name");
    if (!isAbsolute(manifest.finderPlistOriginalPath) ||
        hasDotComponent(manifest.finderPlistOriginalPath)) {
        throwUnsafePath(manifest.finderPlistOriginalPath, "is not an absolute path");
    }
    if (manifest.finderPlistOriginalPath != m_preferencesPath) {
        throw Error(BackupManager::kDomain, BackupManager::kForeignHome,
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
             pushed.domain != finder_preferences::kApplicationId) ||
            pushed.key != finder_preferences::kShowAllExtensionsKey || !pushed.currentHost) {
            throwUnsafePath(pushed.domain + " " + pushed.key, "is not a preference Apply sets");
        }
        if (pushed.backupRelativePath) checkCopyPath(*pushed.backupRelativePath);
    }
}

void BackupManager::checkBounds(const BackupManifest& manifest,
                                const platform::WriteBounds& bounds) const {
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
    throw Error(BackupManager::kDomain, BackupManager::kOutsideFolders,
                "Snapshot " + manifest.id +
                    " holds files outside the home and the folders given, so nothing was "
                    "restored; to restore them, give their folders again (--folder): " +
                    foldersToName(outside));
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
    checkFlaggedFiles(manifest.fileExtensionBackups, opener);
    checkPreferenceFiles(manifest, opener);
}

void BackupManager::checkFlaggedFiles(const std::vector<FileExtensionBackupItem>& flags,
                                      const FolderOpener& opener) {
    // Each folder's listing gives its files' types, where a stat per file would add a third
    // of the system calls of a large restore.
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
}

void BackupManager::checkPreferenceFiles(const BackupManifest& manifest,
                                         const FolderOpener& opener) const {
    // Each reached below the home, through a link only where there was one when the snapshot
    // was taken, and only to a file below the home.
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

}  // namespace lumifold
