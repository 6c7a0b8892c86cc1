#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/platform/FinderSession.h"

namespace lumifold {

// What the coordinator needs from the world. Tests replace the Finder, the clock and
// sleeping; system() is the real machine.
struct FinderHost {
    // The system's steps on the Finder (platform::FinderSession::mac with a fake process runner
    // in tests).
    platform::FinderSession session;
    std::function<std::vector<std::string>()> runningBundleIdentifiers;
    std::function<void(double seconds)> sleep;
    std::function<double()> monotonicSeconds;
    // Pushes this process's pending preference writes for the application to the store;
    // false when that failed.
    std::function<bool(const std::string& applicationId)> synchronizePreferences;

    // The real machine: the platform's Finder session, running applications and clock, and the
    // preferences service of `homeDirectory`.
    static FinderHost system(std::string homeDirectory);
};

// Deals with the running Finder, whose in-memory view settings can overwrite files changed
// underneath it: tells whether transfers are in progress or the Finder runs, quits it safely,
// flushes the preferences cache and starts the Finder again. Every operation blocks the calling
// thread (up to seconds); none may run on an interface thread. Where no Finder runs (Linux),
// the Finder is never running and its steps do nothing.
class FinderCoordinator final {
  public:
    static constexpr const char* kDomain = "FinderCoordinator";
    enum ErrorCode : int { kActiveTransfers = 1 };
    static constexpr const char* kActiveTransfersMessage =
        "Active file transfers are in progress in Finder. Aborting restart to prevent "
        "interrupting file transfers.";
    static constexpr const char* kFinderBundleIdentifier = "com.apple.finder";

    static constexpr const char* cacheExplanation =
        "Finder aggressively caches view settings in memory while running. If preferences or "
        ".DS_Store files are updated while Finder is open, its in-memory cache may overwrite the "
        "changes when windows close or when macOS logs out. Restarting Finder and flushing "
        "cfprefsd ensures the preferred layout takes effect immediately and persists.";

    // Every member of `host` must be set; throws std::invalid_argument otherwise.
    explicit FinderCoordinator(FinderHost host);
    FinderCoordinator(const FinderCoordinator&) = delete;
    FinderCoordinator& operator=(const FinderCoordinator&) = delete;

    // True when the Finder shows a copy, move, preparation or deletion progress window. Any
    // failure to ask answers false.
    bool hasActiveTransfers() const;
    bool isFinderRunning() const;
    // Asks the Finder to quit and waits up to `timeout` seconds for it to go, then kills it.
    // Throws Error (kDomain, kActiveTransfers) without touching the Finder while
    // transfers are active.
    void quitFinder(double timeout) const;
    // Pushes pending Finder preference writes to the store and restarts the preferences daemon.
    void flushPreferenceCache() const;
    void relaunchFinder() const;

  private:
    FinderHost m_host;
};

}  // namespace lumifold
