#include "core/platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "core/common/Paths.h"
#include "core/platform/PosixError.h"
#include "core/platform/Uuid.h"

namespace lumifold::platform {
namespace {

// Closes a descriptor when it leaves scope; close errors are reported by the callers that
// care (they close explicitly first).
class Descriptor final {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

  private:
    int m_fd;
};

void writeAll(int fd, ByteView bytes, const std::string& path) {
    const std::byte* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw posixError(errno, "write", path);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;  // the rename already happened; a folder we cannot open is not fatal
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isSymbolicLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

Bytes readFile(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw posixError(errno, "read", path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw posixError(errno, "read", path);
    if (S_ISDIR(info.st_mode)) throw posixError(EISDIR, "read", path);
    Bytes bytes;
    bytes.reserve(info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0);
    std::byte buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            throw posixError(errno, "read", path);
        }
        if (count == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + count);
    }
    return bytes;
}

namespace {

// Both atomic writes: `exactBits` fixes the result's permission bits, otherwise a new file
// gets 0666 less the umask and an existing one keeps its bits.
void writeThroughTemporary(const std::string& path, ByteView bytes,
                           std::optional<unsigned> exactBits) {
    const std::string folder = deletingLastPathComponent(path);
    const std::string temporary =
        appending(folder, "." + lastPathComponent(path) + ".tmp." + makeUuidString());
    const mode_t createMode = exactBits ? 0600 : 0666;
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, createMode));
    if (fd.get() < 0) throw posixError(errno, "write", path);
    try {
        writeAll(fd.get(), bytes, path);
        if (const auto bits = exactBits ? exactBits : permissionBits(path)) {
            if (::fchmod(fd.get(), static_cast<mode_t>(*bits)) != 0) {
                throw posixError(errno, "write", path);
            }
        }
        if (::fsync(fd.get()) != 0) throw posixError(errno, "write", path);
        if (::close(fd.release()) != 0) throw posixError(errno, "write", path);
        if (::rename(temporary.c_str(), path.c_str()) != 0) throw posixError(errno, "write", path);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncFolder(folder);
}

}  // namespace

void writeFileAtomically(const std::string& path, ByteView bytes) {
    writeThroughTemporary(path, bytes, std::nullopt);
}

void writeFileAtomically(const std::string& path, ByteView bytes, unsigned bits) {
    writeThroughTemporary(path, bytes, bits);
}

void replaceItem(const std::string& target, const std::string& replacement) {
    if (const auto bits = isRegularFile(target) ? permissionBits(target) : std::nullopt) {
        if (::chmod(replacement.c_str(), *bits) != 0) {
            throw posixError(errno, "replace", target);
        }
    }
    if (::rename(replacement.c_str(), target.c_str()) != 0) {
        throw posixError(errno, "replace", target);
    }
    syncFolder(deletingLastPathComponent(target));
}

void createDirectories(const std::string& path, unsigned mode) {
    if (path.empty() || isDirectory(path)) return;
    const std::string parent = deletingLastPathComponent(path);
    if (!parent.empty() && parent != path) createDirectories(parent, mode);
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
        throw posixError(errno, "create folder", path);
    }
}

bool createDirectoryExclusively(const std::string& path, unsigned mode) {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    if (errno == EEXIST) return false;
    throw posixError(errno, "create folder", path);
}

void removeFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) throw posixError(errno, "remove", path);
}

void copyFile(const std::string& source, const std::string& destination) {
    writeFileAtomically(destination, readFile(source));
}

std::vector<std::string> listDirectory(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) throw posixError(errno, "list", path);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) throw posixError(readError, "list", path);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<DirectoryEntry> listDirectoryEntries(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) throw posixError(errno, "list", path);
    std::vector<DirectoryEntry> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            const std::string child = appending(path, entry->d_name);
            isFolder = ::lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        entries.push_back({entry->d_name, isFolder});
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) throw posixError(readError, "list", path);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return entries;
}

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<unsigned> permissionBits(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<unsigned>(info.st_mode & 07777);
}

void setPermissionBits(const std::string& path, unsigned bits) {
    if (::chmod(path.c_str(), static_cast<mode_t>(bits)) != 0) {
        throw posixError(errno, "set permissions of", path);
    }
}

std::optional<std::int64_t> modificationTimeNanoseconds(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

std::string resolveSymbolicLinks(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/";
}

std::string temporaryDirectory() {
    std::string dir = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') dir = tmp;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace lumifold::platform
