#pragma once

#include <optional>
#include <string>

namespace lumifold {

// Keep Consistent's pause switch: the file ~/.lumifold/watch-paused. A restore writes it (with
// the restored snapshot's id) so that a running watcher does not apply again over what was
// just rolled back; the watcher ignores its folders' events while the file exists, and
// `lumifold watch resume` (or starting the app's watcher) removes it.
class WatchPause final {
  public:
    explicit WatchPause(std::string homeDirectory);

    const std::string& path() const { return m_path; }

    // The snapshot id the pause names when paused (empty when the file says nothing or cannot
    // be read: anything at the path counts as paused); nullopt when not paused. Never throws.
    std::optional<std::string> pausedBy() const;
    bool isPaused() const { return pausedBy().has_value(); }

    // Writes the file atomically, creating ~/.lumifold (0700) when missing. Throws Error "POSIX".
    void pause(const std::string& snapshotId) const;
    // Removes the file; true when there was one. Throws Error "POSIX" when it cannot.
    bool resume() const;

  private:
    std::string m_path;
};

}  // namespace lumifold
