#include "core/platform/FileMetadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <variant>

#include "core/common/Paths.h"
#include "core/platform/Descriptor.h"
#include "core/platform/EntryAttributesLinux.h"
#include "core/platform/FinderInfoImage.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

using entry_attributes::getAttribute;
using entry_attributes::Item;
using entry_attributes::removeAttribute;
using entry_attributes::setAttribute;

// Folder name extensions that make a directory a package, compared without regard to ASCII
// case: applications, their plug-ins and extensions, installer packages, and the document
// bundles the Finder shows as single files.
// clang-format off
constexpr std::string_view kPackageExtensions[] = {
    "app", "appex", "bundle", "component", "docset", "dsym", "framework", "kext", "key",
    "mdimporter", "mpkg", "numbers", "pages", "photoslibrary", "pkg", "playground", "plugin",
    "prefpane", "qlgenerator", "rtfd", "saver", "scptd", "systemextension", "wdgt",
    "xcarchive", "xcodeproj", "xcworkspace", "xpc"};
// clang-format on

// No sidecar a Mac writes comes near this; a larger one is left alone.
constexpr std::size_t kSidecarLimit = 64u << 20;

const char* attributeOf(MetadataStore store) {
    switch (store) {
        case MetadataStore::samba:
            return AfpInfoFormat::kAttributeName;
        case MetadataStore::netatalk:
            return AppleDoubleFormat::kNetatalkAttributeName;
        default:
            return FinderInfoFormat::kAttributeName;
    }
}

// The image that holds an item's FinderInfo record in one store, as found.
struct RecordRead {
    enum class State { absent, wellFormed, malformed, unreadable } state = State::absent;
    Bytes image;
    std::size_t offset = 0;  // of the FinderInfo in `image`, when well-formed
    int error = 0;           // errno when unreadable
    std::string problem;     // why it is malformed, naming what holds it
    Descriptor sidecar;      // the sidecar read, open for writing when asked
};

std::string sidecarPath(const Item& item) {
    const std::string name = item.name != nullptr ? *item.name : lastPathComponent(item.path);
    return appending(deletingLastPathComponent(item.path),
                     AppleDoubleFormat::kSidecarPrefix + name);
}

// "<path>", as messages name a file (appended to, not prepended: GCC 12 warns wrongly about
// "literal" + std::string at -O3).
std::string quoted(const std::string& path) {
    std::string text(1, '"');
    text += printable(path);
    text += '"';
    return text;
}

// The sidecar's bytes, never through a link; absent when there is none. With `forWriting` the
// sidecar stays open for reading and writing in `sidecar`, so what is written is what was read.
RecordRead readSidecar(const Item& item, bool forWriting) {
    RecordRead result;
    const std::string path = sidecarPath(item);
    const int flags = (forWriting ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Descriptor fd(::openat(item.folder < 0 ? AT_FDCWD : item.folder,
                           item.folder < 0 ? path.c_str() : lastPathComponent(path).c_str(),
                           flags));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        if (errno == ENOENT) return result;
        result.error = errno;
        if (errno != ELOOP) {
            result.state = RecordRead::State::unreadable;
            return result;
        }
        result.state = RecordRead::State::malformed;
        result.problem = quoted(path) + " is a symbolic link";
        return result;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > static_cast<off_t>(kSidecarLimit)) {
        result.state = RecordRead::State::malformed;
        result.problem =
            quoted(path) + " is " + (S_ISREG(info.st_mode) ? "too large" : "not a regular file");
        return result;
    }
    result.image.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < result.image.size()) {
        const ssize_t got =
            ::read(fd.get(), result.image.data() + done, result.image.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            result.state = RecordRead::State::unreadable;
            result.error = got < 0 ? errno : EIO;
            return result;
        }
        done += static_cast<std::size_t>(got);
    }
    result.state = RecordRead::State::wellFormed;
    if (forWriting) result.sidecar = std::move(fd);
    return result;
}

// readRecord into `result`, whose image's storage is reused: a scan reads a million records.
void readRecordInto(RecordRead& result, const Item& item, MetadataStore store, bool forWriting) {
    result.state = RecordRead::State::absent;
    result.image.clear();
    result.offset = 0;
    result.error = 0;
    result.problem.clear();
    result.sidecar = Descriptor();
    if (store == MetadataStore::appledouble) {
        result = readSidecar(item, forWriting);
    } else {
        // Larger than any image Lumifold reads: 402 bytes for the largest.
        thread_local std::array<std::byte, 4096> buffer;
        const ssize_t length = getAttribute(item, attributeOf(store), buffer.data(), buffer.size());
        if (length >= 0) {
            result.state = RecordRead::State::wellFormed;
            result.image.assign(buffer.begin(), buffer.begin() + length);
        } else if (errno == ERANGE) {
            result.state = RecordRead::State::malformed;
        } else if (errno == ENODATA || errno == ENOTSUP) {
            return;
        } else {
            result.state = RecordRead::State::unreadable;
            result.error = errno;
            return;
        }
    }
    if (result.state != RecordRead::State::wellFormed) {
        if (result.problem.empty() && result.state == RecordRead::State::malformed) {
            result.problem = "its " + std::string(attributeOf(store)) + " is too large";
        }
        return;
    }
    const auto offset = finder_info_image::finderInfoOffset(store, result.image);
    if (const auto* why = std::get_if<std::string>(&offset)) {
        result.state = RecordRead::State::malformed;
        result.problem = store == MetadataStore::appledouble
                             ? quoted(sidecarPath(item)) + " holds " + *why
                             : "its " + std::string(attributeOf(store)) + " holds " + *why;
    } else {
        result.offset = std::get<std::size_t>(offset);
    }
}

RecordRead readRecord(const Item& item, MetadataStore store, bool forWriting = false) {
    RecordRead result;
    readRecordInto(result, item, store, forWriting);
    return result;
}

unsigned finderFlags(const RecordRead& record) {
    const std::byte* at = record.image.data() + record.offset + FinderInfoFormat::kFlagsOffset;
    return (std::to_integer<unsigned>(at[0]) << 8) | std::to_integer<unsigned>(at[1]);
}

void storeFinderFlags(RecordRead& record, unsigned flags) {
    std::byte* at = record.image.data() + record.offset + FinderInfoFormat::kFlagsOffset;
    at[0] = static_cast<std::byte>((flags >> 8) & 0xFF);
    at[1] = static_cast<std::byte>(flags & 0xFF);
}

// The flags of a readable record; 0 for an absent or malformed one.
std::optional<unsigned> flagsOf(const std::string& path, MetadataStore store) {
    const RecordRead record = readRecord(Item{path}, store);
    if (record.state == RecordRead::State::unreadable) return std::nullopt;
    return record.state == RecordRead::State::wellFormed ? finderFlags(record) : 0u;
}

bool hasPackageExtension(const std::string& path) {
    const std::string name = lastPathComponent(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (const std::string_view candidate : kPackageExtensions) {
        if (extension == candidate) return true;
    }
    return false;
}

std::optional<struct stat> linkStatus(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    return info;
}

}  // namespace

std::optional<FileMetadata> fileMetadata(const std::string& path) {
    const auto status = linkStatus(path);
    if (!status) return std::nullopt;
    const auto flags = flagsOf(path, MetadataStore::xattr);
    if (!flags) return std::nullopt;
    FileMetadata metadata;
    metadata.isSymbolicLink = S_ISLNK(status->st_mode);
    metadata.isDirectory = S_ISDIR(status->st_mode);
    metadata.isPackage = metadata.isDirectory && (hasPackageExtension(path) ||
                                                  (*flags & FinderInfoFormat::kHasBundle) != 0);
    metadata.hasHiddenExtension = (*flags & FinderInfoFormat::kHasHiddenExtension) != 0;
    return metadata;
}

std::optional<bool> hasHiddenExtension(const std::string& path, MetadataStore store) {
    // A missing item fails the attribute read itself (ENOENT), so no stat is needed first; a
    // sidecar is not the item, so its file is looked at too.
    if (store == MetadataStore::appledouble && !linkStatus(path)) return std::nullopt;
    const auto flags = flagsOf(path, store);
    if (!flags) return std::nullopt;
    return (*flags & FinderInfoFormat::kHasHiddenExtension) != 0;
}

namespace {

std::optional<ExtensionFlag> extensionFlagOf(const RecordRead& record, std::string* problem) {
    switch (record.state) {
        case RecordRead::State::unreadable:
            return std::nullopt;
        case RecordRead::State::malformed:
            if (problem != nullptr) *problem = record.problem;
            return ExtensionFlag::unsettable;
        case RecordRead::State::absent:
            return ExtensionFlag::visible;
        case RecordRead::State::wellFormed:
            break;
    }
    return (finderFlags(record) & FinderInfoFormat::kHasHiddenExtension) != 0
               ? ExtensionFlag::hidden
               : ExtensionFlag::visible;
}

}  // namespace

std::optional<ExtensionFlag> extensionFlagOfRegularFile(const std::string& path,
                                                        MetadataStore store, std::string* problem) {
    return extensionFlagOf(readRecord(Item{path}, store), problem);
}

FolderFlagReader::FolderFlagReader(const std::string& folder, MetadataStore store)
    : m_folder(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), m_store(store) {}

FolderFlagReader::~FolderFlagReader() {
    if (m_folder >= 0) ::close(m_folder);
}

std::optional<ExtensionFlag> FolderFlagReader::extensionFlagOfRegularFile(
    const std::string& name, const std::string& path, std::string* problem) const {
    if (m_folder < 0) return platform::extensionFlagOfRegularFile(path, m_store, problem);
    thread_local RecordRead record;
    readRecordInto(record, Item{path, m_folder, &name}, m_store, false);
    return extensionFlagOf(record, problem);
}

namespace {

constexpr std::string_view kVerb = "set the hidden-extension flag of";

// Run as root on a file server, a new sidecar belongs to the folder's users as its file does:
// the folder's owner and group, and the file's read and write bits within the folder's own.
// Otherwise it is the creating user's, as any new file. False with errno on failure.
bool belongToFolder(int sidecar, const Item& item, int folder) {
    if (::geteuid() != 0) return true;
    struct stat folderInfo {};
    struct stat fileInfo {};
    const bool statted =
        folder == AT_FDCWD ? ::stat(deletingLastPathComponent(item.path).c_str(), &folderInfo) == 0
                           : ::fstat(folder, &folderInfo) == 0;
    if (!statted || ::fstatat(folder, item.folder < 0 ? item.path.c_str() : item.name->c_str(),
                              &fileInfo, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    return ::fchown(sidecar, folderInfo.st_uid, folderInfo.st_gid) == 0 &&
           ::fchmod(sidecar, fileInfo.st_mode & folderInfo.st_mode & 0666) == 0;
}

// Writes `record`'s image back: the attribute, created or replaced as it was found. A sidecar
// is new, created where none may be yet, or changed in place in its two flag bytes, through the
// descriptor it was read from: every other byte (a resource fork of any size) stays as it is,
// and its owner, bits and attributes with them, as an attribute write keeps the file's.
void writeRecord(const Item& item, MetadataStore store, const RecordRead& record) {
    const bool existed = record.state != RecordRead::State::absent;
    if (store != MetadataStore::appledouble) {
        // CREATE or REPLACE, so a record that appeared or vanished since the read is not
        // clobbered.
        if (setAttribute(item, attributeOf(store), record.image.data(), record.image.size(),
                         existed ? XATTR_REPLACE : XATTR_CREATE) != 0) {
            throw posixError(errno, kVerb, item.path);
        }
        return;
    }
    const std::string sidecar = sidecarPath(item);
    const std::string name = lastPathComponent(sidecar);
    const std::size_t at = record.offset + FinderInfoFormat::kFlagsOffset;
    if (existed) {
        if (::pwrite(record.sidecar.get(), record.image.data() + at, 2, static_cast<off_t>(at)) !=
            2) {
            throw posixError(errno, "write", sidecar);
        }
        return;
    }
    const int folder = item.folder < 0 ? AT_FDCWD : item.folder;
    const char* entry = item.folder < 0 ? sidecar.c_str() : name.c_str();
    Descriptor fd(
        ::openat(folder, entry, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) throw posixError(errno, "create", sidecar);
    if (::write(fd.get(), record.image.data(), record.image.size()) !=
            static_cast<ssize_t>(record.image.size()) ||
        !belongToFolder(fd.get(), item, folder)) {
        const int error = errno != 0 ? errno : EIO;
        ::unlinkat(folder, entry, 0);
        throw posixError(error, "write", sidecar);
    }
}

void removeRecord(const Item& item, MetadataStore store) {
    if (store != MetadataStore::appledouble) {
        if (removeAttribute(item, attributeOf(store)) != 0 && errno != ENODATA) {
            throw posixError(errno, kVerb, item.path);
        }
        return;
    }
    const std::string sidecar = sidecarPath(item);
    const int result = item.folder >= 0
                           ? ::unlinkat(item.folder, lastPathComponent(sidecar).c_str(), 0)
                           : ::unlink(sidecar.c_str());
    if (result != 0 && errno != ENOENT) throw posixError(errno, "remove", sidecar);
}

// The store's fresh image with the flag set, made once.
const Bytes& freshHiddenImage(MetadataStore store) {
    static const std::array<Bytes, 4> kImages = [] {
        std::array<Bytes, 4> images;
        for (const MetadataStore each : {MetadataStore::xattr, MetadataStore::samba,
                                         MetadataStore::netatalk, MetadataStore::appledouble}) {
            Bytes image = finder_info_image::freshImage(each);
            const auto at = std::get<std::size_t>(finder_info_image::finderInfoOffset(each, image));
            image[at + FinderInfoFormat::kFlagsOffset + 1] =
                static_cast<std::byte>(FinderInfoFormat::kHasHiddenExtension);
            images[static_cast<std::size_t>(each)] = std::move(image);
        }
        return images;
    }();
    return kImages[static_cast<std::size_t>(store)];
}

// Most files have no record yet: creating one hidden is the only access they need. True when
// it was made; false when the flag is to be cleared, for a sidecar, or when the file has a
// record (CREATE fails), which setHiddenExtension then reads and updates. `pathOf` names the
// file in an error, so the common case builds no path.
template <typename PathOf>
bool createdHiddenRecord(const Item& item, bool hidden, MetadataStore store, const PathOf& pathOf) {
    if (!hidden || store == MetadataStore::appledouble) return false;
    const Bytes& fresh = freshHiddenImage(store);
    if (setAttribute(item, attributeOf(store), fresh.data(), fresh.size(), XATTR_CREATE) == 0) {
        return true;
    }
    if (errno != EEXIST) throw posixError(errno, kVerb, pathOf());
    return false;
}

// The flag of an item whose record createdHiddenRecord did not make.
void setHiddenExtension(const Item& item, bool hidden, MetadataStore store) {
    const std::string& path = item.path;
    if (store == MetadataStore::appledouble && !linkStatus(path)) {
        throw posixError(errno, kVerb, path);  // no sidecar for a file that is not there
    }
    RecordRead record = readRecord(item, store, true);
    const Bytes fresh = finder_info_image::freshImage(store);
    switch (record.state) {
        case RecordRead::State::unreadable:
            throw posixError(record.error, kVerb, path);
        case RecordRead::State::malformed:
            // Rewriting would destroy bytes whose meaning is unknown.
            throw fileError(EINVAL, kVerb, path, record.problem);
        case RecordRead::State::absent:
            if (!hidden) return;  // no record already means "not hidden"
            record.image = fresh;
            record.offset =
                std::get<std::size_t>(finder_info_image::finderInfoOffset(store, fresh));
            break;
        case RecordRead::State::wellFormed:
            break;
    }
    const unsigned flags = finderFlags(record);
    const unsigned updated = hidden ? (flags | FinderInfoFormat::kHasHiddenExtension)
                                    : (flags & ~FinderInfoFormat::kHasHiddenExtension);
    if (record.state == RecordRead::State::wellFormed && updated == flags) return;
    storeFinderFlags(record, updated);
    if (record.image == fresh) {
        // A record holding nothing a missing one does not: leave none, as before the flag
        // (and a sidecar Lumifold made goes again).
        if (record.state != RecordRead::State::absent) removeRecord(item, store);
        return;
    }
    writeRecord(item, store, record);
}

}  // namespace

void setHasHiddenExtension(const std::string& path, bool hidden, MetadataStore store) {
    if (createdHiddenRecord(Item{path}, hidden, store, [&] { return path; })) return;
    setHiddenExtension(Item{path}, hidden, store);
}

void setHasHiddenExtensionIn(const OpenFolder& folder, const std::string& name, bool hidden,
                             MetadataStore store) {
    const auto pathOf = [&] { return appending(folder.path(), name); };
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw fileError(EINVAL, kVerb, pathOf(), "it is not a file name");
    }
    // Relative to the folder, the item needs no path of its own until an error names it.
    static const std::string kNoPath;
    if (createdHiddenRecord(Item{kNoPath, folder.descriptor(), &name}, hidden, store, pathOf)) {
        return;
    }
    const std::string path = pathOf();
    setHiddenExtension(Item{path, folder.descriptor(), &name}, hidden, store);
}

bool isPackage(const std::string& path) {
    const auto metadata = fileMetadata(path);
    return metadata && metadata->isPackage;
}

bool isUbiquitousItem(const std::string&) { return false; }

std::optional<UbiquitousDownloadingStatus> ubiquitousItemDownloadingStatus(const std::string&) {
    return std::nullopt;
}

}  // namespace lumifold::platform
