// BackupManager's copies: a snapshot's copies read back for a restore, each checked against the
// checksum its manifest records, before anything is written.
#include "core/backup/BackupManager.h"
#include "core/backup/RestoreTargets.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/Sha256.h"

namespace lumifold {
namespace {

using namespace snapshot_files;
using platform::EntryType;

[[noreturn]] void throwDamagedCopy(const std::string& copy, const char* why) {
    throw Error(BackupManager::kDomain, BackupManager::kDamagedCopy,
                "The snapshot's copy " + quotedPath(copy) + " " + why +
                    ", so nothing was restored (not even with force)");
}

// Reads a snapshot's copies only from its own folders, held open, never through a link.
class CopyReader final {
  public:
    CopyReader(const std::string& store, const std::string& id) : m_id(id) {
        try {
            m_store.emplace(platform::FolderRoot::open(store));
            m_snapshot.emplace(m_store->openFolder(id));
        } catch (const Error& error) {
            throw damaged(error);
        }
    }

    const platform::OpenFolder& snapshot() const { return *m_snapshot; }
    // The "files" folder, opened when first needed.
    const platform::OpenFolder& files() {
        try {
            if (!m_files) m_files.emplace(m_store->openFolder(appending(m_id, kFilesFolderName)));
        } catch (const Error& error) {
            throw damaged(error);
        }
        return *m_files;
    }
    // The copy at `relative` ("files/<name>").
    Bytes readFile(const std::string& relative, const std::string& checksum) {
        return read(files(), relative.substr(std::string(kFilesFolderName).size() + 1), checksum);
    }

    Bytes read(const platform::OpenFolder& folder, const std::string& name,
               const std::string& checksum) const {
        const std::string copy = appending(folder.path(), name);
        if (platform::entryTypeIn(folder, name) != EntryType::regular) {
            throwDamagedCopy(copy, "is missing or not a regular file");
        }
        Bytes bytes;
        try {
            bytes = platform::readFileIn(folder, name);
        } catch (const Error& error) {
            throw Error(BackupManager::kDomain, BackupManager::kDamagedCopy,
                        error.message() + "; nothing was restored");
        }
        if (platform::sha256Hex(bytes) != checksum) {
            throwDamagedCopy(copy, "does not match the checksum its manifest records");
        }
        return bytes;
    }

  private:
    static Error damaged(const Error& error) {
        return Error(BackupManager::kDomain, BackupManager::kDamagedCopy,
                     error.message() + "; nothing was restored (not even with force)");
    }

    std::string m_id;
    std::optional<platform::FolderRoot> m_store;
    std::optional<platform::OpenFolder> m_snapshot;
    std::optional<platform::OpenFolder> m_files;
};

}  // namespace

BackupManager::Copies BackupManager::readCopies(const BackupManifest& manifest) const {
    CopyReader reader(m_baseBackupDirectory, manifest.id);
    Copies copies;
    const bool hadPreferences = !manifest.finderPlistOriginalSHA256.empty();
    if (hadPreferences && !manifest.finderPlistNotWritten) {
        copies.preferences = reader.read(reader.snapshot(), kPreferencesCopyName,
                                         manifest.finderPlistOriginalSHA256);
    } else if (!hadPreferences && platform::entryTypeIn(reader.snapshot(), kPreferencesCopyName)) {
        throwDamagedCopy(manifest.finderPlistBackupPath,
                         "exists, though there was no preferences file to copy");
    }
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) {
            copies.stores.emplace_back();
            continue;
        }
        copies.stores.push_back(reader.readFile(item.backupRelativePath, item.originalSHA256));
    }
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        copies.domains.push_back(
            pushed.backupRelativePath
                ? std::optional(reader.readFile(*pushed.backupRelativePath, pushed.originalSHA256))
                : std::nullopt);
    }
    return copies;
}

}  // namespace lumifold
