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

// Keep Consistent paused for the length of a restore, from before its first write: a watcher
// that saw the restore's writes unpaused would apply over them. Put back as it was when the
// restore did not happen (lifted, or naming the snapshot an earlier pause named). Failing to pause
// is reported, not raised: a restore must not fail for it.
class RestorePause final {
  public:
    // `snapshotId` is the snapshot about to be restored (its id may be settled only later).
    RestorePause(const WatchPause& pause, const std::string& snapshotId);
    RestorePause(const RestorePause&) = delete;
    RestorePause& operator=(const RestorePause&) = delete;
    // Puts the pause back as it was unless kept. Never throws.
    ~RestorePause();

    // Why the pause could not be written; nullopt when it holds.
    const std::optional<std::string>& failure() const { return m_failure; }
    // The restore happened: the pause stays, naming `snapshotId`. True when it holds.
    bool keep(const std::string& snapshotId);

  private:
    const WatchPause& m_pause;
    std::optional<std::string> m_before;
    bool m_kept = false;
    std::optional<std::string> m_failure;
};

}  // namespace lumifold
