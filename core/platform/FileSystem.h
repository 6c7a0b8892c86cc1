#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The type of an item itself: a link is a link, whatever it points to.
enum class EntryType { regular, directory, symbolicLink, other };

// Follows symbolic links.
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
// Does not follow: true for the link itself.
bool isSymbolicLink(const std::string& path);
// The item at the path itself (lstat); nullopt when nothing is there or it cannot be examined,
// with the reason in `problem` when it could not be examined for a reason other than being
// gone (a folder on the way that may not be searched).
std::optional<EntryType> entryType(const std::string& path, std::string* problem = nullptr);

// Whole-file reads refuse more than this unless told otherwise: stores and preferences files
// are kilobytes, so a bigger one is damaged or hostile.
inline constexpr std::uint64_t kDefaultReadLimit = std::uint64_t{64} << 20;
// Codes of the "POSIX" errors readFile raises for things that are not plain files.
inline constexpr int kNotRegularFile = EINVAL;
inline constexpr int kFileTooLarge = EFBIG;

// Reads a whole regular file, following links. Never blocks and never streams without end: it
// opens without waiting (a FIFO), refuses anything that is not a regular file (a FIFO, a
// device, a socket, a folder; so a link to /dev/zero too) and any file longer than `limit`.
// Throws Error "POSIX" naming the path.
Bytes readFile(const std::string& path, std::uint64_t limit = kDefaultReadLimit);
// The same checks, for a file read as a stream (a manifest of a million entries need not be
// in memory whole). Throws as readFile does.
using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
FileHandle openForReading(const std::string& path, std::uint64_t limit = kDefaultReadLimit);

// What the target of replaceFile held when its new content was planned.
struct PlannedContent {
    bool existed = true;
    ByteView bytes;  // meaningful when `existed`
};

struct ReplaceOptions {
    // Replace only when the target still holds exactly this; otherwise change nothing.
    std::optional<PlannedContent> unlessChangedFrom;
    // The new file's bits, whatever the target had. Without them the new file keeps the
    // target's bits (0666 less the umask for a new file).
    std::optional<unsigned> exactPermissionBits;
    // A file that did not exist belongs to its folder's users rather than to this process:
    // as root, it takes the folder's owner and group and, unless exactPermissionBits says
    // otherwise, sharedFileBits (FolderRoot.h). Lumifold run as root on a file server so makes
    // files the share's users can still change.
    bool belongsToFolderWhenNew = false;
    // False leaves the folder's flush (which makes the rename last) to the caller, who writes
    // in many folders and flushes each once at the end (flushFolder, FolderRoot.h): one flush
    // after many renames costs a journal commit where one per rename costs one each.
    bool flushFolder = true;
};

// Writes `bytes` in full to a temporary file beside the target (".<name>.tmp.<UUID>", created
// with no wider bits than the result), flushes it, gives it the target's permission bits,
// extended attributes and (where this process may set them: as root, or when they are already
// its own) owner and group, renames it over the target and flushes the folder. A reader sees the
// old file or the new one, never a mix. The folder is opened once (links in its path followed)
// and every step names an entry of it; a link, or anything but a regular file, at the target is
// refused. What it does not guarantee: that a crash during the folder flush keeps the new name,
// or anything on file systems that ignore fsync. Returns false, having changed nothing, when
// `unlessChangedFrom` no longer holds. Throws Error "POSIX" naming the target (never the
// temporary file, which is removed on failure).
bool replaceFile(const std::string& path, ByteView bytes, const ReplaceOptions& options = {});
// The same, with the content written as `produce` hands it over, piece by piece, so a large
// file never has to exist in memory whole. An exception from `produce` removes the temporary
// file and leaves the target as it was.
using ByteWriter = std::function<void(ByteView)>;
bool replaceFileWith(const std::string& path, const std::function<void(const ByteWriter&)>& produce,
                     const ReplaceOptions& options = {});
// replaceFile with no conditions.
void writeFileAtomically(const std::string& path, ByteView bytes);
// The same, but the file ends up with exactly `permissionBits`. The temporary file is created
// with no wider bits, so the content is never readable more widely than the result allows.
void writeFileAtomically(const std::string& path, ByteView bytes, unsigned permissionBits);

// Files written new into one folder (a snapshot's copies) and flushed together: each is created
// exclusively, handed to the disk as it is written, and flush() waits for them all and makes the
// folder's entries last. A flush per file costs a journal commit each; these share a few.
// Nothing written is known to be on disk until flush() returns.
class NewFiles final {
  public:
    // Opens `folder`. Throws Error "POSIX".
    explicit NewFiles(const std::string& folder);
    ~NewFiles();
    NewFiles(const NewFiles&) = delete;
    NewFiles& operator=(const NewFiles&) = delete;

    // Creates `name` (nothing may be there) with exactly `permissionBits`, holding `bytes`.
    // Throws Error "POSIX" naming the file, which is then removed.
    void write(const std::string& name, ByteView bytes, unsigned permissionBits);
    // Flushes every file written and the folder. Throws Error "POSIX".
    void flush();

  private:
    void flushFiles();

    std::string m_folder;
    int m_descriptor = -1;
    std::vector<std::pair<int, std::string>> m_unflushed;  // descriptor and path
};

// True for names replaceFile gives its temporary files for a target called `targetName`
// (also those of earlier versions, which nested one temporary name in another); an empty
// `targetName` stands for any target.
bool isOwnTemporaryName(std::string_view name, std::string_view targetName);
// Removes the regular files in `folder` that carry one of our temporary names for any of
// `targetNames`: what a killed write leaves behind. Never follows links; best effort, never
// throws. Returns how many were removed.
std::size_t removeOwnTemporaryFiles(const std::string& folder,
                                    const std::vector<std::string>& targetNames);

// Creates the file `path` (0600; nothing may be there) holding `size` bytes of disk space, so a
// later write can have them back by removing it. Throws Error "POSIX" (ENOSPC when the disk
// lacks them), leaving nothing behind.
void reserveFile(const std::string& path, std::uint64_t size);

// Creates `path` and any missing parents with `mode` (an existing folder is left as it is).
void createDirectories(const std::string& path, unsigned mode = 0755);
// Creates the one folder `path` with `mode` (less the umask); its parent must exist. Returns
// false, changing nothing, when anything already exists at `path`, so two callers can never
// both own the same new folder. Throws for any other failure.
bool createDirectoryExclusively(const std::string& path, unsigned mode);
void removeFile(const std::string& path);
// Removes a folder and everything in it; a link inside is removed, never followed. Throws
// Error "POSIX" for the first entry that cannot be removed.
void removeTree(const std::string& path);
// Copies the bytes of `source` to `destination` through an atomic write.
void copyFile(const std::string& source, const std::string& destination);

// Names in `path`, sorted bytewise; those starting with "." only when `includeHidden`.
std::vector<std::string> listDirectory(const std::string& path, bool includeHidden = false);

struct DirectoryEntry {
    std::string name;
    EntryType type = EntryType::other;
};
// As listDirectory, with each entry's type taken from the listing itself where the file
// system provides it (no stat per entry).
std::vector<DirectoryEntry> listDirectoryEntries(const std::string& path,
                                                 bool includeHidden = false);

// A folder's entries end to end, each as its type's byte, its name and a NUL (no name holds
// one), in the order the file system lists them: one buffer for a folder whose million files
// would otherwise cost a string each.
class PackedEntries final {
  public:
    struct Entry {
        std::string_view name;
        EntryType type;
    };
    class Iterator {
      public:
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        Iterator() = default;
        explicit Iterator(const char* at) : m_at(at) {}
        Entry operator*() const {
            return {std::string_view(m_at + 1), static_cast<EntryType>(*m_at)};
        }
        Iterator& operator++() {
            m_at += 2 + std::char_traits<char>::length(m_at + 1);
            return *this;
        }
        Iterator operator++(int) {
            Iterator was = *this;
            ++*this;
            return was;
        }
        bool operator==(const Iterator&) const = default;

      private:
        const char* m_at = nullptr;
    };

    void add(std::string_view name, EntryType type) {
        m_bytes += static_cast<char>(type);
        m_bytes += name;
        m_bytes += '\0';
    }
    Iterator begin() const { return Iterator(m_bytes.data()); }
    Iterator end() const { return Iterator(m_bytes.data() + m_bytes.size()); }
    std::size_t byteSize() const { return m_bytes.size(); }
    // Whether the folder held one of our temporary names (isOwnTemporaryName), hidden or not:
    // what a killed write left, found by the listing that leaves hidden entries out.
    void noteOwnTemporaryFile() { m_ownTemporaryFile = true; }
    bool holdsOwnTemporaryFile() const { return m_ownTemporaryFile; }

  private:
    std::string m_bytes;
    bool m_ownTemporaryFile = false;
};
// As listDirectoryEntries, packed and in the listing's own order.
PackedEntries listPackedEntries(const std::string& path, bool includeHidden = false);

// Whether `path` holds a file (a regular file, or an entry the listing gives no type) whose name
// starts with `prefix`; the listing stops at the first. False when it cannot be listed.
bool holdsFileStartingWith(const std::string& path, std::string_view prefix);

// The names of the folders in `path` that are not hidden, from the listing's types (a link to a
// folder is not one), sorted bytewise; a tree's walk needs no other entry.
std::vector<std::string> listSubfolders(const std::string& path);

// stat(2), following links; nullopt when the path cannot be examined.
std::optional<FileIdentity> fileIdentity(const std::string& path);
// lstat(2) of a folder; nullopt when the path is not one (a link to one included), with the
// reason in `problem` when it could not be examined for a reason other than being gone.
std::optional<FileIdentity> folderIdentity(const std::string& path, std::string* problem = nullptr);
std::optional<unsigned> permissionBits(const std::string& path);
void setPermissionBits(const std::string& path, unsigned bits);
std::optional<std::int64_t> modificationTimeNanoseconds(const std::string& path);
std::optional<std::uint64_t> fileSize(const std::string& path);

// The path with every symbolic link resolved; a path that cannot be resolved comes back as
// given.
std::string resolveSymbolicLinks(const std::string& path);

// resolveSymbolicLinks for the many folders of one tree: each folder's resolved path is kept, so
// a path below one costs one lstat rather than a readlink per component. For one stage: links
// that change meanwhile are not seen again.
class PathResolver final {
  public:
    const std::string& resolve(const std::string& path);

  private:
    std::unordered_map<std::string, std::string> m_resolved;
};

// True when standard error, or standard output, is a terminal a person watches (not a file or a
// pipe).
bool standardErrorIsTerminal();
bool standardOutputIsTerminal();

// Reads standard input into `into`: the bytes read, 0 at its end. A failed read throws the
// system's error (a folder given as the input fails, rather than reading as empty).
std::size_t readStandardInput(std::span<char> into);
// The bytes left in standard input when it is a regular file; nullopt for anything else.
std::optional<std::uint64_t> standardInputSize();

// $HOME, else the password database's entry for the current user; empty when neither names
// one (never "/" as a guess: every stage would then work on the whole disk).
std::string homeDirectory();
// $TMPDIR without a trailing slash, else "/tmp".
std::string temporaryDirectory();

}  // namespace lumifold::platform
