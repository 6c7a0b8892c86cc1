// Folders held open and reached without links: openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS where the kernel has it (5.6 and later), else openat with O_NOFOLLOW one
// component at a time.
#include "core/platform/FolderRoot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "core/common/Paths.h"
#include "core/platform/Descriptor.h"
#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Splits `relative` at "/"; nullopt when a component is empty, "." or "..", which a path below
// a root never needs.
std::optional<std::vector<std::string_view>> plainComponents(std::string_view relative) {
    std::vector<std::string_view> components;
    if (relative.empty()) return components;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        const std::string_view part = relative.substr(start, slash - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != part.npos) {
            return std::nullopt;
        }
        components.push_back(part);
        if (slash == std::string_view::npos) return components;
        start = slash + 1;
    }
}

std::string joinedPath(const std::string& root, std::string_view relative) {
    return relative.empty() ? root : appending(root, relative);
}

// "a/b/c" gives "a/b"; "a" gives "".
std::string_view parentPart(std::string_view relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash);
}

std::string_view namePart(std::string_view relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string_view::npos ? relative : relative.substr(slash + 1);
}

Error linkOnTheWay(const std::string& path) {
    return fileError(kLinkOnTheWay, "open", path,
                     "it is a symbolic link, which is never followed below a chosen folder");
}

std::atomic<bool> g_openat2Missing = false;

// openat2 beneath `dirfd`, never through a link; -1 with errno ENOSYS when the kernel lacks it.
int openBeneath(int dirfd, const std::string& relative) {
    if (g_openat2Missing.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = static_cast<std::uint64_t>(kFolderFlags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, dirfd, relative.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno == EINTR || errno == EAGAIN) continue;  // EAGAIN: a rename raced the walk
        // A kernel without openat2, or a filter that forbids it: the walk below does the same.
        if (errno == ENOSYS || errno == EPERM) {
            g_openat2Missing = true;
            errno = ENOSYS;
        }
        return -1;
    }
}

}  // namespace

OpenFolder::OpenFolder(int fd, std::string path, FileIdentity identity, Ownership owner)
    : m_fd(fd), m_path(std::move(path)), m_identity(identity), m_owner(owner) {}

OpenFolder::OpenFolder(OpenFolder&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_path(std::move(other.m_path)),
      m_identity(other.m_identity),
      m_owner(other.m_owner) {}

OpenFolder& OpenFolder::operator=(OpenFolder&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_identity = other.m_identity;
        m_owner = other.m_owner;
    }
    return *this;
}

OpenFolder::~OpenFolder() {
    if (m_fd >= 0) ::close(m_fd);
}

OpenFolder OpenFolder::adopt(int fd, std::string path) {
    Descriptor held(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw posixError(errno, "open", path);
    if (!S_ISDIR(info.st_mode)) throw posixError(ENOTDIR, "open", path);
    return OpenFolder(held.release(), std::move(path),
                      FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                                   static_cast<std::uint64_t>(info.st_ino)},
                      Ownership{info.st_uid, info.st_gid});
}

FolderRoot::FolderRoot(OpenFolder root, std::string resolvedPath)
    : m_root(std::move(root)), m_resolvedPath(std::move(resolvedPath)) {}

FolderRoot FolderRoot::open(const std::string& path) {
    std::string given = path;
    while (given.size() > 1 && given.back() == '/') given.pop_back();
    char* resolved = ::realpath(given.c_str(), nullptr);
    if (resolved == nullptr) throw posixError(errno, "open", given);
    std::string resolvedPath(resolved);
    std::free(resolved);
    // The folder the resolution named, opened without following a link there: a link swapped
    // in since is refused rather than followed to a second place.
    const int fd = ::open(resolvedPath.c_str(), kFolderFlags | O_NOFOLLOW);
    if (fd < 0) throw posixError(errno == ELOOP ? ENOTDIR : errno, "open", given);
    return FolderRoot(OpenFolder::adopt(fd, std::move(given)), std::move(resolvedPath));
}

std::optional<std::string> FolderRoot::relativePathOf(std::string_view path) const {
    for (const std::string* name : {&m_root.path(), &m_resolvedPath}) {
        std::string_view rest;
        if (path == *name) return std::string();
        if (*name == "/") {
            if (!path.starts_with('/')) continue;
            rest = path.substr(1);
        } else {
            if (!path.starts_with(*name) || path.size() <= name->size() ||
                path[name->size()] != '/') {
                continue;
            }
            rest = path.substr(name->size() + 1);
        }
        if (!plainComponents(rest)) return std::nullopt;
        return std::string(rest);
    }
    return std::nullopt;
}

OpenFolder FolderRoot::openFolder(std::string_view relative) const {
    const std::string path = joinedPath(m_root.path(), relative);
    const auto components = plainComponents(relative);
    if (!components) {
        throw fileError(EINVAL, "open", path, "it is not a plain path below a chosen folder");
    }
    if (components->empty()) {
        const int fd = ::openat(m_root.descriptor(), ".", kFolderFlags);
        if (fd < 0) throw posixError(errno, "open", path);
        return OpenFolder::adopt(fd, path);
    }
    const int fd = openBeneath(m_root.descriptor(), std::string(relative));
    if (fd >= 0) return OpenFolder::adopt(fd, path);
    if (errno != ENOSYS && errno != ELOOP) throw posixError(errno, "open", path);
    // Without openat2, or to name the link openat2 met: one component at a time.
    Descriptor current(::dup(m_root.descriptor()));
    if (current.get() < 0) throw posixError(errno, "open", path);
    std::string reached = m_root.path();
    for (const std::string_view component : *components) {
        const std::string name(component);
        reached = appending(reached, name);
        const int next = ::openat(current.get(), name.c_str(), kFolderFlags | O_NOFOLLOW);
        if (next < 0) {
            const int error = errno;
            struct stat info {};
            // O_NOFOLLOW with O_DIRECTORY says ENOTDIR of a link; tell the two apart.
            if ((error == ELOOP || error == ENOTDIR) &&
                ::fstatat(current.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(info.st_mode)) {
                throw linkOnTheWay(reached);
            }
            throw posixError(error, "open", reached);
        }
        current = Descriptor(next);
    }
    return OpenFolder::adopt(current.release(), path);
}

OpenFolder FolderRoot::createFolders(std::string_view relative, unsigned mode) const {
    const auto components = plainComponents(relative);
    if (!components) {
        throw fileError(EINVAL, "create folder", joinedPath(m_root.path(), relative),
                        "it is not a plain path below a chosen folder");
    }
    std::string reached;
    for (const std::string_view component : *components) {
        reached = reached.empty() ? std::string(component) : appending(reached, component);
        const std::string name(component);
        try {
            (void)openFolder(reached);
        } catch (const Error& error) {
            if (error.code() != ENOENT) throw;
            // Made from the folder above it as just opened, so a link swapped in is refused.
            const OpenFolder parent = openFolder(parentPart(reached));
            if (::mkdirat(parent.descriptor(), name.c_str(), static_cast<mode_t>(mode)) != 0 &&
                errno != EEXIST) {
                throw posixError(errno, "create folder", joinedPath(m_root.path(), reached));
            }
        }
    }
    return openFolder(relative);
}

std::string FilePlace::path() const { return appending(folder.path(), name); }

FilePlace placeFile(const FolderRoot& root, std::string_view relative, bool followLink,
                    std::optional<unsigned> createFoldersMode) {
    const std::string path = joinedPath(root.path(), relative);
    std::string name(namePart(relative));
    OpenFolder folder = createFoldersMode
                            ? root.createFolders(parentPart(relative), *createFoldersMode)
                            : root.openFolder(parentPart(relative));
    struct stat info {};
    if (::fstatat(folder.descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(info.st_mode)) {
        return FilePlace{std::move(folder), std::move(name), false};
    }
    if (!followLink) throw fileError(kLinkOnTheWay, "write", path, "it is a symbolic link");
    // Resolved from the folder held open where /proc shows it, so the folders on the way to it
    // cannot be swapped; the place found is reached from the root again below in any case.
    const std::string viaDescriptor =
        "/proc/self/fd/" + std::to_string(folder.descriptor()) + "/" + name;
    char* resolved = ::realpath(viaDescriptor.c_str(), nullptr);
    if (resolved == nullptr && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
        resolved = ::realpath(path.c_str(), nullptr);
    }
    if (resolved == nullptr) throw posixError(errno, "write", path);
    const std::string target(resolved);
    std::free(resolved);
    const auto inside = root.relativePathOf(target);
    if (!inside || inside->empty()) {
        throw fileError(kOutsideRoots, "write", path,
                        "it is a link to \"" + printable(target) + "\", which lies outside \"" +
                            printable(root.path()) + "\"");
    }
    OpenFolder targetFolder = root.openFolder(parentPart(*inside));
    return FilePlace{std::move(targetFolder), std::string(namePart(*inside)), true};
}

FilePlace placeFileUnder(const std::string& rootPath, std::string_view path, bool followLink,
                         std::optional<unsigned> createFoldersMode) {
    const FolderRoot home = FolderRoot::open(rootPath);
    if (const auto relative = home.relativePathOf(path); relative && !relative->empty()) {
        return placeFile(home, *relative, followLink, createFoldersMode);
    }
    const std::string folder = deletingLastPathComponent(path);
    if (createFoldersMode) createDirectories(folder, *createFoldersMode);
    return placeFile(FolderRoot::open(folder), lastPathComponent(path), followLink);
}

}  // namespace lumifold::platform
