#pragma once

#include <string_view>

#include "core/common/Error.h"

namespace lumifold::platform {

inline constexpr const char* kPosixDomain = "POSIX";

// The one place errno becomes an Error: domain "POSIX", the errno as code and the message
// `Could not <verb> "<path>": <reason>`.
// A path that is a dangling symbolic link is described as one, whatever errno says, and
// control characters in the path are shown escaped ("\x0A"), never raw.
Error posixError(int errnum, std::string_view verb, std::string_view path);
// The same form with our own reason, for failures errno cannot describe ("it is not a regular
// file"); `code` is the closest errno.
Error fileError(int code, std::string_view verb, std::string_view path, std::string_view reason);
// EEXIST's error, for callers that give up after taking every free name themselves.
Error alreadyExistsError(std::string_view verb, std::string_view path);
// `text` with every control character written as "\xNN", safe to put in a one-line message.
std::string printable(std::string_view text);

}  // namespace lumifold::platform
