#pragma once

#include <string>
#include <vector>

namespace lumifold::platform {

// The bundle identifiers of the user's running applications, in no particular order;
// applications without one are left out.
std::vector<std::string> runningApplicationBundleIdentifiers();

}  // namespace lumifold::platform
