#pragma once

#include <optional>
#include <string>

namespace lumifold::platform {

// An exclusive advisory lock on a file (flock). The kernel drops it when the process ends,
// however it ends, so a killed holder never leaves it taken. Move-only; released on
// destruction.
class FileLock final {
  public:
    // Takes the lock on `path` (created 0600 when missing, never through a link) without
    // waiting; nullopt when another holder has it. Throws Error "POSIX" for any other failure.
    static std::optional<FileLock> tryAcquire(const std::string& path);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

  private:
    explicit FileLock(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace lumifold::platform
