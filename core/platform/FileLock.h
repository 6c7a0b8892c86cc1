#pragma once

#include <optional>
#include <string>

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
};

}  // namespace lumifold::platform
