#pragma once

#include <optional>
#include <string>

namespace lumifold::platform {

// The absolute path of the running program's executable, so a login service can start this
// same program again; nullopt when the system cannot say. Never throws.
std::optional<std::string> executablePath();

}  // namespace lumifold::platform
