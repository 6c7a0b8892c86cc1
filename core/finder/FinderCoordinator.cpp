#include "core/finder/FinderCoordinator.h"

#include <stdexcept>
#include <utility>

#include "core/common/Error.h"

namespace lumifold {
namespace {

constexpr double kQuitPollInterval = 0.25;
constexpr double kSettleDelay = 0.5;

}  // namespace

FinderCoordinator::FinderCoordinator(FinderHost host) : m_host(std::move(host)) {
    const platform::FinderSession& session = m_host.session;
    if (!session.hasActiveTransfers || !session.requestQuit || !session.forceQuit ||
        !session.restartPreferencesDaemon || !session.launch || !m_host.runningBundleIdentifiers ||
        !m_host.sleep || !m_host.monotonicSeconds || !m_host.synchronizePreferences) {
        throw std::invalid_argument("FinderCoordinator needs every FinderHost member set");
    }
}

bool FinderCoordinator::hasActiveTransfers() const { return m_host.session.hasActiveTransfers(); }

bool FinderCoordinator::isFinderRunning() const {
    for (const std::string& identifier : m_host.runningBundleIdentifiers()) {
        if (identifier == kFinderBundleIdentifier) return true;
    }
    return false;
}

void FinderCoordinator::quitFinder(double timeout) const {
    if (hasActiveTransfers()) {
        throw Error(kDomain, kActiveTransfers, kActiveTransfersMessage);
    }
    if (!m_host.session.requestQuit()) return;  // no Finder on this system to wait for

    const double start = m_host.monotonicSeconds();
    while (m_host.monotonicSeconds() - start < timeout) {
        if (!isFinderRunning()) return;
        m_host.sleep(kQuitPollInterval);
    }
    if (m_host.session.forceQuit()) m_host.sleep(kSettleDelay);
}

void FinderCoordinator::flushPreferenceCache() const {
    m_host.synchronizePreferences(kFinderBundleIdentifier);
    if (m_host.session.restartPreferencesDaemon()) m_host.sleep(kSettleDelay);
}

void FinderCoordinator::relaunchFinder() const {
    if (m_host.session.launch()) m_host.sleep(kSettleDelay);
}

}  // namespace lumifold
