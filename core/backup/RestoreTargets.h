#pragma once

// What BackupManager's restore checks and its writes share: the folders Restore writes in, each
// reached from the caller's bounds without following a link, and the copies it writes back.
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace restore_targets {

[[noreturn]] inline void refuseTarget(const std::string& path, const std::string& why) {
    throw Error(BackupManager::kDomain, BackupManager::kUnsafeManifestPath,
                "Restore will not write " + snapshot_files::quotedPath(path) + ": " + why +
                    ", so nothing was restored");
}

// The reason of a platform error about `file` without its "Could not ... " preamble, naming the
// path it was about when that is another (the link met on the way).
inline std::string reasonOf(const Error& error, const std::string& file) {
    const std::string& message = error.message();
    const std::size_t open = message.find(" \"");
    const std::size_t colon = message.find("\": ");
    if (open == std::string::npos || colon == std::string::npos || colon < open) return message;
    const std::string named = message.substr(open + 1, colon + 1 - open - 1);
    const std::string reason = message.substr(colon + 3);
    return named == snapshot_files::quotedPath(file) ? reason : named + ": " + reason;
}

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

}  // namespace restore_targets

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
            restore_targets::refuseTarget(file, restore_targets::reasonOf(error, file));
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
            if (error.domain() == BackupManager::kDomain) throw;
            if (error.code() == platform::kLinkOnTheWay &&
                platform::entryType(file) == platform::EntryType::symbolicLink) {
                restore_targets::refuseTarget(
                    file, "it is a symbolic link, and it was none when the snapshot was taken");
            }
            restore_targets::refuseTarget(file, restore_targets::reasonOf(error, file));
        }
    }

  private:
    void check(const std::string& path, const platform::OpenFolder& folder) const {
        const auto found = m_identities.find(path);
        if (found == m_identities.end() || found->second == folder.identity()) return;
        throw Error(BackupManager::kDomain, BackupManager::kFolderReplaced,
                    "Restore will not write in " + snapshot_files::quotedPath(path) +
                        ": it is no longer the folder Apply wrote in (another folder or a link "
                        "took its place since), so nothing was restored");
    }

    const platform::WriteBounds& m_bounds;
    std::unordered_map<std::string, platform::FileIdentity> m_identities;
};

// Every copy a restore writes back, read and checked against its checksum.
struct BackupManager::Copies {
    std::optional<Bytes> preferences;
    std::vector<std::optional<Bytes>> stores;   // by item; nullopt for items restore passes by
    std::vector<std::optional<Bytes>> domains;  // by pushed preference; nullopt: no file was
};

}  // namespace lumifold
