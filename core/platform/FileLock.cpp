#include "core/platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/common/Paths.h"
#include "core/platform/Descriptor.h"
#include "core/platform/PosixError.h"

namespace lumifold::platform {

namespace {

// Takes `fd`'s lock without waiting: true when taken, false when another holder has it.
bool lockWithoutWaiting(int fd, const std::string& path) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return false;
        throw posixError(errno, "lock", path);
    }
    return true;
}

// True when `path` still names the file open at `fd`.
bool stillNamed(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace

std::optional<FileLock> FileLock::tryAcquire(const std::string& path) {
    // The folder is locked too: a lock file deleted while held would otherwise let the next
    // caller make a new one and take that, while the holder still works. A file system that
    // cannot lock folders (some network ones) keeps the file's lock alone.
    const std::string folderPath = deletingLastPathComponent(path);
    Descriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) throw posixError(errno, "lock", path);
    while (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return std::nullopt;
        folder = Descriptor();  // no folder locks here
        break;
    }
    // The path names the file we lock almost always at once; a path that keeps changing under
    // us is not a lock anyone can rely on.
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Descriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.get() < 0) throw posixError(errno, "lock", path);
        if (!lockWithoutWaiting(file.get(), path)) return std::nullopt;
        // The file may have been removed or replaced between the open and the lock: a lock on
        // a file the path no longer names locks nobody out. Take the one it names now.
        if (stillNamed(file.get(), path)) return FileLock(file.release(), folder.release());
    }
    throw fileError(EAGAIN, "lock", path, "it keeps being replaced");
}

std::optional<std::string> FileLock::readDescription(const std::string& path, std::size_t limit) {
    // Without O_NONBLOCK a FIFO put there would keep the waiter waiting for a writer.
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string text(limit, '\0');
    ssize_t count = -1;
    do {
        count = ::pread(file.get(), text.data(), text.size(), 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(count));
    return text;
}

bool FileLock::describe(std::string_view text) noexcept {
    if (m_fd < 0 || ::ftruncate(m_fd, 0) != 0) return false;
    m_described = true;
    ssize_t count = -1;
    do {
        count = ::pwrite(m_fd, text.data(), text.size(), 0);
    } while (count < 0 && errno == EINTR);
    return count == static_cast<ssize_t>(text.size());
}

FileLock::FileLock(FileLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_folderFd(std::exchange(other.m_folderFd, -1)),
      m_described(std::exchange(other.m_described, false)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
        m_folderFd = std::exchange(other.m_folderFd, -1);
        m_described = std::exchange(other.m_described, false);
    }
    return *this;
}

void FileLock::release() noexcept {
    // What this holder said of itself goes with it, so no later waiter reads a stale holder.
    if (m_fd >= 0 && std::exchange(m_described, false)) (void)::ftruncate(m_fd, 0);
    // Closing the last descriptor releases each lock.
    if (m_fd >= 0) ::close(std::exchange(m_fd, -1));
    if (m_folderFd >= 0) ::close(std::exchange(m_folderFd, -1));
}

FileLock::~FileLock() { release(); }

}  // namespace lumifold::platform
