#include "core/platform/SystemVersion.h"

#include <sys/utsname.h>

#include <charconv>

namespace lumifold::platform {

OperatingSystemVersion versionFromReleaseText(std::string_view release) {
    OperatingSystemVersion version;
    int* const parts[] = {&version.major, &version.minor, &version.patch};
    const char* position = release.data();
    const char* const end = release.data() + release.size();
    for (int* part : parts) {
        if (position == end || *position < '0' || *position > '9') break;
        int value = 0;
        const auto [next, error] = std::from_chars(position, end, value);
        // A part that is not a plain decimal (or overflows) ends the version there.
        if (error != std::errc()) break;
        *part = value;
        position = next;
        if (position == end || *position != '.') break;
        ++position;
    }
    return version;
}

OperatingSystemVersion operatingSystemVersion() {
    utsname names{};
    if (::uname(&names) != 0) return {};
    return versionFromReleaseText(names.release);
}

}  // namespace lumifold::platform
