#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

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

// Line and column, from 1, of byte `byte` (from 1) of the file at `path`, for a parse error's
// place; nullopt when the file no longer reads that far.
inline std::optional<std::pair<std::uint64_t, std::uint64_t>> lineAndColumn(const std::string& path,
                                                                            std::uint64_t byte) {
    try {
        const platform::FileHandle file = platform::openForReading(path, kManifestReadLimit);
        std::uint64_t line = 1, column = 0, read = 0;
        char block[64 * 1024];
        while (read < byte) {
            const std::size_t got = std::fread(block, 1, sizeof block, file.get());
            if (got == 0) return std::nullopt;
            for (std::size_t i = 0; i < got && read < byte; ++i, ++read) {
                if (read + 1 == byte) return std::pair{line, column + 1};
                if (block[i] == '\n') {
                    ++line;
                    column = 0;
                } else {
                    ++column;
                }
            }
        }
    } catch (const Error&) {
    }
    return std::nullopt;
}

// Why a manifest cannot serve as snapshot `id`'s, `read` reading it from `path`; nullopt when it
// can. Says where a manifest that is not JSON goes wrong in the file's own lines, never in the
// parser's words.
template <typename Read>
std::optional<std::string> manifestProblem(const std::string& id, const std::string& path,
                                           const Read& read) {
    try {
        const std::string found = read().id;
        if (found == id) return std::nullopt;
        return "its manifest belongs to snapshot " + quotedPath(found);
    } catch (const Error& error) {
        return "its manifest cannot be read: " + error.message();
    } catch (const nlohmann::json::parse_error& error) {
        if (const auto place = lineAndColumn(path, error.byte)) {
            return "its manifest is damaged (line " + std::to_string(place->first) + ", column " +
                   std::to_string(place->second) + ")";
        }
        return std::string("its manifest is damaged");
    } catch (const nlohmann::json::exception&) {
        return std::string("its manifest is damaged (it does not hold a snapshot's records)");
    }
}

}  // namespace lumifold::snapshot_files
