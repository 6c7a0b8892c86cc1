// BackupManager's store: where snapshots live, reading one snapshot's manifest, and removing
// what killed writes left. Writing, listing, pruning, the restore checks, the evaluation and the
// restore itself each have a source file of their own (BackupManager<Job>.cpp).
#include "core/backup/BackupManager.h"

#include <array>

#include "core/backup/SnapshotFiles.h"
#include "core/common/Error.h"
#include "core/common/LumifoldHome.h"
#include "core/common/Paths.h"
#include "core/platform/Clock.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/platform/Sha256.h"
#include "core/preferences/FinderPreferenceKeys.h"

namespace lumifold {

using namespace snapshot_files;

BackupManagerHost BackupManagerHost::system() {
    return BackupManagerHost{.now = platform::currentTime,
                             .homeDirectory = platform::homeDirectory(),
                             .preferencesPath = {}};
}

BackupManager::BackupManager(std::optional<std::string> baseBackupDirectory, BackupManagerHost host)
    : m_baseBackupDirectory(baseBackupDirectory ? std::move(*baseBackupDirectory)
                                                : LumifoldHome(host.homeDirectory).snapshots()),
      m_host(std::move(host)),
      m_preferencesPath(m_host.preferencesPath.empty()
                            ? appending(m_host.homeDirectory, finder_preferences::kRelativePath)
                            : m_host.preferencesPath) {}

std::string BackupManager::sha256Hex(ByteView data) { return platform::sha256Hex(data); }

std::string BackupManager::snapshotDirectory(const std::string& id) const {
    return appending(m_baseBackupDirectory, id);
}

std::string BackupManager::manifestPath(const std::string& id) const {
    return appending(snapshotDirectory(id), kManifestFileName);
}

void BackupManager::removeSnapshot(const std::string& id) const noexcept {
    try {
        if (isSingleComponent(id)) platform::removeTree(snapshotDirectory(id));
    } catch (const std::exception&) {
        // What stays is listed as an incomplete or unusable snapshot, for pruning to take.
    }
}

void BackupManager::removeLeftovers() const {
    try {
        const platform::FolderRoot store = platform::FolderRoot::open(m_baseBackupDirectory);
        // An empty name stands for any target: everything of our pattern here is ours.
        const std::vector<std::string> anyTarget{""};
        platform::removeOwnTemporaryFilesIn(store.folder(), anyTarget);
        for (const platform::DirectoryEntry& entry : platform::listEntriesIn(store.folder())) {
            if (entry.type != platform::EntryType::directory) continue;
            for (const std::string& relative :
                 {entry.name, appending(entry.name, kFilesFolderName)}) {
                try {
                    platform::removeOwnTemporaryFilesIn(store.openFolder(relative), anyTarget);
                } catch (const Error&) {
                    // A snapshot without a files folder, or one that is a link: nothing of ours.
                }
            }
        }
    } catch (const Error&) {
        // No store yet.
    }
}

std::optional<BackupManifest> BackupManager::loadManifest(const std::string& id) const {
    if (!isSingleComponent(id)) return std::nullopt;
    try {
        BackupManifest manifest = readManifest(manifestPath(id), true);
        // A manifest moved or copied into another folder would restore under a false name.
        if (manifest.id != id) return std::nullopt;
        return manifest;
    } catch (const Error&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

BackupManifest BackupManager::loadManifestForRestore(const std::string& id) const {
    if (isSingleComponent(id)) {
        try {
            BackupManifest manifest = readManifest(manifestPath(id), false);
            if (manifest.id == id) return manifest;
        } catch (const Error&) {
        } catch (const nlohmann::json::exception&) {
        }
    }
    const auto problem = problemWith(id);
    throw Error(BackupManager::kDomain, BackupManager::kManifestUnreadable,
                "Snapshot " + platform::printable(id) + " cannot be read: " +
                    (problem ? problem->problem : std::string("there is no such snapshot")));
}

void BackupManager::copyManifestText(const std::string& id,
                                     const std::function<void(std::string_view)>& sink) const {
    (void)loadManifestForRestore(id);  // it reads, and as this snapshot's
    const platform::FileHandle file =
        platform::openForReading(manifestPath(id), kManifestReadLimit);
    std::array<char, 64 * 1024> buffer{};
    for (std::size_t count = 0;
         (count = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0;) {
        sink(std::string_view(buffer.data(), count));
    }
    if (std::ferror(file.get())) throw platform::posixError(EIO, "read", manifestPath(id));
}

}  // namespace lumifold
