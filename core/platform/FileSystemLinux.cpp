#include "core/platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "core/common/Paths.h"
#include "core/platform/Descriptor.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/platform/UserServices.h"

namespace lumifold::platform {

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

std::optional<EntryType> entryType(const std::string& path, std::string* problem) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (problem != nullptr && errno != ENOENT && errno != ENOTDIR) {
            *problem = posixError(errno, "examine", path).message();
        }
        return std::nullopt;
    }
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

// Checks that the file open at `fd` is a regular file of at most `limit` bytes.
Descriptor checkedRegularFile(Descriptor fd, const std::string& path, std::uint64_t limit,
                              struct stat& info) {
    if (::fstat(fd.get(), &info) != 0) throw posixError(errno, "read", path);
    if (S_ISDIR(info.st_mode)) throw posixError(EISDIR, "read", path);
    if (!S_ISREG(info.st_mode)) {
        throw fileError(kNotRegularFile, "read", path, "it is not a regular file");
    }
    if (static_cast<std::uint64_t>(info.st_size) > limit) throw tooLargeError(path, limit);
    return fd;
}

// Opens `path` for reading only when it is a regular file of at most `limit` bytes. What the
// path names (through a link too) is looked at before it is opened: opened as a place only
// (O_PATH, which no driver sees), checked, and then that same file opened through its
// descriptor. Opening a device can act (a watchdog starts, a tape rewinds) and opening a FIFO
// wakes its writer, so neither is ever opened for reading.
Descriptor openRegularFile(const std::string& path, std::uint64_t limit, struct stat& info) {
    Descriptor place(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (place.get() < 0) throw posixError(errno, "read", path);
    place = checkedRegularFile(std::move(place), path, limit, info);
    const std::string reopen = "/proc/self/fd/" + std::to_string(place.get());
    Descriptor fd(::open(reopen.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0 && errno == ENOENT) {
        // No /proc: by its path again, never waiting (O_NONBLOCK), looked at again below.
        fd = Descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    }
    if (fd.get() < 0) throw posixError(errno, "read", path);
    return checkedRegularFile(std::move(fd), path, limit, info);
}

Bytes readWhole(const Descriptor& fd, const struct stat& info, const std::string& path,
                std::uint64_t limit) {
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
    const Descriptor fd = openRegularFile(path, limit, info);
    return readWhole(fd, info, path, limit);
}

Bytes readFileIn(const OpenFolder& folder, const std::string& name, std::uint64_t limit) {
    const std::string path = appending(folder.path(), name);
    Descriptor fd(::openat(folder.descriptor(), name.c_str(),
                           O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (fd.get() < 0) {
        if (errno == ELOOP) throw fileError(kNotRegularFile, "read", path, "it is a symbolic link");
        throw posixError(errno, "read", path);
    }
    struct stat info {};
    fd = checkedRegularFile(std::move(fd), path, limit, info);
    return readWhole(fd, info, path, limit);
}

void reserveFile(const std::string& path, std::uint64_t size) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) throw posixError(errno, "reserve space for", path);
    // posix_fallocate reports its error rather than setting errno; file systems without
    // fallocate get blocks written by the C library instead.
    const int error = size == 0 ? 0 : ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
    if (error != 0) {
        ::unlink(path.c_str());
        throw posixError(error, "reserve space for", path);
    }
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

// Hands each entry of the open listing `dir` (closed here) to `add`, in the listing's order.
// `at` examines an entry whose type the listing leaves out; `passed` hears the name of each
// hidden entry left out.
template <typename Examine, typename Add, typename Passed>
void forEachEntry(DIR* dir, const std::string& path, bool includeHidden, const Examine& at,
                  const Add& add, const Passed& passed) {
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (!includeHidden && name.front() == '.') {
            passed(name);
            continue;
        }
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
                type = at(std::string(name)).value_or(EntryType::other);
                break;
            default:
                break;
        }
        add(name, type);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) throw posixError(readError, "list", path);
}

// The entries of the open listing `dir` (closed here) that `keep` takes by type, sorted by name.
template <typename Examine>
std::vector<DirectoryEntry> readEntries(DIR* dir, const std::string& path, bool includeHidden,
                                        bool (*keep)(EntryType), const Examine& at) {
    std::vector<DirectoryEntry> entries;
    forEachEntry(
        dir, path, includeHidden, at,
        [&](std::string_view name, EntryType type) {
            if (keep(type)) entries.push_back({std::string(name), type});
        },
        [](std::string_view) {});
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return entries;
}

DIR* openListing(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) throw posixError(errno, "list", path);
    return dir;
}

std::optional<EntryType> entryTypeBelow(const std::string& path, const std::string& name) {
    return entryType(appending(path, name));
}

std::vector<DirectoryEntry> readEntries(const std::string& path, bool includeHidden,
                                        bool (*keep)(EntryType)) {
    return readEntries(openListing(path), path, includeHidden, keep,
                       [&](const std::string& name) { return entryTypeBelow(path, name); });
}

}  // namespace

std::vector<DirectoryEntry> listDirectoryEntries(const std::string& path, bool includeHidden) {
    return readEntries(path, includeHidden, [](EntryType) { return true; });
}

PackedEntries listPackedEntries(const std::string& path, bool includeHidden) {
    PackedEntries entries;
    forEachEntry(
        openListing(path), path, includeHidden,
        [&](const std::string& name) { return entryTypeBelow(path, name); },
        [&](std::string_view name, EntryType type) { entries.add(name, type); },
        [&](std::string_view name) {
            if (isOwnTemporaryName(name, "")) entries.noteOwnTemporaryFile();
        });
    return entries;
}

bool holdsFileStartingWith(const std::string& path, std::string_view prefix) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        if ((entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) &&
            std::string_view(entry->d_name).starts_with(prefix)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

std::vector<DirectoryEntry> listEntriesIn(const OpenFolder& folder) {
    Descriptor listing(::openat(folder.descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing.get() < 0) throw posixError(errno, "list", folder.path());
    DIR* dir = ::fdopendir(listing.get());
    if (dir == nullptr) throw posixError(errno, "list", folder.path());
    listing.release();
    return readEntries(
        dir, folder.path(), true, [](EntryType) { return true; },
        [&](const std::string& name) { return entryTypeIn(folder, name); });
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

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::size_t readStandardInput(std::span<char> into) {
    for (;;) {
        const ssize_t count = ::read(STDIN_FILENO, into.data(), into.size());
        if (count >= 0) return static_cast<std::size_t>(count);
        if (errno != EINTR) throw posixError(errno, "read", "standard input");
    }
}

std::optional<std::uint64_t> standardInputSize() {
    struct stat info {};
    if (::fstat(STDIN_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    const off_t at = ::lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (at < 0 || at > info.st_size) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size - at);
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    // No guess: a caller without a home says so rather than working on "/".
    return accountHomeDirectory().value_or(std::string());
}

std::string temporaryDirectory() {
    std::string dir = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') dir = tmp;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace lumifold::platform
