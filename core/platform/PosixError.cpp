#include "core/platform/PosixError.h"

#include <cstring>
#include <string>

namespace lumifold::platform {

Error posixError(int errnum, std::string_view verb, std::string_view path) {
    std::string message = "Could not ";
    message.append(verb).append(" \"").append(path).append("\": ").append(std::strerror(errnum));
    return Error(kPosixDomain, errnum, std::move(message));
}

}  // namespace lumifold::platform
