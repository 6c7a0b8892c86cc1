#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/backup/DSStoreBackupItem.h"
#include "core/backup/FileExtensionBackupItem.h"
#include "core/preferences/PushedPreference.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {

// The content of a snapshot's manifest.json: what was copied, with which checksums, and what
// the Apply that took the snapshot changes. Identified by `id`, the snapshot directory's name.
struct BackupManifest {
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
    std::vector<SettingChange> appliedChanges;
    std::vector<FileExtensionBackupItem> fileExtensionBackups;
    // What Apply pushed into the preferences service and what was there before; absent in
    // manifests of older versions, whose restore pushes the copied file's value instead.
    std::optional<std::vector<PushedPreference>> pushedPreferences;
    // Another program changed the preferences file between planning and writing, so Apply
    // left it alone; Restore passes it by.
    bool finderPlistNotWritten = false;

    friend bool operator==(const BackupManifest&, const BackupManifest&) = default;
};

// The field names as keys; createdAt as "2025-01-31T14:05:10Z"; finderPlistPostSHA256 and
// pushedPreferences left out when absent, finderPlistNotWritten when false.
void to_json(nlohmann::json& json, const BackupManifest& manifest);
// Strict: id, createdAt (exactly the form above), finderPlistOriginalPath,
// finderPlistBackupPath, finderPlistOriginalSHA256, dsStoreBackups and appliedChanges are
// required and must not be null. finderPlistPostSHA256, pushedPreferences and
// finderPlistNotWritten may be absent or null; fileExtensionBackups may be absent or null (an
// empty list). Throws nlohmann::json's
// out_of_range or type_error otherwise.
void from_json(const nlohmann::json& json, BackupManifest& manifest);

// The manifest.json text: pretty-printed, the keys of every object in ascending order, and
// every "/" inside strings written as "\/". Throws nlohmann::json::type_error for strings
// that are not valid UTF-8.
std::string encodeManifestFile(const BackupManifest& manifest);
// Reads manifest.json text; throws nlohmann::json::exception for text that is not JSON or not
// a manifest (see from_json).
BackupManifest decodeManifestFile(std::string_view text);

// Writes every "/" of dumped JSON text as "\/". Safe on the whole text: outside strings JSON
// has no "/", and inside them the dump never produces "/" as part of another escape or of a
// multi-byte UTF-8 sequence (continuation bytes are 0x80 and above).
std::string escapingSolidus(std::string_view dumpedJson);

}  // namespace lumifold
