#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/backup/BackupManifest.h"
#include "core/backup/DSStoreBackupItem.h"
#include "core/backup/FileExtensionBackupItem.h"
#include "core/backup/RestoreEvaluationSummary.h"
#include "core/common/Bytes.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {

inline constexpr const char* kBackupManagerDomain = "BackupManager";
enum BackupManagerError : int {
    kBackupDriftWithoutForce = 10,
    kBackupUnsafeManifestPath = 20,   // a manifest naming paths outside its place
    kBackupManifestUnencodable = 30,  // a manifest holding text JSON cannot carry
    kBackupManifestNotFound = 404,
};
inline constexpr const char* kBackupManifestNotFoundMessage = "Manifest not found";
inline constexpr const char* kBackupDriftWithoutForceMessage =
    "Files were modified since backup. Re-run with force to overwrite.";

// What the snapshot store takes from the world: the current time, and the home directory
// whose preferences restore pushes into (and under which the default store lives).
struct BackupManagerHost {
    std::function<std::chrono::system_clock::time_point()> now;
    std::string homeDirectory;
    static BackupManagerHost system();
};

// The snapshot store: copies of the Finder preferences file and of .DS_Store files, each
// snapshot in <baseBackupDirectory>/<id>/ with a manifest.json, plus drift evaluation and
// restore. Holds no mutable state and takes no locks; one caller at a time per store.
//
// The store is private: folders are created 0700 and copies and manifests written 0600.
class BackupManager final {
  public:
    // `baseBackupDirectory` replaces <home>/.lumifold/backups. Creates nothing on disk.
    explicit BackupManager(std::optional<std::string> baseBackupDirectory = std::nullopt,
                           BackupManagerHost host = BackupManagerHost::system());
    BackupManager(const BackupManager&) = delete;
    BackupManager& operator=(const BackupManager&) = delete;

    const std::string& baseBackupDirectory() const { return m_baseBackupDirectory; }

    // Copies the preferences file (when it exists) and each existing .DS_Store file into a new
    // snapshot and writes its manifest. The snapshot takes the identifier of the current time;
    // when a snapshot of that name exists already it takes "<id>-2", "<id>-3", ... so no
    // snapshot ever replaces another. Throws the file system's Error when a folder cannot be
    // created, an existing file cannot be read or a copy or the manifest cannot be written;
    // Error kBackupManifestUnencodable for paths or texts that are not valid UTF-8.
    BackupManifest createSnapshot(const std::string& finderPlistURL,
                                  const std::vector<std::string>& dsStoreURLs,
                                  const std::vector<SettingChange>& appliedChanges,
                                  const std::vector<FileExtensionBackupItem>& fileExtensionBackups);

    // Records the checksums of the live files after Apply: the preferences file at
    // `finderPlistURL` and the files named by the manifest's own .DS_Store items
    // (`dsStoreURLs` is not consulted). Missing or unreadable files keep their field as it was.
    // Throws Error kBackupManifestNotFound when the manifest cannot be read, and the file
    // system's Error when it cannot be saved.
    BackupManifest recordPostModificationHashes(const std::string& snapshotID,
                                                const std::string& finderPlistURL,
                                                const std::vector<std::string>& dsStoreURLs);

    // The manifest of snapshot `id`; nullopt when it is missing or does not decode, or when
    // `id` is not a single folder name. Never throws.
    std::optional<BackupManifest> loadManifest(const std::string& id) const;

    // Every readable manifest of the store, newest createdAt first; equal createdAt ordered by
    // identifier, the later first ("<id>-10" before "<id>-9" before "<id>"). Never throws.
    std::vector<BackupManifest> listManifests() const;

    // 64 lower-case hexadecimal digits.
    static std::string sha256Hex(ByteView data);

    // Compares each snapshotted live file with the checksum the snapshot expects: the
    // preferences file first (when it exists and reads), then the .DS_Store items in manifest
    // order (unreadable ones are left out). Reads files only. Throws only Error
    // kBackupUnsafeManifestPath, for a manifest naming paths outside its place.
    RestoreEvaluationSummary evaluateRestore(const BackupManifest& manifest) const;

    // Writes the snapshot's copies back over the live files, restores the .DS_Store
    // permission bits, the preferences' AppleShowAllExtensions and the hidden-extension flags.
    // Throws, before writing anything: Error kBackupUnsafeManifestPath for a manifest naming
    // paths outside its place; Error kBackupDriftWithoutForce when a file drifted and `force`
    // is false. Then throws the file system's Error when a copy cannot be read or a live file
    // cannot be written (files restored before it stay restored).
    void restoreSnapshot(const BackupManifest& manifest, bool force);

  private:
    std::string snapshotDirectory(const std::string& id) const;
    std::string manifestPath(const std::string& id) const;
    void saveManifest(const std::string& directoryName, const BackupManifest& manifest) const;
    // Throws kBackupUnsafeManifestPath unless every path of `manifest` stays in its place.
    void checkManifestPaths(const BackupManifest& manifest) const;
    void pushShowAllExtensions(ByteView preferencesBytes) const;

    std::string m_baseBackupDirectory;
    BackupManagerHost m_host;
};

}  // namespace lumifold
