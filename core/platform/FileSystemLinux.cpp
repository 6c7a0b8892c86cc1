#include "core/platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
    Descriptor(Descriptor&& other) noexcept : m_fd(other.release()) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
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

bool isSymbolicLink(const std::string& path) { return entryType(path) == EntryType::symbolicLink; }

std::optional<EntryType> entryType(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    if (S_ISREG(info.st_mode)) return EntryType::regular;
    if (S_ISDIR(info.st_mode)) return EntryType::directory;
    if (S_ISLNK(info.st_mode)) return EntryType::symbolicLink;
    return EntryType::other;
}

namespace {

Error tooLargeError(const std::string& path, std::uint64_t limit) {
    return fileError(kFileTooLarge, "read", path,
                     "it is larger than " + std::to_string(limit >> 20) + " MiB");
}

// Opens `path` for reading without ever waiting (O_NONBLOCK: a FIFO is refused, not waited
// for) and only when it is a regular file of at most `limit` bytes.
Descriptor openRegularFile(const std::string& path, std::uint64_t limit, struct stat& info) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) throw posixError(errno, "read", path);
    if (::fstat(fd.get(), &info) != 0) throw posixError(errno, "read", path);
    if (S_ISDIR(info.st_mode)) throw posixError(EISDIR, "read", path);
    if (!S_ISREG(info.st_mode)) {
        throw fileError(kNotRegularFile, "read", path, "it is not a regular file");
    }
    if (static_cast<std::uint64_t>(info.st_size) > limit) throw tooLargeError(path, limit);
    return fd;
}

}  // namespace

FileHandle openForReading(const std::string& path, std::uint64_t limit) {
    struct stat info {};
    Descriptor fd = openRegularFile(path, limit, info);
    std::FILE* file = ::fdopen(fd.get(), "rb");
    if (file == nullptr) throw posixError(errno, "read", path);
    fd.release();
    return FileHandle(file, &std::fclose);
}

Bytes readFile(const std::string& path, std::uint64_t limit) {
    struct stat info {};
    Descriptor fd = openRegularFile(path, limit, info);
    const auto tooLarge = [&] { return tooLargeError(path, limit); };
    // One byte more than the file holds, so the read that finds its end needs no larger buffer:
    // a thousand small stores held for a plan must not cost 64 KiB each.
    Bytes bytes(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        // The file may grow while it is read; read on until its end, within the limit.
        if (filled == bytes.size()) {
            if (bytes.size() > limit) throw tooLarge();
            bytes.resize(std::max<std::size_t>(bytes.size() * 2, 64 * 1024));
        }
        const ssize_t count = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR) continue;
            throw posixError(errno, "read", path);
        }
        if (count == 0) break;
        filled += static_cast<std::size_t>(count);
    }
    if (filled > limit) throw tooLarge();
    bytes.resize(filled);
    return bytes;
}

namespace {

constexpr std::string_view kTemporaryInfix = ".tmp.";
constexpr std::size_t kUuidLength = 36;

bool isUuidText(std::string_view text) {
    if (text.size() != kUuidLength) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// Copies every extended attribute of `from` to `to`. An attribute of the user's namespace that
// cannot be copied fails the replacement (it would be lost); the system namespaces (labels,
// access lists, root's trusted ones) are copied where this process may.
void copyExtendedAttributes(int from, int to, const std::string& path) {
    std::vector<char> names(1024);
    ssize_t length = 0;
    while ((length = ::flistxattr(from, names.data(), names.size())) < 0) {
        if (errno == ENOTSUP) return;
        if (errno != ERANGE) throw posixError(errno, "copy the attributes of", path);
        names.resize(names.size() * 4);
    }
    std::vector<char> value;
    for (ssize_t at = 0; at < length;) {
        const std::string name(names.data() + at);
        at += static_cast<ssize_t>(name.size()) + 1;
        ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
        if (size >= 0) {
            value.resize(static_cast<std::size_t>(size));
            size = ::fgetxattr(from, name.c_str(), value.data(), value.size());
        }
        const bool copied = size >= 0 && ::fsetxattr(to, name.c_str(), value.data(),
                                                     static_cast<std::size_t>(size), 0) == 0;
        if (!copied && name.starts_with("user.")) {
            throw posixError(errno, "copy the attributes of", path);
        }
    }
}

// Gives the new file at `fd` the owner, group, bits and attributes of the existing `target`
// (open at `targetFd`).
void takeOverMetadata(int fd, int targetFd, const struct stat& target, const std::string& path) {
    // Owner first: changing it clears set-id bits, which the bits below put back.
    if (target.st_uid != ::geteuid() || target.st_gid != ::getegid()) {
        const uid_t owner = ::geteuid() == 0 ? target.st_uid : static_cast<uid_t>(-1);
        // Another user's file cannot be given back to them unless we are root; a group we do
        // not belong to is refused the same way. The content still moves on.
        (void)::fchown(fd, owner, target.st_gid);
    }
    if (::fchmod(fd, target.st_mode & 07777) != 0) throw posixError(errno, "write", path);
    copyExtendedAttributes(targetFd, fd, path);
}

// The file to replace: `path` itself, or the file a final link names.
std::string replacementTarget(const std::string& path, bool followFinalLink) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    if (!followFinalLink) throw fileError(ELOOP, "write", path, "it is a symbolic link");
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        // A dangling link names no file to write through to.
        throw posixError(errno, "write", path);
    }
    std::string target(resolved);
    std::free(resolved);
    return target;
}

bool holdsPlannedContent(const std::string& target, const PlannedContent& planned,
                         const std::string& path) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) {
        if (errno != ENOENT) throw posixError(errno, "read", path);
        return !planned.existed;
    }
    if (!planned.existed || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) != planned.bytes.size()) {
        return false;
    }
    Bytes current;
    try {
        current = readFile(target, planned.bytes.size());
    } catch (const Error& error) {
        if (error.code() == kFileTooLarge) return false;  // it grew since the size was taken
        throw;
    }
    return std::equal(current.begin(), current.end(), planned.bytes.begin(), planned.bytes.end());
}

}  // namespace

bool isOwnTemporaryName(std::string_view name, std::string_view targetName) {
    // ".<target>.tmp.<UUID>", possibly nested: "..<target>.tmp.<UUID>.tmp.<UUID>".
    while (name.size() > kTemporaryInfix.size() + kUuidLength + 1 && name.front() == '.') {
        const std::size_t suffix = name.size() - kUuidLength - kTemporaryInfix.size();
        if (name.substr(suffix, kTemporaryInfix.size()) != kTemporaryInfix ||
            !isUuidText(name.substr(suffix + kTemporaryInfix.size()))) {
            return false;
        }
        name = name.substr(1, suffix - 1);
        if (name == targetName) return true;
    }
    return false;
}

std::size_t removeOwnTemporaryFiles(const std::string& folder,
                                    const std::vector<std::string>& targetNames) {
    std::vector<std::string> names;
    try {
        names = listDirectory(folder, true);
    } catch (const Error&) {
        return 0;
    }
    std::size_t removed = 0;
    for (const std::string& name : names) {
        const bool ours = std::any_of(targetNames.begin(), targetNames.end(),
                                      [&](const auto& t) { return isOwnTemporaryName(name, t); });
        const std::string path = appending(folder, name);
        if (ours && entryType(path) == EntryType::regular && ::unlink(path.c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

bool replaceFile(const std::string& path, ByteView bytes, const ReplaceOptions& options) {
    return replaceFileWith(
        path, [&](const ByteWriter& write) { write(bytes); }, options);
}

bool replaceFileWith(const std::string& path, const std::function<void(const ByteWriter&)>& produce,
                     const ReplaceOptions& options) {
    const std::string target = replacementTarget(path, options.followFinalLink);
    const std::string folder = deletingLastPathComponent(target);
    const std::string temporary = appending(
        folder, "." + lastPathComponent(target) + std::string(kTemporaryInfix) + makeUuidString());
    const mode_t createMode = options.exactPermissionBits ? 0600 : 0666;
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         createMode));
    if (fd.get() < 0) throw posixError(errno, "write", path);
    try {
        produce([&](ByteView bytes) { writeAll(fd.get(), bytes, path); });
        if (options.exactPermissionBits) {
            if (::fchmod(fd.get(), static_cast<mode_t>(*options.exactPermissionBits)) != 0) {
                throw posixError(errno, "write", path);
            }
        } else {
            Descriptor old(::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat info {};
            if (old.get() >= 0 && ::fstat(old.get(), &info) == 0 && S_ISREG(info.st_mode)) {
                takeOverMetadata(fd.get(), old.get(), info, path);
            }
        }
        if (::fsync(fd.get()) != 0) throw posixError(errno, "write", path);
        if (::close(fd.release()) != 0) throw posixError(errno, "write", path);
        // Linux has no rename that compares first: another writer's change can still slip in
        // between this check and the rename, but the window is this moment, not the whole run.
        if (options.unlessChangedFrom &&
            !holdsPlannedContent(target, *options.unlessChangedFrom, path)) {
            ::unlink(temporary.c_str());
            return false;
        }
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            throw posixError(errno, "write", path);
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncFolder(folder);
    return true;
}

void writeFileAtomically(const std::string& path, ByteView bytes) { replaceFile(path, bytes); }

void writeFileAtomically(const std::string& path, ByteView bytes, unsigned bits) {
    ReplaceOptions options;
    options.exactPermissionBits = bits;
    replaceFile(path, bytes, options);
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

void removeTree(const std::string& path) {
    if (entryType(path) == EntryType::directory) {
        for (const DirectoryEntry& entry : listDirectoryEntries(path, true)) {
            removeTree(appending(path, entry.name));
        }
        if (::rmdir(path.c_str()) != 0) throw posixError(errno, "remove", path);
    } else if (::unlink(path.c_str()) != 0) {
        throw posixError(errno, "remove", path);
    }
}

void copyFile(const std::string& source, const std::string& destination) {
    writeFileAtomically(destination, readFile(source));
}

std::vector<std::string> listDirectory(const std::string& path, bool includeHidden) {
    std::vector<std::string> names;
    for (DirectoryEntry& entry : listDirectoryEntries(path, includeHidden)) {
        names.push_back(std::move(entry.name));
    }
    return names;
}

namespace {

// The entries of `path` that `keep` takes by type, sorted by name.
std::vector<DirectoryEntry> readEntries(const std::string& path, bool includeHidden,
                                        bool (*keep)(EntryType)) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) throw posixError(errno, "list", path);
    std::vector<DirectoryEntry> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || (!includeHidden && name.front() == '.')) continue;
        EntryType type = EntryType::other;
        switch (entry->d_type) {
            case DT_REG:
                type = EntryType::regular;
                break;
            case DT_DIR:
                type = EntryType::directory;
                break;
            case DT_LNK:
                type = EntryType::symbolicLink;
                break;
            case DT_UNKNOWN:
                // Some file systems leave the type out of the listing.
                type = entryType(appending(path, name)).value_or(EntryType::other);
                break;
            default:
                break;
        }
        if (keep(type)) entries.push_back({std::string(name), type});
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) throw posixError(readError, "list", path);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return entries;
}

}  // namespace

std::vector<DirectoryEntry> listDirectoryEntries(const std::string& path, bool includeHidden) {
    return readEntries(path, includeHidden, [](EntryType) { return true; });
}

std::vector<std::string> listSubfolders(const std::string& path) {
    std::vector<std::string> names;
    for (DirectoryEntry& entry :
         readEntries(path, false, [](EntryType type) { return type == EntryType::directory; })) {
        names.push_back(std::move(entry.name));
    }
    return names;
}

std::optional<FileIdentity> folderIdentity(const std::string& path, std::string* problem) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (problem != nullptr && errno != ENOENT && errno != ENOTDIR) {
            *problem = posixError(errno, "examine", path).message();
        }
        return std::nullopt;
    }
    if (!S_ISDIR(info.st_mode)) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
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

std::optional<std::uint64_t> fileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::string resolveSymbolicLinks(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

const std::string& PathResolver::resolve(const std::string& path) {
    if (const auto found = m_resolved.find(path); found != m_resolved.end()) return found->second;
    const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
    // Only plain absolute paths are built from their parent; "." and ".." need the system's
    // own walk (".." goes up from where a link led).
    const bool plain = path.size() > 1 && path.front() == '/' && !name.empty() && name != "." &&
                       name != ".." && path.find("//") == std::string::npos &&
                       path.find("/./") == std::string::npos &&
                       path.find("/../") == std::string::npos;
    std::string result;
    if (plain) {
        const std::string parent = path.size() - name.size() == 1
                                       ? std::string("/")
                                       : path.substr(0, path.size() - name.size() - 1);
        std::string candidate = appending(resolve(parent), name);
        struct stat info {};
        if (::lstat(candidate.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
            result = std::move(candidate);
        }
    }
    if (result.empty()) result = resolveSymbolicLinks(path);
    return m_resolved.emplace(path, std::move(result)).first->second;
}

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

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
