#include "core/platform/RunningApplications.h"

namespace lumifold::platform {

// Linux processes carry no bundle identifiers and no Finder runs there, so the list is empty:
// the Finder is never "running" and nothing waits for it to quit.
std::vector<std::string> runningApplicationBundleIdentifiers() { return {}; }

}  // namespace lumifold::platform
