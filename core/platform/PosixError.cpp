#include "core/platform/PosixError.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace lumifold::platform {

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

Error fileError(int code, std::string_view verb, std::string_view path, std::string_view reason) {
    std::string message = "Could not ";
    message.append(verb).append(" \"").append(printable(path)).append("\": ").append(reason);
    return Error(kPosixDomain, code, std::move(message));
}

Error posixError(int errnum, std::string_view verb, std::string_view path) {
    if (errnum == ENOENT) {
        struct stat info {};
        if (::lstat(std::string(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            return fileError(errnum, verb, path, "it is a dangling symbolic link");
        }
    }
    return fileError(errnum, verb, path, std::strerror(errnum));
}

Error alreadyExistsError(std::string_view verb, std::string_view path) {
    return posixError(EEXIST, verb, path);
}

}  // namespace lumifold::platform
