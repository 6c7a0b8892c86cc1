#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/backup/BackupManifest.h"
#include "core/common/Error.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/Sha256.h"
#include "core/preferences/FinderPreferenceKeys.h"

// The layout of a snapshot folder and the small helpers BackupManager's sources share.
namespace lumifold::snapshot_files {

inline constexpr const char* kManifestFileName = "manifest.json";
inline constexpr const char* kSummaryFileName = "summary.json";
// The preferences file's copy keeps the file's name.
inline constexpr const char* kPreferencesCopyName = finder_preferences::kFileName;
inline constexpr const char* kFilesFolderName = "files";
inline constexpr const char* kDSStoreName = dsstore_format::kFileName;
// Snapshots hold another program's settings: only their owner may look inside.
inline constexpr unsigned kPrivateFolderMode = 0700;
inline constexpr unsigned kPrivateFileMode = 0600;
// A manifest lists every file of an Apply; a million of them is far below this.
inline constexpr std::uint64_t kManifestReadLimit = std::uint64_t{1} << 30;

// A name that addresses exactly one entry of a folder.
inline bool isSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

inline std::string quotedPath(const std::string& path) {
    return "\"" + platform::printable(path) + "\"";
}

// The checksum of the file's content, or nullopt when nothing is there or it cannot be read.
inline std::optional<std::string> checksumOfFileIfReadable(const std::string& path) {
    if (!platform::fileExists(path)) return std::nullopt;
    try {
        return platform::sha256Hex(platform::readFile(path));
    } catch (const Error&) {
        return std::nullopt;
    }
}

// The manifest at `path`, read as a stream; throws Error (the file) or nlohmann's exceptions.
inline BackupManifest readManifest(const std::string& path, bool keepChanges,
                                   std::size_t* changeCount = nullptr) {
    const platform::FileHandle file = platform::openForReading(path, kManifestReadLimit);
    return decodeManifestFile(file.get(), keepChanges, changeCount);
}

// Why a manifest cannot serve as snapshot `id`'s, `read` reading it; nullopt when it can.
template <typename Read>
std::optional<std::string> manifestProblem(const std::string& id, const Read& read) {
    try {
        const std::string found = read().id;
        if (found == id) return std::nullopt;
        return "its manifest belongs to snapshot " + quotedPath(found);
    } catch (const Error& error) {
        return "its manifest cannot be read: " + error.message();
    } catch (const nlohmann::json::exception& error) {
        return std::string("its manifest is corrupt: ") + error.what();
    }
}

}  // namespace lumifold::snapshot_files
