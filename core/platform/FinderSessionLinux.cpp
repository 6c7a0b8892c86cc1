#include "core/platform/FinderSession.h"

namespace lumifold::platform {

// No Finder runs on Linux: there are no transfers to wait for, nothing to quit or launch, and
// the preferences are plain files that no daemon caches. Every step is a deliberate no-op.
FinderSession FinderSession::system() {
    const auto none = [] { return false; };
    return {
        .hasActiveTransfers = none,
        .requestQuit = none,
        .forceQuit = none,
        .restartPreferencesDaemon = none,
        .launch = none,
    };
}

}  // namespace lumifold::platform
