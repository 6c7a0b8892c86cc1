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
#include "core/platform/FolderRoot.h"
#include "core/preferences/FinderPreferencesManager.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {

// What the snapshot store takes from the world: the current time, and the home directory
// whose preferences restore pushes into (and under which the default store lives).
struct BackupManagerHost {
    std::function<std::chrono::system_clock::time_point()> now;
    std::string homeDirectory;
    // The one preferences file Restore may write; empty: <home>/Library/Preferences/
    // com.apple.finder.plist.
    std::string preferencesPath;
    static BackupManagerHost system();
};

// One file to copy into a snapshot, as the caller read it (the bytes it planned from), and
// the checksum of what it is to be replaced with.
struct SnapshotSource {
    std::string path;
    Bytes bytes;
    std::optional<std::string> plannedSHA256;
    bool existed = true;  // false: Apply creates the file
};

// Everything a snapshot holds, from reads the caller already made. The two long lists are
// enumerations, so they need not exist in memory; they are enumerated once per manifest write.
struct SnapshotRequest {
    std::string finderPlistPath;
    std::optional<Bytes> finderPlistBytes;  // nullopt: there was no preferences file
    std::vector<SnapshotSource> dsStores;
    ManifestLists lists;
    // What Apply pushes, each with its domain's file as read (copied into the snapshot).
    std::optional<std::vector<PlannedPush>> pushedPreferences;
    // The checksum of the preferences file Apply writes, and whether the file is a link.
    std::optional<std::string> finderPlistPlannedSHA256;
    bool finderPlistWasLink = false;
    // The folders Apply writes in, with their identities.
    std::optional<std::vector<WrittenFolder>> writtenFolders;
    // The layout file Apply works to; nullopt for the built-in layout.
    std::optional<AppliedLayout> layout;
    // Set aside the disk space completeSnapshot needs, before anything is changed.
    bool reserveCompletion = false;
};

// What Apply did not do, for the manifest to say so.
struct ApplyOutcome {
    std::vector<std::string> storesNotWritten;  // changed by another program meanwhile
    bool preferencesNotWritten = false;
    // The pushes that reached the preferences service; the manifest forgets the pushed value
    // of the others, so they never count as drift.
    std::optional<std::vector<PushedPreference>> pushed;
};

// A snapshot as written: its manifest without the long lists, its summary, and the file that
// holds the space its completion needs (empty when none was set aside).
struct WrittenSnapshot {
    ManifestHeader header;
    SnapshotSummary summary;
    std::string reservation;
    // Where its manifest's long lists are, and its size: their text is copied from it when the
    // snapshot is completed, not made again.
    ManifestListSpans listSpans = {};
    std::uint64_t manifestSize = 0;
};

// A snapshot folder without a usable manifest.
struct SnapshotProblem {
    std::string name;     // the folder's name
    bool incomplete;      // no manifest at all: an Apply that stopped while snapshotting
    std::string problem;  // in words
};

// What pruning did: the snapshots it removed, and the folders it left although they are no
// usable snapshot (a manifest it could not read, a link), each with the reason.
struct PruneResult {
    std::vector<std::string> removed;
    std::vector<SnapshotProblem> kept;
};

// The snapshot store: copies of the Finder preferences file and of .DS_Store files, each
// snapshot in <baseBackupDirectory>/<id>/ with a manifest.json, plus drift evaluation and
// restore. Holds no mutable state and takes no locks; one caller at a time per store.
//
// The store is private: folders are created 0700 and copies and manifests written 0600.
class BackupManager final {
  public:
    static constexpr const char* kDomain = "BackupManager";
    enum ErrorCode : int {
        kDriftWithoutForce = 10,
        kUnsafeManifestPath = 20,   // a manifest naming paths outside its place
        kForeignHome = 21,          // a snapshot of another home, or of this one before it moved
        kFolderReplaced = 22,       // a folder Apply wrote in was replaced since
        kOutsideFolders = 23,       // files beyond the home and the folders the user named
        kManifestUnencodable = 30,  // a manifest holding text JSON cannot carry
        kDamagedCopy = 40,          // a copy missing, or not what its checksum says
        kManifestUnreadable = 41,   // a snapshot folder whose manifest is corrupt
        kManifestNotFound = 404,
    };
    static constexpr const char* kManifestNotFoundMessage = "Manifest not found";
    static constexpr const char* kDriftWithoutForceMessage =
        "Files were modified since backup. Re-run with force to overwrite.";

    // `baseBackupDirectory` replaces <home>/.lumifold/backups. Creates nothing on disk.
    explicit BackupManager(std::optional<std::string> baseBackupDirectory = std::nullopt,
                           BackupManagerHost host = BackupManagerHost::system());
    BackupManager(const BackupManager&) = delete;
    BackupManager& operator=(const BackupManager&) = delete;

    const std::string& baseBackupDirectory() const { return m_baseBackupDirectory; }

    // Copies the preferences file (when the request holds it) and each .DS_Store file of the
    // request into a new snapshot, from the bytes the caller read, so the snapshot holds exactly
    // what was planned from; the manifest is written as it is produced, and a summary beside it.
    // The snapshot takes the identifier of the current time; when a snapshot of that name exists
    // already it takes "<id>-2", "<id>-3", ... so no snapshot ever replaces another. A snapshot
    // that fails midway is removed again. Throws the file system's Error when a folder, a copy or
    // the manifest cannot be written; Error kManifestUnencodable for paths or texts that
    // are not valid UTF-8.
    WrittenSnapshot createSnapshot(const SnapshotRequest& request);

    // Records in a snapshot this process just wrote from `request` the checksums of the live
    // files after Apply (the preferences file, each store, each pushed domain Apply wrote; a
    // missing or unreadable file keeps its field as it was) and what Apply left alone: a file
    // it did not write keeps its copy and is marked not written. The manifest is written again
    // from the request, never read back and decoded. Throws the file system's Error when it
    // cannot be written.
    WrittenSnapshot completeSnapshot(const SnapshotRequest& request, const WrittenSnapshot& created,
                                     const ApplyOutcome& outcome);
    // Records in a snapshot this process just wrote that its Apply failed: `stillWritten` says
    // what the Apply left changed after putting back what it could (the rest is marked not
    // written, so Restore passes it by and pruning no longer counts it as held), `lists` the
    // changes planned and the flags still set. No post-change checksums are recorded: a file
    // another program changed since Apply wrote it is never taken for Apply's own. Throws the
    // file system's Error when the manifest cannot be written.
    WrittenSnapshot recordFailedApply(const WrittenSnapshot& created, const ManifestLists& lists,
                                      const ApplyOutcome& stillWritten, FailedApply failure);
    // Removes snapshot `id`, taken for an Apply that then wrote nothing. Never through a link;
    // best effort, never throws. Call it holding the home's lock.
    void removeSnapshot(const std::string& id) const noexcept;

    // The manifest of snapshot `id`; nullopt when it is missing or does not decode, when it
    // names another snapshot than its folder, or when `id` is not a single folder name. Never
    // throws.
    std::optional<BackupManifest> loadManifest(const std::string& id) const;
    // The manifest of `id` for a restore: the applied changes are checked but not kept. Throws
    // Error kManifestUnreadable naming the problem.
    BackupManifest loadManifestForRestore(const std::string& id) const;
    // Hands the manifest file of `id` to `sink` as it stands, piece by piece, after checking
    // that it reads as this snapshot's. Throws Error kManifestUnreadable naming the
    // problem.
    void copyManifestText(const std::string& id,
                          const std::function<void(std::string_view)>& sink) const;

    // Every snapshot's summary (hidden folders too), newest createdAt first; equal createdAt
    // ordered by identifier, the later first ("<id>-10" before "<id>-9" before "<id>"). Each
    // from the summary written beside its manifest (or the manifest itself when that summary is
    // missing or stale). And the folders without a usable manifest. Never throws.
    struct Listing {
        std::vector<SnapshotSummary> snapshots;
        std::vector<SnapshotProblem> problems;
    };
    Listing listSnapshots() const;
    // Why snapshot `id` cannot be used, when a folder of that name exists without a usable
    // manifest.
    std::optional<SnapshotProblem> problemWith(const std::string& id) const;
    // The snapshot a restore takes when none is named: the newest that holds changes
    // (SnapshotSummary::holdsChanges); nullopt when none does. Throws Error
    // kManifestUnreadable naming a snapshot folder with a manifest that cannot be read
    // (not one without a manifest, which no Apply wrote after) unless its name is older than
    // that snapshot's: it may be the one to restore.
    std::optional<SnapshotSummary> newestHoldingChanges() const;
    // Removes the incomplete snapshot folders (those without a manifest) and, given `keep`,
    // every snapshot but the newest `keep` and, for each file any snapshot holds, the oldest
    // snapshot that holds it: the one with the file as it was before Lumifold first changed
    // it. A snapshot holds a file when its restore would put that file back: a store or the
    // preferences file it copied and Apply wrote, a pushed preference, an extension flag.
    // Folders with an unreadable manifest and links stay, and are reported; nothing outside
    // the store is ever removed. Manifests are read as streams. Throws the file system's Error
    // when a folder cannot be removed (those removed before it stay removed).
    PruneResult prune(std::optional<std::size_t> keep);

    // Removes what killed writes of this store left behind: our temporary files in the store
    // and in each snapshot folder (a manifest's can be as large as the manifest). Never
    // through a link; best effort, never throws. Call it holding the home's lock.
    void removeLeftovers() const;

    // 64 lower-case hexadecimal digits.
    static std::string sha256Hex(ByteView data);
    // The checksum of the domain file the push of `value` makes from `copy` (its domain's file
    // before; nullopt: there was none); nullopt when it pushed nothing or the copy holds no
    // dictionary.
    static std::optional<std::string> checksumAfterPush(const PushedPreference& value,
                                                        const std::optional<Bytes>& copy);

    // Compares each snapshotted live file with the checksums the snapshot records: the
    // preferences file first (when it exists and reads), then the .DS_Store items in manifest
    // order (unreadable ones are left out), then the pushed values. A file holding what Apply
    // planned or recorded for it is safe to restore; one holding the snapshot's copy is already
    // restored; anything else drifted. Reads files only. Throws only Error
    // kUnsafeManifestPath, for a manifest naming paths outside its place, and
    // kManifestUnreadable, for a recorded value that is not a property list.
    RestoreEvaluationSummary evaluateRestore(const BackupManifest& manifest) const;

    // The checks of restoreSnapshot that no force overrides, without reading the copies or
    // writing anything: a caller asks them before it reports drift. Throws as restoreSnapshot.
    void checkRestorable(const BackupManifest& manifest, const platform::WriteBounds& bounds) const;

    // The bounds of a restore that names no folders: the home.
    platform::WriteBounds homeBounds() const;

    // Writes the snapshot's copies back over the live files, restores the .DS_Store
    // permission bits, the pushed preferences (or, for older manifests, the copied file's
    // AppleShowAllExtensions) and the hidden-extension flags, writing only within `bounds`
    // (the home, the folders the user named again and their parents' stores), every folder
    // reached from them without following a link. Throws, before writing anything (force
    // does not override these): Error kUnsafeManifestPath for a manifest that would write
    // anywhere but the stores, files, preferences file and domains Apply writes, or for a live
    // file or a folder on the way that is a link (a preferences file only through the kind of
    // link it was, to a file below the home); kOutsideFolders for files beyond the
    // bounds, naming the folders to give again; kFolderReplaced for a folder that is no
    // longer the one Apply wrote in; kForeignHome for a snapshot of another home;
    // kDamagedCopy for a copy that is missing or does not match its checksum. Then
    // kDriftWithoutForce when a file drifted and `force` is false. Then throws the file
    // system's Error when a live file cannot be written (files restored before it stay
    // restored).
    void restoreSnapshot(const BackupManifest& manifest, bool force,
                         const RestoreEvaluationSummary& evaluation,
                         const platform::WriteBounds& bounds);
    // The same within homeBounds(), with a fresh evaluation.
    void restoreSnapshot(const BackupManifest& manifest, bool force);

  private:
    std::string snapshotDirectory(const std::string& id) const;
    std::string manifestPath(const std::string& id) const;

    // Writing (BackupManagerWrite.cpp).
    WrittenSnapshot writeSnapshot(const SnapshotRequest& request, const std::string& id);
    // Sets aside the space completing snapshot `header` needs; returns the file that holds it.
    std::string reserveCompletion(const ManifestHeader& header) const;
    // Writes the manifest of `header` and `lists`, and its summary (also into `summary`). With
    // `written`, the snapshot's manifest as first written, the lists' text is copied from that
    // manifest while it is still that file (`lists` is used otherwise); `written` receives where
    // this writing put the lists, and its size.
    void saveManifest(const ManifestHeader& header, const ManifestLists& lists,
                      SnapshotSummary* summary = nullptr,
                      const WrittenSnapshot* copiedFrom = nullptr,
                      WrittenSnapshot* written = nullptr) const;
    // Writes `summary` beside its manifest, with what tells whether it still describes it.
    void saveSummary(const SnapshotSummary& summary) const;
    void recordOutcome(ManifestHeader& manifest, const std::string& finderPlistPath,
                       const ApplyOutcome& outcome) const;
    // Marks what `outcome` says Apply did not write; recordOutcome without the checksums.
    static void markNotWritten(ManifestHeader& manifest, const ApplyOutcome& outcome);

    // Listing and pruning (BackupManagerListing.cpp, BackupManagerPrune.cpp).
    std::vector<std::string> snapshotNames() const;
    // The summary of snapshot `name` when its summary file matches its manifest.
    std::optional<SnapshotSummary> cachedSummary(const std::string& name) const;
    // Calls `hold` with a key for each file snapshot `id` holds (see prune). Returns why its
    // manifest cannot be used, having then called `hold` for only part of it, or nullopt.
    std::optional<std::string> heldFiles(const std::string& id,
                                         const std::function<void(std::string)>& hold) const;
    // Removes the incomplete snapshot folders; reports the other unusable ones and the links.
    PruneResult removeUnusable(const Listing& listing) const;
    // Which of `snapshots` (newest first) pruning keeps; adds those it cannot read to `result`.
    std::vector<bool> neededSnapshots(const std::vector<SnapshotSummary>& snapshots,
                                      std::size_t keep, PruneResult& result) const;

    // The restore checks (BackupManagerChecks.cpp).
    class FolderOpener;
    // Every copy the restore needs, read and checked against its checksum.
    struct Copies;
    // Throws kUnsafeManifestPath unless every path of `manifest` stays in its place.
    void checkManifestPaths(const BackupManifest& manifest) const;
    // Throws kOutsideFolders unless every file restore writes lies within `bounds`.
    void checkBounds(const BackupManifest& manifest, const platform::WriteBounds& bounds) const;
    // Throws unless every folder restore writes in can be reached without a link and is the
    // one Apply wrote in, and every live file it writes is a regular file or absent.
    void checkLiveTargets(const BackupManifest& manifest,
                          const platform::WriteBounds& bounds) const;
    static void checkFlaggedFiles(const std::vector<FileExtensionBackupItem>& flags,
                                  const FolderOpener& opener);
    void checkPreferenceFiles(const BackupManifest& manifest, const FolderOpener& opener) const;
    // Reading the copies back (BackupManagerCopies.cpp).
    Copies readCopies(const BackupManifest& manifest) const;

    // The evaluation (BackupManagerEvaluation.cpp).
    void evaluateStores(const BackupManifest& manifest, RestoreEvaluationSummary& summary) const;
    void evaluatePushedValues(const BackupManifest& manifest,
                              RestoreEvaluationSummary& summary) const;

    // The restore's writes (BackupManagerRestore.cpp).
    void restorePreferencesFile(const BackupManifest& manifest, ByteView copy,
                                const FolderOpener& opener) const;
    static void restoreStores(const std::vector<DSStoreBackupItem>& stores,
                              const std::vector<std::optional<Bytes>>& copies,
                              const FolderOpener& opener);
    static void restoreFlags(const std::vector<FileExtensionBackupItem>& flags,
                             const FolderOpener& opener);
    void pushShowAllExtensions(ByteView preferencesBytes) const;
    void restorePushedPreferences(const std::vector<PushedPreference>& pushed,
                                  const std::vector<std::optional<Bytes>>& domainCopies,
                                  const FolderOpener& opener) const;

    std::string m_baseBackupDirectory;
    BackupManagerHost m_host;
    std::string m_preferencesPath;
};

}  // namespace lumifold
