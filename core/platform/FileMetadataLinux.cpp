#include "core/platform/FileMetadata.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include "core/common/Paths.h"
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

// The FinderInfo record of an item, as found.
struct FinderInfoRead {
    enum class State { absent, wellFormed, malformed, unreadable } state = State::absent;
    FinderInfo bytes{};
    int error = 0;  // errno when unreadable
};

FinderInfoRead readFinderInfo(const std::string& path) {
    FinderInfoRead result;
    const ssize_t length = ::lgetxattr(path.c_str(), FinderInfoFormat::kAttributeName,
                                       result.bytes.data(), result.bytes.size());
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

std::optional<ExtensionFlag> extensionFlagOfRegularFile(const std::string& path) {
    const FinderInfoRead info = readFinderInfo(path);
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

void setHasHiddenExtension(const std::string& path, bool hidden) {
    static constexpr std::string_view kVerb = "set the hidden-extension flag of";
    if (hidden) {
        // Most files have no record yet: creating one is the only access they need. CREATE
        // fails for a file that has one, which is then read and updated below.
        FinderInfo fresh{};
        storeFinderFlags(fresh, FinderInfoFormat::kHasHiddenExtension);
        if (::lsetxattr(path.c_str(), FinderInfoFormat::kAttributeName, fresh.data(), fresh.size(),
                        XATTR_CREATE) == 0) {
            return;
        }
        if (errno != EEXIST) throw posixError(errno, kVerb, path);
    }
    FinderInfoRead info = readFinderInfo(path);
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
        if (::lremovexattr(path.c_str(), FinderInfoFormat::kAttributeName) != 0 &&
            errno != ENODATA) {
            throw posixError(errno, kVerb, path);
        }
        return;
    }
    // CREATE or REPLACE, so a record that appeared or vanished since the read is not clobbered.
    const int mode = info.state == FinderInfoRead::State::absent ? XATTR_CREATE : XATTR_REPLACE;
    if (::lsetxattr(path.c_str(), FinderInfoFormat::kAttributeName, info.bytes.data(),
                    info.bytes.size(), mode) != 0) {
        throw posixError(errno, kVerb, path);
    }
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
