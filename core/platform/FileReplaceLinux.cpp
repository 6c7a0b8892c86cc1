// Replacing files in one step: a temporary file beside the target, written, flushed, given its
// final bits, owner and attributes, then renamed over the target. Every step names entries of
// one folder held open, so the folder the check looked at is the folder the rename writes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <utility>

#include "core/common/Paths.h"
#include "core/platform/Descriptor.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/platform/Uuid.h"

namespace lumifold::platform {
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

bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == name.npos &&
           name.find('\0') == name.npos;
}

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

// Gives the new file `fd` its owner and group, the same as the target's, where this process
// may set them: as root, or when they are already its own. Changing the owner clears set-id
// bits, so the bits are given afterwards.
void takeOverOwner(int fd, uid_t user, gid_t group) {
    if (user == ::geteuid() && group == ::getegid()) return;
    const uid_t owner = ::geteuid() == 0 ? user : static_cast<uid_t>(-1);
    // Another user's file cannot be given back to them unless we are root; a group we do not
    // belong to is refused the same way. The content still moves on.
    (void)::fchown(fd, owner, group);
}

// True when the entry `name` of `dir` is a regular file holding exactly `planned`; anything
// else, an entry that cannot be read included, counts as changed.
bool holdsPlanned(int dir, const std::string& name, const PlannedContent& planned) {
    Descriptor fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) != planned.bytes.size()) {
        return false;
    }
    Bytes current(planned.bytes.size() + 1);  // one more, to see a file that grew meanwhile
    std::size_t filled = 0;
    for (;;) {
        const ssize_t count = ::read(fd.get(), current.data() + filled, current.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        if (count == 0 || (filled += static_cast<std::size_t>(count)) == current.size()) break;
    }
    return filled == planned.bytes.size() &&
           std::equal(planned.bytes.begin(), planned.bytes.end(), current.begin());
}

bool isAbsent(int dir, const std::string& name, const std::string& path) {
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) return false;
    if (errno != ENOENT) throw posixError(errno, "read", path);
    return true;
}

enum class Swap { done, changedMeanwhile, unsupported };

// Puts `temporary` in place of `name`, keeping what it displaces only when that still holds
// `planned`. The exchange and the look at what it displaced are one step for any other
// writer: one who writes before the exchange is seen and swapped back, one who writes after it
// writes over our file.
Swap swapInUnlessChanged(int dir, std::string& temporary, const std::string& name,
                         const PlannedContent& planned, const std::string& path) {
    if (!planned.existed) {
        if (::renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) {
            return Swap::done;
        }
        if (errno == EEXIST) return Swap::changedMeanwhile;
        if (errno == EINVAL || errno == ENOSYS) return Swap::unsupported;
        throw posixError(errno, "write", path);
    }
    if (::renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno == ENOENT) return Swap::changedMeanwhile;  // the target went meanwhile
        if (errno == EINVAL || errno == ENOSYS) return Swap::unsupported;
        throw posixError(errno, "write", path);
    }
    // `temporary` now names what was at the target.
    if (holdsPlanned(dir, temporary, planned)) {
        (void)::unlinkat(dir, temporary.c_str(), 0);  // a leftover is removed by the next run
        return Swap::done;
    }
    if (::renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_EXCHANGE) != 0) {
        const Error error = fileError(
            errno, "write", path,
            "another program changed it meanwhile, and its file could not be put back; it is "
            "at \"" +
                printable(appending(deletingLastPathComponent(path), temporary)) + "\"");
        temporary.clear();  // the other program's file now: never ours to remove
        throw error;
    }
    (void)::unlinkat(dir, temporary.c_str(), 0);  // ours again, after the swap back
    return Swap::changedMeanwhile;
}

void syncFolder(int dir) { (void)::fsync(dir); }

}  // namespace

bool isOwnTemporaryName(std::string_view name, std::string_view targetName) {
    // ".<target>.tmp.<UUID>", possibly nested: "..<target>.tmp.<UUID>.tmp.<UUID>". An empty
    // `targetName` stands for any target.
    while (name.size() > kTemporaryInfix.size() + kUuidLength + 1 && name.front() == '.') {
        const std::size_t suffix = name.size() - kUuidLength - kTemporaryInfix.size();
        if (name.substr(suffix, kTemporaryInfix.size()) != kTemporaryInfix ||
            !isUuidText(name.substr(suffix + kTemporaryInfix.size()))) {
            return false;
        }
        name = name.substr(1, suffix - 1);
        if (targetName.empty() ? !name.empty() : name == targetName) return true;
    }
    return false;
}

std::size_t removeOwnTemporaryFilesIn(const OpenFolder& folder,
                                      const std::vector<std::string>& targetNames) {
    Descriptor listing(::openat(folder.descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing.get() < 0) return 0;
    DIR* dir = ::fdopendir(listing.get());
    if (dir == nullptr) return 0;
    listing.release();
    std::vector<std::string> ours;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (std::any_of(targetNames.begin(), targetNames.end(),
                        [&](const auto& target) { return isOwnTemporaryName(name, target); })) {
            ours.emplace_back(name);
        }
    }
    ::closedir(dir);
    std::size_t removed = 0;
    for (const std::string& name : ours) {
        struct stat info {};
        if (::fstatat(folder.descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && ::unlinkat(folder.descriptor(), name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

std::size_t removeOwnTemporaryFiles(const std::string& folder,
                                    const std::vector<std::string>& targetNames) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    try {
        return removeOwnTemporaryFilesIn(OpenFolder::adopt(fd, folder), targetNames);
    } catch (const Error&) {
        return 0;
    }
}

std::optional<EntryType> entryTypeIn(const OpenFolder& folder, const std::string& name) {
    struct stat info {};
    if (!isPlainName(name) ||
        ::fstatat(folder.descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    if (S_ISREG(info.st_mode)) return EntryType::regular;
    if (S_ISDIR(info.st_mode)) return EntryType::directory;
    if (S_ISLNK(info.st_mode)) return EntryType::symbolicLink;
    return EntryType::other;
}

unsigned sharedFileBits(const OpenFolder& folder) {
    struct stat self {};
    if (::fstat(folder.descriptor(), &self) != 0) throw posixError(errno, "read", folder.path());
    const unsigned allowed = self.st_mode & 0666;  // what the folder lets each class do
    std::map<unsigned, std::size_t> counts;
    Descriptor listing(::openat(folder.descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* dir = listing.get() < 0 ? nullptr : ::fdopendir(listing.get());
    if (dir != nullptr) {
        listing.release();
        std::size_t seen = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (seen == kSharedBitsSample) break;
            const std::string_view name = entry->d_name;
            // The listing's own type spares a look at each folder of a folder of folders.
            if ((entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) ||
                isOwnTemporaryName(name, "")) {
                continue;
            }
            struct stat info {};
            if (::fstatat(folder.descriptor(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(info.st_mode)) {
                continue;
            }
            ++seen;
            ++counts[info.st_mode & 0666];
        }
        ::closedir(dir);
    }
    if (counts.empty()) return allowed;
    // The map is ordered by bits, so of equal counts the smaller number wins (0600, not 0644).
    const auto common = std::max_element(counts.begin(), counts.end(),
                                         [](auto& a, auto& b) { return a.second < b.second; });
    return common->first & allowed;
}

void removeFileIn(const OpenFolder& folder, const std::string& name) {
    const std::string path = appending(folder.path(), name);
    if (!isPlainName(name)) throw fileError(EINVAL, "remove", path, "it is not a file name");
    if (::unlinkat(folder.descriptor(), name.c_str(), 0) != 0) {
        throw posixError(errno, "remove", path);
    }
}

bool replaceFileIn(const OpenFolder& folder, const std::string& name, ByteView bytes,
                   const ReplaceOptions& options) {
    return replaceFileIn(
        folder, name, [&](const ByteWriter& write) { write(bytes); }, options);
}

namespace {

// The file being replaced, opened without following a link: its bits, owner and attributes
// go to the new file.
struct Replaced {
    Descriptor file;  // -1 when absent or unreadable to us
    struct stat info {};
    bool exists = false;
};

Replaced findReplaced(int dir, const std::string& name, const std::string& path) {
    Replaced old;
    old.file =
        Descriptor(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (old.file.get() >= 0) {
        if (::fstat(old.file.get(), &old.info) != 0) throw posixError(errno, "write", path);
        old.exists = true;
    } else if (errno != ENOENT) {
        // Unreadable to us (not root): its bits and owner still carry over.
        if (::fstatat(dir, name.c_str(), &old.info, AT_SYMLINK_NOFOLLOW) != 0) {
            throw posixError(errno, "write", path);
        }
        old.exists = true;
    }
    return old;
}

// Writes the temporary file whole, with the replaced file's owner, bits and attributes, and
// hands it to the disk without waiting for it.
void fillTemporary(int fd, const Replaced& old, std::optional<mode_t> finalBits,
                   const OpenFolder& folder, const std::function<void(const ByteWriter&)>& produce,
                   const ReplaceOptions& options, const std::string& path) {
    produce([&](ByteView bytes) { writeAll(fd, bytes, path); });
    if (old.exists) {
        takeOverOwner(fd, old.info.st_uid, old.info.st_gid);
    } else if (options.belongsToFolderWhenNew && ::geteuid() == 0) {
        const Ownership owner = folder.owner();
        (void)::fchown(fd, owner.user, owner.group);
    }
    if (finalBits && ::fchmod(fd, *finalBits) != 0) throw posixError(errno, "write", path);
    if (old.file.get() >= 0) copyExtendedAttributes(old.file.get(), fd, path);
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

// Puts the temporary file in the target's place; false, the temporary removed, when the
// target no longer holds what was planned from. Throwing, it leaves `temporary` naming the
// temporary file while that is still ours, and empty once the name holds another's file.
bool moveIntoPlace(int dir, std::string& temporary, const std::string& name,
                   const ReplaceOptions& options, const std::string& path) {
    Swap swap = Swap::unsupported;
    if (options.unlessChangedFrom) {
        swap = swapInUnlessChanged(dir, temporary, name, *options.unlessChangedFrom, path);
        // A file system without exchanging renames: the check and the rename are two
        // steps, and another writer's change can slip in between.
        if (swap == Swap::unsupported) {
            const PlannedContent& planned = *options.unlessChangedFrom;
            const bool unchanged =
                planned.existed ? holdsPlanned(dir, name, planned) : isAbsent(dir, name, path);
            if (!unchanged) swap = Swap::changedMeanwhile;
        }
    }
    if (swap == Swap::changedMeanwhile) {
        (void)::unlinkat(dir, temporary.c_str(), 0);
        return false;
    }
    if (swap == Swap::unsupported && ::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
        throw posixError(errno, "write", path);
    }
    return true;
}

}  // namespace

StagedReplacement::StagedReplacement(const OpenFolder& folder, std::string name, ByteView bytes,
                                     ReplaceOptions options)
    : StagedReplacement(
          folder, std::move(name), [&](const ByteWriter& write) { write(bytes); },
          std::move(options)) {}

StagedReplacement::StagedReplacement(const OpenFolder& folder, std::string name,
                                     const std::function<void(const ByteWriter&)>& produce,
                                     ReplaceOptions options)
    : m_folder(folder.descriptor()),
      m_name(std::move(name)),
      m_path(appending(folder.path(), m_name)),
      m_options(std::move(options)) {
    if (!isPlainName(m_name)) throw fileError(EINVAL, "write", m_path, "it is not a file name");
    const Replaced old = findReplaced(m_folder, m_name, m_path);
    if (old.exists && !S_ISREG(old.info.st_mode)) {
        // What was planned from was a file: something else there now is another program's.
        if (m_options.unlessChangedFrom) return;
        if (S_ISLNK(old.info.st_mode))
            throw fileError(ELOOP, "write", m_path, "it is a symbolic link");
        throw fileError(kNotRegularFile, "write", m_path, "it is not a regular file");
    }
    std::optional<mode_t> finalBits = m_options.exactPermissionBits
                                          ? std::optional<mode_t>(*m_options.exactPermissionBits)
                                      : old.exists ? std::optional<mode_t>(old.info.st_mode & 07777)
                                                   : std::nullopt;
    if (!finalBits && m_options.belongsToFolderWhenNew && ::geteuid() == 0) {
        finalBits = sharedFileBits(folder);
    }

    std::string temporary = "." + m_name + std::string(kTemporaryInfix) + makeUuidString();
    // Created with no more than the final bits (the umask may narrow them further until the
    // fchmod), so the content is never readable more widely than the final file allows.
    const mode_t createMode = finalBits ? (*finalBits & 0777) : 0666;
    Descriptor fd(::openat(m_folder, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode));
    if (fd.get() < 0) throw posixError(errno, "write", m_path);
    try {
        fillTemporary(fd.get(), old, finalBits, folder, produce, m_options, m_path);
    } catch (...) {
        (void)::unlinkat(m_folder, temporary.c_str(), 0);
        throw;
    }
    m_temporary = std::move(temporary);
    m_file = fd.release();
}

StagedReplacement::StagedReplacement(StagedReplacement&& other) noexcept
    : m_folder(other.m_folder),
      m_name(std::move(other.m_name)),
      m_path(std::move(other.m_path)),
      m_options(std::move(other.m_options)),
      m_temporary(std::exchange(other.m_temporary, {})),
      m_file(std::exchange(other.m_file, -1)) {}

StagedReplacement::~StagedReplacement() {
    if (m_file >= 0) (void)::close(m_file);
    if (!m_temporary.empty()) (void)::unlinkat(m_folder, m_temporary.c_str(), 0);
}

bool StagedReplacement::complete() {
    if (m_temporary.empty()) return false;
    if (::fsync(m_file) != 0) throw posixError(errno, "write", m_path);
    if (::close(std::exchange(m_file, -1)) != 0) throw posixError(errno, "write", m_path);
    const bool placed = moveIntoPlace(m_folder, m_temporary, m_name, m_options, m_path);
    m_temporary.clear();  // in place or removed
    if (placed && m_options.flushFolder) syncFolder(m_folder);
    return placed;
}

bool replaceFileIn(const OpenFolder& folder, const std::string& name,
                   const std::function<void(const ByteWriter&)>& produce,
                   const ReplaceOptions& options) {
    return StagedReplacement(folder, name, produce, options).complete();
}

void flushFolder(const OpenFolder& folder) { syncFolder(folder.descriptor()); }

namespace {

// Files written but not flushed, held open until flushed together; few enough that the
// descriptors never run short.
constexpr std::size_t kFilesHeldUnflushed = 256;

}  // namespace

NewFiles::NewFiles(const std::string& folder)
    : m_folder(folder), m_descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (m_descriptor < 0) throw posixError(errno, "open", folder);
}

NewFiles::~NewFiles() {
    for (const auto& [fd, path] : m_unflushed) ::close(fd);
    ::close(m_descriptor);
}

void NewFiles::write(const std::string& name, ByteView bytes, unsigned permissionBits) {
    const std::string path = appending(m_folder, name);
    if (!isPlainName(name)) throw fileError(EINVAL, "write", path, "it is not a file name");
    Descriptor fd(::openat(m_descriptor, name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           static_cast<mode_t>(permissionBits & 0777)));
    if (fd.get() < 0) throw posixError(errno, "write", path);
    try {
        writeAll(fd.get(), bytes, path);
        if (::fchmod(fd.get(), static_cast<mode_t>(permissionBits)) != 0) {
            throw posixError(errno, "write", path);
        }
    } catch (...) {
        (void)::unlinkat(m_descriptor, name.c_str(), 0);
        throw;
    }
    // Written out now, so the flush below mostly waits for what is already under way, and the
    // first file's journal commit takes the others' blocks along.
    (void)::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    m_unflushed.emplace_back(fd.release(), path);
    if (m_unflushed.size() == kFilesHeldUnflushed) flushFiles();
}

void NewFiles::flushFiles() {
    std::optional<Error> failed;
    for (const auto& [fd, path] : m_unflushed) {
        if (::fsync(fd) != 0 && !failed) failed = posixError(errno, "write", path);
        ::close(fd);
    }
    m_unflushed.clear();
    if (failed) throw *failed;
}

void NewFiles::flush() {
    flushFiles();
    if (::fsync(m_descriptor) != 0) throw posixError(errno, "write", m_folder);
}

bool replaceFileWith(const std::string& path, const std::function<void(const ByteWriter&)>& produce,
                     const ReplaceOptions& options) {
    const std::string folder = deletingLastPathComponent(path);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw posixError(errno, "write", path);
    return replaceFileIn(OpenFolder::adopt(fd, folder), lastPathComponent(path), produce, options);
}

bool replaceFile(const std::string& path, ByteView bytes, const ReplaceOptions& options) {
    return replaceFileWith(
        path, [&](const ByteWriter& write) { write(bytes); }, options);
}

void writeFileAtomically(const std::string& path, ByteView bytes) { replaceFile(path, bytes); }

void writeFileAtomically(const std::string& path, ByteView bytes, unsigned bits) {
    ReplaceOptions options;
    options.exactPermissionBits = bits;
    replaceFile(path, bytes, options);
}

}  // namespace lumifold::platform
