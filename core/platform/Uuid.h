#pragma once

#include <string>

namespace lumifold::platform {

// A random version-4 UUID in upper-case 8-4-4-4-12 text, e.g. "0F5C2A8E-...".
std::string makeUuidString();

}  // namespace lumifold::platform
