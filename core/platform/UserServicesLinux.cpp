#include "core/platform/UserServices.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace lumifold::platform {

// No launchd runs on Linux: a systemd user manager starts the user's services.
UserServiceManager UserServiceManager::system() { return systemd(runProcess); }

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
