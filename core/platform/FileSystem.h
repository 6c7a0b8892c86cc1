#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/Bytes.h"

namespace lumifold::platform {

// The core's only door to files and folders. Failures throw lumifold::Error with domain
// "POSIX" (see PosixError.h); queries that can only say yes or no never throw.

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

// Follows symbolic links.
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
// Does not follow: true for the link itself.
bool isSymbolicLink(const std::string& path);

Bytes readFile(const std::string& path);

// Writes `bytes` in full to a new file beside `path`, flushes it to disk, renames it over
// `path` and flushes the folder. A reader sees the old file or the new one, never a mix. What
// it does not guarantee: that a crash during the folder flush keeps the new name, or anything
// on file systems that ignore fsync. A new file gets 0666 less the umask; an existing target's
// permission bits are kept. The temporary file is removed on failure.
void writeFileAtomically(const std::string& path, ByteView bytes);
// The same, but the file ends up with exactly `permissionBits`, whether or not the target
// existed. The temporary file is created 0600 and given its bits only before the rename, so
// the content is never readable more widely than either allows.
void writeFileAtomically(const std::string& path, ByteView bytes, unsigned permissionBits);

// Moves `replacement` over `target` in one step after giving it the target's permission bits
// (when the target exists), as the macOS replace-item operation does. On failure the
// replacement stays where it is.
void replaceItem(const std::string& target, const std::string& replacement);

// Creates `path` and any missing parents with `mode` (an existing folder is left as it is).
void createDirectories(const std::string& path, unsigned mode = 0755);
// Creates the one folder `path` with `mode` (less the umask); its parent must exist. Returns
// false, changing nothing, when anything already exists at `path`, so two callers can never
// both own the same new folder. Throws for any other failure.
bool createDirectoryExclusively(const std::string& path, unsigned mode);
void removeFile(const std::string& path);
// Copies the bytes of `source` to `destination` through an atomic write.
void copyFile(const std::string& source, const std::string& destination);

// Names in `path` that do not start with ".", sorted bytewise.
std::vector<std::string> listDirectory(const std::string& path);

struct DirectoryEntry {
    std::string name;
    bool isDirectory = false;  // the entry itself: a link to a folder is not one
};
// As listDirectory, with each entry's type taken from the listing itself where the file
// system provides it (no stat per entry).
std::vector<DirectoryEntry> listDirectoryEntries(const std::string& path);

// stat(2), following links; nullopt when the path cannot be examined.
std::optional<FileIdentity> fileIdentity(const std::string& path);
std::optional<unsigned> permissionBits(const std::string& path);
void setPermissionBits(const std::string& path, unsigned bits);
std::optional<std::int64_t> modificationTimeNanoseconds(const std::string& path);

// The path with every symbolic link resolved; a path that cannot be resolved comes back as
// given.
std::string resolveSymbolicLinks(const std::string& path);

// $HOME, else the password database's entry for the current user.
std::string homeDirectory();
// $TMPDIR without a trailing slash, else "/tmp".
std::string temporaryDirectory();

}  // namespace lumifold::platform
