// The real FinderHost. Kept apart from the coordinator so that programs which only fake the
// host (the tests) do not pull in the preferences service.

#include <utility>

#include "core/common/Error.h"
#include "core/finder/FinderCoordinator.h"
#include "core/platform/Clock.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/RunningApplications.h"

namespace lumifold {

FinderHost FinderHost::system(std::string homeDirectory) {
    FinderHost host;
    host.session = platform::FinderSession::system();
    host.runningBundleIdentifiers = [] { return platform::runningApplicationBundleIdentifiers(); };
    host.sleep = [](double seconds) { platform::sleepSeconds(seconds); };
    host.monotonicSeconds = [] { return platform::monotonicSeconds(); };
    host.synchronizePreferences = [home = std::move(homeDirectory)](const std::string& id) {
        try {
            return platform::PreferencesService(home).appSynchronize(id);
        } catch (const Error&) {
            return false;  // flushing is best effort: the daemon restart follows regardless
        }
    };
    return host;
}

}  // namespace lumifold
