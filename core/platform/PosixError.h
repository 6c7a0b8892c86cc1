#pragma once

#include <string_view>

#include "core/common/Error.h"

namespace lumifold::platform {

inline constexpr const char* kPosixDomain = "POSIX";

// The one place errno becomes an Error: domain "POSIX", the errno as code and the message
// `Could not <verb> "<path>": <reason>`.
Error posixError(int errnum, std::string_view verb, std::string_view path);

}  // namespace lumifold::platform
