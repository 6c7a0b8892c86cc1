#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumifold::platform {

// An exclusive advisory lock on a file (flock), and on the folder that holds it. The kernel
// drops both when the process ends, however it ends, so a killed holder never leaves them
// taken; and a lock file deleted while held still keeps the next caller out. Move-only;
// released on destruction.
class FileLock final {
  public:
    // Takes the lock on `path` (created 0600 when missing, never through a link) without
    // waiting; nullopt when another holder has it. Once taken, `path` names the locked file.
    // Throws Error "POSIX" for any other failure.
    static std::optional<FileLock> tryAcquire(const std::string& path);

    // What the holder of the lock at `path` says of itself (describe): at most `limit` bytes,
    // read without waiting and never through a link. nullopt when there is no regular file
    // there or it cannot be read. Never throws.
    static std::optional<std::string> readDescription(const std::string& path,
                                                      std::size_t limit = 256);

    // Says who holds the lock, for a process waiting for it: `text` becomes the lock file's
    // content, written in place through the locked descriptor (a replacing write would leave
    // the lock on a file the path no longer names). Emptied again on release. False when it
    // could not be written; the lock holds either way. Never throws.
    bool describe(std::string_view text) noexcept;

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

  private:
    FileLock(int fd, int folderFd) : m_fd(fd), m_folderFd(folderFd) {}
    void release() noexcept;
    int m_fd;
    int m_folderFd;  // -1 where the file system cannot lock folders
    bool m_described = false;
};

}  // namespace lumifold::platform
