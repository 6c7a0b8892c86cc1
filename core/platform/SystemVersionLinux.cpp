#include "core/platform/SystemVersion.h"

#include <sys/utsname.h>

#include "core/common/Error.h"
#include "core/platform/FileSystem.h"

namespace lumifold::platform {
namespace {

// os-release is a few hundred bytes; a bigger one is not read.
constexpr std::uint64_t kOsReleaseLimit = 64 * 1024;

// uname(2)'s names; empty when it fails.
utsname kernelNames() {
    utsname names{};
    if (::uname(&names) != 0) return utsname{};
    return names;
}

// The distribution's os-release(5): /etc's, else the one it falls back to; "" when neither
// can be read.
std::string osReleaseText() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        try {
            const Bytes bytes = readFile(path, kOsReleaseLimit);
            return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        } catch (const Error&) {
            // the next place, or none
        }
    }
    return {};
}

}  // namespace

// Linux has no product version or build of its own: the kernel release stands for the version.
SystemVersion SystemVersion::system() {
    return {
        .version = [] { return versionFromReleaseText(kernelNames().release); },
        .build = [] { return std::optional<std::string>(); },
        .name = [] { return linuxSystemName(osReleaseText(), kernelNames().release); },
        .machine = [] { return std::string(kernelNames().machine); },
    };
}

}  // namespace lumifold::platform
