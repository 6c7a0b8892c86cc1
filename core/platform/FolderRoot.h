#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Bytes.h"
#include "core/platform/FileSystem.h"

namespace lumifold::platform {

// Writes that stay where they were sent. A folder the user named (the home, a chosen folder) is
// resolved once, links included, and held open as a root; every folder below it is reached
// from that descriptor one component at a time without following a link, and every write and
// every attribute change names an entry of a folder held open. So nothing swapped in on the way
// after a check is ever followed: the check and the write use the same descriptors.

// Codes of the "POSIX" errors these operations raise beyond errno's own.
inline constexpr int kLinkOnTheWay = ELOOP;  // a component below a root is a symbolic link
inline constexpr int kOutsideRoots = EXDEV;  // a path that lies in no root, or a link out of one

// The owner of an item, as stat gives it.
struct Ownership {
    std::uint32_t user = 0;
    std::uint32_t group = 0;
};

// A folder held open. Whatever is renamed or replaced on the path to it later, operations
// through it act on entries of this very folder. Move-only.
class OpenFolder final {
  public:
    OpenFolder(OpenFolder&& other) noexcept;
    OpenFolder& operator=(OpenFolder&& other) noexcept;
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    ~OpenFolder();

    // The path it was reached by, for messages and for naming its entries.
    const std::string& path() const { return m_path; }
    FileIdentity identity() const { return m_identity; }
    Ownership owner() const { return m_owner; }
    // The descriptor, for the platform layer's own calls; owned by this object.
    int descriptor() const { return m_fd; }

    // Takes `fd`, an open folder, checking it is one. Throws Error "POSIX" naming `path`.
    static OpenFolder adopt(int fd, std::string path);

  private:
    OpenFolder(int fd, std::string path, FileIdentity identity, Ownership owner);
    int m_fd;
    std::string m_path;
    FileIdentity m_identity;
    Ownership m_owner;
};

// A folder resolved once (links included) and held open; everything below it is reached from
// it without following links.
class FolderRoot final {
  public:
    // Throws Error "POSIX" naming `path` when it cannot be resolved or opened, or is no folder.
    static FolderRoot open(const std::string& path);

    // As given (without a trailing slash), and with its links resolved.
    const std::string& path() const { return m_root.path(); }
    const std::string& resolvedPath() const { return m_resolvedPath; }
    const OpenFolder& folder() const { return m_root; }

    // The part of `path` below the root ("" for the root itself) when `path` lies in it by
    // either of the root's names; nullopt otherwise, and for a path with an empty, "." or ".."
    // component below the root.
    std::optional<std::string> relativePathOf(std::string_view path) const;
    // The folder `relative` (components joined by "/"; "" for the root) below the root, never
    // through a link, "." or "..". Throws Error "POSIX": kLinkOnTheWay naming the first
    // component that is a link, ENOENT or ENOTDIR when it is missing or no folder.
    OpenFolder openFolder(std::string_view relative) const;
    // The same, creating each missing folder with `mode`.
    OpenFolder createFolders(std::string_view relative, unsigned mode) const;

  private:
    FolderRoot(OpenFolder root, std::string resolvedPath);
    OpenFolder m_root;
    std::string m_resolvedPath;
};

// Where a write to a file lands: the entry `name` of `folder`.
struct FilePlace {
    OpenFolder folder;
    std::string name;
    // The file was reached through a symbolic link at the path asked for.
    bool throughLink = false;
    std::string path() const;
};

// The place of the file `relative` below `root`. A symbolic link at the file itself is
// followed only when `followLink`, and only to a file that lies below the same root (a
// preferences file a sync tool keeps as a link into its folder); its folder is then reached as
// any other. With `createFoldersMode`, missing folders on the way are made with those bits.
// Throws Error "POSIX": kOutsideRoots naming a link that leads elsewhere, kLinkOnTheWay for a
// link it may not follow, and the errors of openFolder.
FilePlace placeFile(const FolderRoot& root, std::string_view relative, bool followLink,
                    std::optional<unsigned> createFoldersMode = std::nullopt);
// placeFile for the absolute `path`: below the root `rootPath` when it lies there, else below
// its own folder (a path the caller chose outside it).
FilePlace placeFileUnder(const std::string& rootPath, std::string_view path, bool followLink,
                         std::optional<unsigned> createFoldersMode = std::nullopt);

// The folders a run may write in: roots, whose whole trees it may write, and folders where it
// may write one named file only (a chosen folder's parent, for that folder's record there).
// The bounds come from the caller, never from the data being restored.
class WriteBounds final {
  public:
    // Opens `path` as a root. Throws as FolderRoot::open.
    void addRoot(const std::string& path);
    // Opens `path` as a folder where only `name` may be written.
    void addFileOnly(const std::string& path, std::string name);

    // True when the file `path` may be written: below a root, or a file-only folder's file.
    // Purely textual; opening is where links are refused.
    bool allows(std::string_view path) const;
    // The folder holding the file `path`, opened from the deepest root that holds it (or the
    // file-only folder it is the file of). Throws Error "POSIX" kOutsideRoots when none holds
    // it, and the errors of FolderRoot::openFolder.
    OpenFolder openFolderOf(std::string_view path) const;
    // The folder `path` itself, opened from the deepest root holding it. Throws as
    // openFolderOf.
    OpenFolder openFolder(std::string_view path) const;

  private:
    struct FileOnly {
        FolderRoot root;
        std::string name;
    };
    // The deepest root holding `path` and the part below it.
    std::optional<std::pair<const FolderRoot*, std::string>> rootOf(std::string_view path) const;

    std::vector<FolderRoot> m_roots;
    std::vector<FileOnly> m_fileOnly;
};

// The operations on entries of an open folder. `name` is one path component; a link at it is
// never followed.

// replaceFileWith (FileSystem.h) for the entry `name` of `folder`. A link or anything but a
// regular file at `name` is refused (ELOOP, kNotRegularFile). With `unlessChangedFrom`, the
// new file is swapped in and the one it displaced compared with the planned bytes in the
// same step; a file another writer changed or replaced meanwhile is swapped back, so its
// content survives even a writer that acts between our check and our rename.
bool replaceFileIn(const OpenFolder& folder, const std::string& name,
                   const std::function<void(const ByteWriter&)>& produce,
                   const ReplaceOptions& options = {});
bool replaceFileIn(const OpenFolder& folder, const std::string& name, ByteView bytes,
                   const ReplaceOptions& options = {});
// replaceFileIn in two steps, so that many files can be written before any is flushed: the
// first writes the temporary file in full and hands it to the disk; complete() flushes it and
// puts it in place. Files written together and then flushed cost one journal commit between
// them, where writing and flushing each in turn costs one each. `folder` must outlive it; a
// temporary file never completed is removed.
class StagedReplacement final {
  public:
    // Throws as replaceFileIn, having left nothing behind.
    StagedReplacement(const OpenFolder& folder, std::string name, ByteView bytes,
                      ReplaceOptions options);
    StagedReplacement(StagedReplacement&& other) noexcept;
    StagedReplacement& operator=(StagedReplacement&&) = delete;
    ~StagedReplacement();

    // replaceFileIn's result. Call once.
    bool complete();

  private:
    StagedReplacement(const OpenFolder& folder, std::string name,
                      const std::function<void(const ByteWriter&)>& produce,
                      ReplaceOptions options);
    friend bool replaceFileIn(const OpenFolder&, const std::string&,
                              const std::function<void(const ByteWriter&)>&, const ReplaceOptions&);

    int m_folder;
    std::string m_name;
    std::string m_path;
    ReplaceOptions m_options;
    std::string m_temporary;  // empty when there is nothing to put in place
    int m_file = -1;          // the temporary file, until flushed
};
// Flushes the folder's entries to disk (after replaceFileIn with flushFolder false).
void flushFolder(const OpenFolder& folder);
// The entry's type; nullopt when there is none (or it cannot be examined).
std::optional<EntryType> entryTypeIn(const OpenFolder& folder, const std::string& name);
// readFile of the entry, refusing a link as anything else that is not a regular file.
Bytes readFileIn(const OpenFolder& folder, const std::string& name,
                 std::uint64_t limit = kDefaultReadLimit);
// Every entry of the folder, hidden ones too, with its type as listDirectoryEntries gives it.
// Throws Error "POSIX".
std::vector<DirectoryEntry> listEntriesIn(const OpenFolder& folder);
// The permission bits for a file made in `folder` for its users: those most of its regular
// files have (among the first kSharedBitsSample listed; of equal counts the smaller number), never
// more than the folder's own read and write bits allow each class, and never executable. A
// folder without files gives its own read and write bits.
inline constexpr std::size_t kSharedBitsSample = 64;
unsigned sharedFileBits(const OpenFolder& folder);
// Removes the entry, a file or a link, never a folder. Throws Error "POSIX".
void removeFileIn(const OpenFolder& folder, const std::string& name);
// removeOwnTemporaryFiles for an open folder.
std::size_t removeOwnTemporaryFilesIn(const OpenFolder& folder,
                                      const std::vector<std::string>& targetNames);

}  // namespace lumifold::platform
