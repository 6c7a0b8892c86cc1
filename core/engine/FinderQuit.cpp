#include "core/engine/FinderQuit.h"

#include <exception>

namespace lumifold {

FinderQuit::~FinderQuit() {
    if (!m_quit) return;
    try {
        m_coordinator.flushPreferenceCache();
        m_coordinator.relaunchFinder();
    } catch (const std::exception&) {
        // Best effort on a path that is already failing; the original error matters more.
    }
}

void FinderQuit::quit() {
    if (!m_coordinator.isFinderRunning()) return;
    m_coordinator.quitFinder(kQuitTimeout);
    m_quit = true;
}

void FinderQuit::relaunch() {
    if (!m_quit) return;
    m_quit = false;
    m_coordinator.flushPreferenceCache();
    m_coordinator.relaunchFinder();
}

}  // namespace lumifold
