#pragma once

#include "core/finder/FinderCoordinator.h"

namespace lumifold {

// The Finder quit for the length of a write, so its in-memory view settings cannot overwrite
// what is written, and started again afterwards. A Finder it quit is never left quit: when the
// guard goes before relaunch() (a write that threw), it flushes the preferences cache and
// starts the Finder again, best effort.
class FinderQuit final {
  public:
    explicit FinderQuit(const FinderCoordinator& coordinator) : m_coordinator(coordinator) {}
    FinderQuit(const FinderQuit&) = delete;
    FinderQuit& operator=(const FinderQuit&) = delete;
    ~FinderQuit();

    // How long quit() waits for the Finder to go before it forces it.
    static constexpr double kQuitTimeout = 5.0;

    // Quits the Finder when it runs, waiting kQuitTimeout; throws the
    // coordinator's Error (active transfers), the Finder then untouched.
    void quit();
    // Flushes the preferences cache and starts again a Finder this guard quit; throws the
    // coordinator's Error. Once only.
    void relaunch();

  private:
    const FinderCoordinator& m_coordinator;
    bool m_quit = false;  // quit and not yet started again
};

}  // namespace lumifold
