#include "core/platform/FileMetadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include "core/common/Paths.h"
#include "core/platform/Descriptor.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

using FinderInfo = std::array<unsigned char, FinderInfoFormat::kSize>;

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

// The item whose attributes are read or written: a path, never following a link at its end,
// or the entry `name` of an open folder.
struct Item {
    const std::string& path;
    int folder = -1;
    const std::string* name = nullptr;
};

// The kernel's attribute calls relative to a folder (6.13 and later); older kernels open the
// entry without following a link and use the descriptor's calls.
#if defined(__x86_64__) || defined(__aarch64__)
constexpr long kSetxattrat = 463;
constexpr long kGetxattrat = 464;
constexpr long kRemovexattrat = 466;
#else
constexpr long kSetxattrat = -1;
constexpr long kGetxattrat = -1;
constexpr long kRemovexattrat = -1;
#endif
struct XattrArgs {
    std::uint64_t value;
    std::uint32_t size;
    std::uint32_t flags;
};
std::atomic<bool> g_xattratMissing = kSetxattrat < 0;

// Calls `relative` when the kernel has the *xattrat calls, else `viaDescriptor` with the entry
// opened without following a link (a link fails as the kernel fails a link's user attributes).
template <typename Relative, typename ViaDescriptor>
ssize_t atEntry(const Item& item, const Relative& relative, const ViaDescriptor& viaDescriptor) {
    if (!g_xattratMissing.load(std::memory_order_relaxed)) {
        const ssize_t result = relative();
        if (result >= 0 || errno != ENOSYS) return result;
        g_xattratMissing = true;
    }
    Descriptor fd(
        ::openat(item.folder, item.name->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ELOOP) errno = EPERM;
        return -1;
    }
    return viaDescriptor(fd.get());
}

ssize_t getAttribute(const Item& item, void* value, std::size_t size) {
    const char* key = FinderInfoFormat::kAttributeName;
    if (item.folder < 0) return ::lgetxattr(item.path.c_str(), key, value, size);
    return atEntry(
        item,
        [&] {
            XattrArgs args{reinterpret_cast<std::uintptr_t>(value),
                           static_cast<std::uint32_t>(size), 0};
            return static_cast<ssize_t>(::syscall(kGetxattrat, item.folder, item.name->c_str(),
                                                  AT_SYMLINK_NOFOLLOW, key, &args, sizeof args));
        },
        [&](int fd) { return ::fgetxattr(fd, key, value, size); });
}

int setAttribute(const Item& item, const void* value, std::size_t size, int flags) {
    const char* key = FinderInfoFormat::kAttributeName;
    if (item.folder < 0) return ::lsetxattr(item.path.c_str(), key, value, size, flags);
    return static_cast<int>(atEntry(
        item,
        [&] {
            XattrArgs args{reinterpret_cast<std::uintptr_t>(value),
                           static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(flags)};
            return static_cast<ssize_t>(::syscall(kSetxattrat, item.folder, item.name->c_str(),
                                                  AT_SYMLINK_NOFOLLOW, key, &args, sizeof args));
        },
        [&](int fd) { return static_cast<ssize_t>(::fsetxattr(fd, key, value, size, flags)); }));
}

int removeAttribute(const Item& item) {
    const char* key = FinderInfoFormat::kAttributeName;
    if (item.folder < 0) return ::lremovexattr(item.path.c_str(), key);
    return static_cast<int>(atEntry(
        item,
        [&] {
            return static_cast<ssize_t>(::syscall(kRemovexattrat, item.folder, item.name->c_str(),
                                                  AT_SYMLINK_NOFOLLOW, key));
        },
        [&](int fd) { return static_cast<ssize_t>(::fremovexattr(fd, key)); }));
}

// The FinderInfo record of an item, as found.
struct FinderInfoRead {
    enum class State { absent, wellFormed, malformed, unreadable } state = State::absent;
    FinderInfo bytes{};
    int error = 0;  // errno when unreadable
};

FinderInfoRead readFinderInfo(const Item& item) {
    FinderInfoRead result;
    const ssize_t length = getAttribute(item, result.bytes.data(), result.bytes.size());
    if (length == static_cast<ssize_t>(FinderInfoFormat::kSize)) {
        result.state = FinderInfoRead::State::wellFormed;
    } else if (length >= 0 || errno == ERANGE) {
        // Shorter, or longer than the buffer: not a FinderInfo record we understand.
        result.state = FinderInfoRead::State::malformed;
        result.bytes = {};
    } else if (errno == ENODATA || errno == ENOTSUP) {
        result.state = FinderInfoRead::State::absent;
    } else {
        result.state = FinderInfoRead::State::unreadable;
        result.error = errno;
    }
    return result;
}

FinderInfoRead readFinderInfo(const std::string& path) { return readFinderInfo(Item{path}); }

unsigned finderFlags(const FinderInfo& info) {
    return (unsigned{info[FinderInfoFormat::kFlagsOffset]} << 8) |
           info[FinderInfoFormat::kFlagsOffset + 1];
}

void storeFinderFlags(FinderInfo& info, unsigned flags) {
    info[FinderInfoFormat::kFlagsOffset] = static_cast<unsigned char>((flags >> 8) & 0xFF);
    info[FinderInfoFormat::kFlagsOffset + 1] = static_cast<unsigned char>(flags & 0xFF);
}

// The flags of a readable record; 0 for an absent or malformed one.
std::optional<unsigned> flagsOf(const std::string& path) {
    const FinderInfoRead info = readFinderInfo(path);
    if (info.state == FinderInfoRead::State::unreadable) return std::nullopt;
    return info.state == FinderInfoRead::State::wellFormed ? finderFlags(info.bytes) : 0u;
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
    const auto flags = flagsOf(path);
    if (!flags) return std::nullopt;
    FileMetadata metadata;
    metadata.isSymbolicLink = S_ISLNK(status->st_mode);
    metadata.isDirectory = S_ISDIR(status->st_mode);
    metadata.isPackage = metadata.isDirectory && (hasPackageExtension(path) ||
                                                  (*flags & FinderInfoFormat::kHasBundle) != 0);
    metadata.hasHiddenExtension = (*flags & FinderInfoFormat::kHasHiddenExtension) != 0;
    return metadata;
}

std::optional<bool> hasHiddenExtension(const std::string& path) {
    // A missing item fails the attribute read itself (ENOENT), so no stat is needed first.
    const auto flags = flagsOf(path);
    if (!flags) return std::nullopt;
    return (*flags & FinderInfoFormat::kHasHiddenExtension) != 0;
}

namespace {

std::optional<ExtensionFlag> extensionFlagOf(const FinderInfoRead& info) {
    switch (info.state) {
        case FinderInfoRead::State::unreadable:
            return std::nullopt;
        case FinderInfoRead::State::malformed:
            return ExtensionFlag::unsettable;
        case FinderInfoRead::State::absent:
            return ExtensionFlag::visible;
        case FinderInfoRead::State::wellFormed:
            break;
    }
    return (finderFlags(info.bytes) & FinderInfoFormat::kHasHiddenExtension) != 0
               ? ExtensionFlag::hidden
               : ExtensionFlag::visible;
}

}  // namespace

std::optional<ExtensionFlag> extensionFlagOfRegularFile(const std::string& path) {
    return extensionFlagOf(readFinderInfo(path));
}

FolderFlagReader::FolderFlagReader(const std::string& folder) {
    if (!g_xattratMissing.load(std::memory_order_relaxed)) {
        m_folder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
}

FolderFlagReader::~FolderFlagReader() {
    if (m_folder >= 0) ::close(m_folder);
}

std::optional<ExtensionFlag> FolderFlagReader::extensionFlagOfRegularFile(
    const std::string& name, const std::string& path) const {
    if (m_folder < 0 || g_xattratMissing.load(std::memory_order_relaxed)) {
        return extensionFlagOf(readFinderInfo(path));
    }
    return extensionFlagOf(readFinderInfo(Item{path, m_folder, &name}));
}

namespace {

void setHiddenExtension(const Item& item, bool hidden) {
    const std::string& path = item.path;
    static constexpr std::string_view kVerb = "set the hidden-extension flag of";
    if (hidden) {
        // Most files have no record yet: creating one is the only access they need. CREATE
        // fails for a file that has one, which is then read and updated below.
        FinderInfo fresh{};
        storeFinderFlags(fresh, FinderInfoFormat::kHasHiddenExtension);
        if (setAttribute(item, fresh.data(), fresh.size(), XATTR_CREATE) == 0) {
            return;
        }
        if (errno != EEXIST) throw posixError(errno, kVerb, path);
    }
    FinderInfoRead info = readFinderInfo(item);
    switch (info.state) {
        case FinderInfoRead::State::unreadable:
            throw posixError(info.error, kVerb, path);
        case FinderInfoRead::State::malformed:
            // Rewriting would destroy bytes whose meaning is unknown.
            throw posixError(EINVAL, kVerb, path);
        case FinderInfoRead::State::absent:
            if (!hidden) return;  // no record already means "not hidden"
            break;
        case FinderInfoRead::State::wellFormed:
            break;
    }
    const unsigned flags = finderFlags(info.bytes);
    const unsigned updated = hidden ? (flags | FinderInfoFormat::kHasHiddenExtension)
                                    : (flags & ~FinderInfoFormat::kHasHiddenExtension);
    if (info.state == FinderInfoRead::State::wellFormed && updated == flags) return;
    storeFinderFlags(info.bytes, updated);
    if (std::all_of(info.bytes.begin(), info.bytes.end(), [](unsigned char b) { return b == 0; })) {
        // All zero says nothing an absent record does not: leave none, as before the flag.
        if (removeAttribute(item) != 0 && errno != ENODATA) {
            throw posixError(errno, kVerb, path);
        }
        return;
    }
    // CREATE or REPLACE, so a record that appeared or vanished since the read is not clobbered.
    const int mode = info.state == FinderInfoRead::State::absent ? XATTR_CREATE : XATTR_REPLACE;
    if (setAttribute(item, info.bytes.data(), info.bytes.size(), mode) != 0) {
        throw posixError(errno, kVerb, path);
    }
}

}  // namespace

void setHasHiddenExtension(const std::string& path, bool hidden) {
    setHiddenExtension(Item{path}, hidden);
}

void setHasHiddenExtensionIn(const OpenFolder& folder, const std::string& name, bool hidden) {
    const std::string path = appending(folder.path(), name);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw fileError(EINVAL, "set the hidden-extension flag of", path, "it is not a file name");
    }
    setHiddenExtension(Item{path, folder.descriptor(), &name}, hidden);
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
