#include "core/platform/UserServices.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace lumifold::platform {

bool userServicesRunUnderSystemd() { return true; }

std::optional<std::string> accountHomeDirectory() {
    const passwd* entry = ::getpwuid(::getuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0') {
        return std::nullopt;
    }
    return std::string(entry->pw_dir);
}

std::optional<std::string> userConfigurationHome() {
    // A relative value is invalid and ignored, as systemd itself ignores it.
    const char* value = std::getenv("XDG_CONFIG_HOME");
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::string(value);
}

}  // namespace lumifold::platform
