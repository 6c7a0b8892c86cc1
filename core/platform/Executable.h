#pragma once

#include <optional>
#include <string>

namespace lumifold::platform {

// The absolute path of the running program's executable, so a login service can start this
// same program again; nullopt when the system cannot say. Never throws.
std::optional<std::string> executablePath();

// True when `path` names, through links, a regular file this user may execute. Never throws.
bool isExecutableFile(const std::string& path);

}  // namespace lumifold::platform
