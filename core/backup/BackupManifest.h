#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/backup/DSStoreBackupItem.h"
#include "core/backup/FileExtensionBackupItem.h"
#include "core/common/JsonWriter.h"
#include "core/preferences/PushedPreference.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {

// A folder Apply wrote in, as it was then: Restore writes there only while it is that same
// folder, not another one (or a link) put in its place since.
struct WrittenFolder {
    std::string path;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const WrittenFolder&, const WrittenFolder&) = default;
};
// {"device": integer, "inode": integer, "path": string}, all required on reading.
// writeJson streams the same object.
void to_json(nlohmann::json& json, const WrittenFolder& folder);
void writeJson(JsonWriter& out, const WrittenFolder& folder);
void from_json(const nlohmann::json& json, WrittenFolder& folder);

// An Apply that failed after it had written something: its error, and whether it put back
// everything it had written. What it left changed is what the rest of the manifest holds.
struct FailedApply {
    std::string error;
    bool allPutBack = false;
    friend bool operator==(const FailedApply&, const FailedApply&) = default;
};
// {"allPutBack": boolean, "error": string}, both required on reading.
// writeJson streams the same object.
void to_json(nlohmann::json& json, const FailedApply& failure);
void writeJson(JsonWriter& out, const FailedApply& failure);
void from_json(const nlohmann::json& json, FailedApply& failure);

// The layout file an Apply worked to: its path, its checksum, and the top-level target it gave,
// each key as the file writes its value ("icon-size": "64", "view": "icon"). A manifest has
// none when Apply worked to the built-in layout.
struct AppliedLayout {
    std::string path;
    std::string sha256;
    std::map<std::string, std::string> target;
    friend bool operator==(const AppliedLayout&, const AppliedLayout&) = default;
};
// {"path": string, "sha256": string, "target": {key: string}}, all required on reading.
// writeJson streams the same object.
void to_json(nlohmann::json& json, const AppliedLayout& layout);
void writeJson(JsonWriter& out, const AppliedLayout& layout);
void from_json(const nlohmann::json& json, AppliedLayout& layout);

// Everything a snapshot's manifest says but the two lists that grow with the home (the applied
// changes and the extension flags): what Apply returns and what a restore plan needs first.
struct ManifestHeader {
    std::string id;
    // Whole seconds, UTC; taken after the copies were written.
    std::chrono::system_clock::time_point createdAt;
    std::string finderPlistOriginalPath;
    // Recorded even when no copy was written (the file did not exist).
    std::string finderPlistBackupPath;
    // "" when the preferences file did not exist at snapshot time.
    std::string finderPlistOriginalSHA256;
    std::optional<std::string> finderPlistPostSHA256;
    std::vector<DSStoreBackupItem> dsStoreBackups;
    // What Apply pushed into the preferences service and what was there before; absent in
    // manifests of older versions, whose restore pushes the copied file's value instead.
    std::optional<std::vector<PushedPreference>> pushedPreferences;
    // Another program changed the preferences file between planning and writing, so Apply
    // left it alone; Restore passes it by.
    bool finderPlistNotWritten = false;
    // The checksum of the file Apply planned to write there: a file holding exactly that is
    // Apply's own write, never a change by someone else, even when Apply did not finish.
    std::optional<std::string> finderPlistPlannedSHA256;
    // The preferences file was a symbolic link when the snapshot was taken; only then may
    // Restore write through a link there.
    bool finderPlistWasLink = false;
    // Every folder Apply wrote in, with its identity then; absent in manifests of older
    // versions.
    std::optional<std::vector<WrittenFolder>> writtenFolders;
    // Set when the Apply failed after writing; its stores, preferences file, pushed values and
    // flags are then only those it left changed.
    std::optional<FailedApply> applyFailed;
    // The layout file Apply worked to; absent for the built-in layout and in older manifests.
    std::optional<AppliedLayout> layout;

    friend bool operator==(const ManifestHeader&, const ManifestHeader&) = default;
};

// The content of a snapshot's manifest.json: what was copied, with which checksums, and what
// the Apply that took the snapshot changes. Identified by `id`, the snapshot directory's name.
struct BackupManifest : ManifestHeader {
    std::vector<SettingChange> appliedChanges;
    std::vector<FileExtensionBackupItem> fileExtensionBackups;

    friend bool operator==(const BackupManifest&, const BackupManifest&) = default;
};

// The two lists of a manifest as enumerations, so a manifest of a million entries can be
// written without the entries ever existing together in memory.
struct ManifestLists {
    using Changes = std::function<void(const std::function<void(const SettingChange&)>&)>;
    using Flags = std::function<void(const std::function<void(const FileExtensionBackupItem&)>&)>;
    Changes appliedChanges;
    Flags fileExtensionBackups;
    // Each list's JSON text as an earlier writing of the same lists left it (its "[" to its
    // "]", handed over in pieces), used instead of the lists above when set.
    using Text = std::function<void(const JsonWriter::Sink&)>;
    Text appliedChangesText = nullptr;
    Text fileExtensionBackupsText = nullptr;

    // The lists of `manifest` itself.
    static ManifestLists of(const BackupManifest& manifest);
};

// Writes the manifest.json text to `sink` as it goes: pretty-printed, the keys of every object
// in ascending order, every "/" inside strings written as "\/"; absent optionals left out.
// Throws std::invalid_argument for text that is not valid UTF-8.
// Where writeManifestFile put each long list's text, from its "[" to past its "]", in bytes from
// the start of the file.
struct ManifestListSpans {
    std::uint64_t changesBegin = 0, changesEnd = 0;
    std::uint64_t flagsBegin = 0, flagsEnd = 0;
};
void writeManifestFile(const ManifestHeader& header, const ManifestLists& lists,
                       const JsonWriter::Sink& sink, ManifestListSpans* spans = nullptr);
std::string encodeManifestFile(const BackupManifest& manifest);

// Reads manifest.json text as it goes, strictly: id, createdAt (exactly "2025-01-31T14:05:10Z"),
// finderPlistOriginalPath, finderPlistBackupPath, finderPlistOriginalSHA256, dsStoreBackups and
// appliedChanges are required and must not be null; the optional fields may be absent or null;
// fileExtensionBackups absent or null is an empty list. Throws nlohmann::json::exception for
// text that is not JSON or not a manifest, or that nests deeper than eight levels (parse errors
// name the byte of the text). Memory grows with neither white space nor nesting. With `keepChanges`
// false the applied changes are checked but not kept, and `changeCount` (when given) receives how
// many there were.
BackupManifest decodeManifestFile(std::string_view text, bool keepChanges = true,
                                  std::size_t* changeCount = nullptr);
// The same, reading an open file as it goes.
BackupManifest decodeManifestFile(std::FILE* file, bool keepChanges = true,
                                  std::size_t* changeCount = nullptr);
// The same without the long lists: the applied changes are checked and dropped, and each
// extension flag is handed to `eachFlag` as it is read, so a manifest of a million entries
// costs one entry at a time. A list given twice under one key hands over the items of both.
ManifestHeader decodeManifestHeader(
    std::FILE* file, const std::function<void(const FileExtensionBackupItem&)>& eachFlag);

// What a snapshot is, in a few numbers: what listing shows without reading whole manifests.
struct SnapshotSummary {
    std::string id;
    std::chrono::system_clock::time_point createdAt;
    std::size_t storeCount = 0;
    std::size_t changeCount = 0;
    std::size_t extensionCount = 0;
    bool holdsPreferences = false;  // the preferences file was copied
    bool complete = false;          // Apply recorded its post-change checksums
    // A restore of it would put something back: its Apply changed something (forEachHeldItem),
    // or its flag list is not empty. The snapshot a restore takes when none is named.
    bool holdsChanges = false;
    bool applyFailed = false;  // its Apply failed after writing (ManifestHeader::applyFailed)

    static SnapshotSummary of(const ManifestHeader& header, std::size_t changeCount,
                              std::size_t extensionCount);
    friend bool operator==(const SnapshotSummary&, const SnapshotSummary&) = default;
};

// The field names as keys; createdAt as in the manifest.
void to_json(nlohmann::json& json, const SnapshotSummary& summary);
// Strict as the manifest; throws nlohmann::json::exception. A summary of an earlier version
// without holdsChanges holds changes when it has any: Apply did not yet fail gracefully.
void from_json(const nlohmann::json& json, SnapshotSummary& summary);

// Calls `hold` with a key for each item but the extension flags (one key per flag, "flag " and
// the path, is the caller's) that a restore of `header` puts back: the preferences file and
// each store it copied and Apply wrote (not those marked not written), and each value Apply
// pushed (with or without a copy of its domain: without one, Restore removes what Apply made;
// a push that did not happen has no pushed value, and nothing to undo). Each key names a kind of
// state and where it lives, so that a file's content and its extension flag, say, count apart.
void forEachHeldItem(const ManifestHeader& header, const std::function<void(std::string)>& hold);

}  // namespace lumifold
