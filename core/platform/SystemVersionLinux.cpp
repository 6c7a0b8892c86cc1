#include "core/platform/SystemVersion.h"

#include <sys/utsname.h>

namespace lumifold::platform {

// Linux has no product version or build of its own: the kernel release stands for the version.
SystemVersion SystemVersion::system() {
    return {
        .version =
            [] {
                utsname names{};
                if (::uname(&names) != 0) return OperatingSystemVersion{};
                return versionFromReleaseText(names.release);
            },
        .build = [] { return std::optional<std::string>(); },
    };
}

}  // namespace lumifold::platform
