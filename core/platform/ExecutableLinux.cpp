#include "core/platform/Executable.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace lumifold::platform {

std::optional<std::string> executablePath() {
    // readlink does not say when it cut the name short, so grow until it fits with room to
    // spare.
    for (std::size_t size = 256; size <= (std::size_t{1} << 20); size *= 4) {
        std::vector<char> buffer(size);
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0) return std::nullopt;
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
    }
    return std::nullopt;
}

bool isExecutableFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace lumifold::platform
