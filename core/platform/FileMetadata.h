#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/platform/FinderInfoImage.h"

namespace lumifold::platform {

// Per-item metadata the Finder keeps beside a file's content: the hidden-extension flag, the
// package test and the cloud-item state. Every query describes the item at the path itself: a
// symbolic link is never followed, so a link to a folder is a link, not a directory.
//
// On Linux the flag lives in the 32-byte FinderInfo record (layout in FinderInfoFormat below),
// kept in one of the stores of FinderInfoImage.h: by default the extended attribute
// "user.com.apple.FinderInfo". Linux keeps user extended attributes only on regular files and
// directories, so a symbolic link never has the flag and setting it on one fails. A sidecar is
// never read or written through a link. (isSymbolicLink of FileSystem.h answers the link test
// alone.)

namespace FinderInfoFormat {
// FinderInfo, 32 bytes:
//   0..3   file type            (four-character code)
//   4..7   creator              (four-character code)
//   8..9   finder flags         (big-endian 16 bits)
//   10..15 location, reserved
//   16..31 extended finder info
inline constexpr const char* kAttributeName = "user.com.apple.FinderInfo";
inline constexpr std::size_t kSize = 32;
inline constexpr std::size_t kFlagsOffset = 8;
inline constexpr unsigned kHasHiddenExtension = 0x0010;
// A folder with this flag is shown as a single item (a package) whatever its name.
inline constexpr unsigned kHasBundle = 0x2000;
}  // namespace FinderInfoFormat

// The cloud-download state of an item kept in a cloud drive.
enum class UbiquitousDownloadingStatus { notDownloaded, downloaded, current };

// The resource values of one item, read together.
struct FileMetadata {
    bool isSymbolicLink = false;
    // A directory itself (not a link to one).
    bool isDirectory = false;
    // A directory shown as a single item: see isPackage().
    bool isPackage = false;
    bool hasHiddenExtension = false;
    bool isUbiquitousItem = false;
    // Absent for items that are not in a cloud drive.
    std::optional<UbiquitousDownloadingStatus> ubiquitousItemDownloadingStatus;
    friend bool operator==(const FileMetadata&, const FileMetadata&) = default;
};

// All resource values of the item at `path`; nullopt when the item cannot be examined (it does
// not exist, or a folder on the way cannot be searched).
std::optional<FileMetadata> fileMetadata(const std::string& path);

// The item's hidden-extension flag. false when the item has no FinderInfo record, when its file
// system keeps no extended attributes, or when the record is malformed (not 32 bytes); nullopt
// when the item cannot be examined.
std::optional<bool> hasHiddenExtension(const std::string& path,
                                       MetadataStore store = MetadataStore::xattr);

// The hidden-extension flag as something to act on: `unsettable` for an item whose flag can
// never be set (anything but a regular file, or a damaged record, which is never rewritten: one
// of the wrong size, magic or version, or a sidecar that is a link or no regular file; then
// `problem` says why, naming what holds it); nullopt when the item cannot be examined.
enum class ExtensionFlag { visible, hidden, unsettable };
// For an item its folder's listing already showed to be a regular file: one read.
std::optional<ExtensionFlag> extensionFlagOfRegularFile(const std::string& path,
                                                        MetadataStore store = MetadataStore::xattr,
                                                        std::string* problem = nullptr);

// extensionFlagOfRegularFile for the entries of one folder, each read relative to the folder
// held open (getxattrat where the kernel has it, a sidecar by openat), so it looks up one name
// rather than walking the whole path again: that walk was a fifth of a tree's scan. When the
// folder cannot be opened, each is read by its path.
class FolderFlagReader final {
  public:
    explicit FolderFlagReader(const std::string& folder,
                              MetadataStore store = MetadataStore::xattr);
    FolderFlagReader(const FolderFlagReader&) = delete;
    FolderFlagReader& operator=(const FolderFlagReader&) = delete;
    ~FolderFlagReader();

    // `name` an entry of the folder, `path` the same entry's path.
    std::optional<ExtensionFlag> extensionFlagOfRegularFile(const std::string& name,
                                                            const std::string& path,
                                                            std::string* problem = nullptr) const;

  private:
    int m_folder = -1;
    MetadataStore m_store;
};

// Sets or clears the hidden-extension flag in `store`, keeping every other byte of the image
// that holds the record. A missing image is created as the store's fresh one
// (finder_info_image::freshImage); one that clearing leaves equal to a fresh one is removed, as
// one that was never there (clearing the flag of an item without a record writes nothing), so
// a sidecar Lumifold made goes again. Throws Error (domain "POSIX") when the item cannot be
// examined or written, including EPERM for a symbolic link, and EINVAL when the existing record
// is damaged: it is left exactly as it is rather than replaced by a guess.
void setHasHiddenExtension(const std::string& path, bool hidden,
                           MetadataStore store = MetadataStore::xattr);
// The same for the entry `name` of an open folder, so that no folder swapped in on the way is
// followed (see FolderRoot.h).
class OpenFolder;
void setHasHiddenExtensionIn(const OpenFolder& folder, const std::string& name, bool hidden,
                             MetadataStore store = MetadataStore::xattr);

// True for a directory (not a link to one) whose name ends with a package extension (compared
// without regard to ASCII case; see kPackageExtensions in the source) or that carries the
// FinderInfo bundle flag.
bool isPackage(const std::string& path);

// Linux has no cloud drive the Finder knows of: always false.
bool isUbiquitousItem(const std::string& path);
// Linux: always absent, as for any item outside a cloud drive.
std::optional<UbiquitousDownloadingStatus> ubiquitousItemDownloadingStatus(const std::string& path);

}  // namespace lumifold::platform
