#pragma once

#include <string_view>

namespace lumifold::platform {

// The running operating system's version as three numbers, as the Finder's host reports it.
struct OperatingSystemVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    friend bool operator==(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

// macOS: the product version (14.5 gives 14.5.0). Linux: the kernel release of uname(2), read
// by versionFromReleaseText. All zero when the system cannot say. Never throws.
OperatingSystemVersion operatingSystemVersion();

// The leading dot-separated decimal numbers of a release text, at most three; parts that are
// missing or cannot be read are 0 ("6.1.0-18-amd64" gives 6.1.0, "5.15" gives 5.15.0,
// "6.9-rc2" gives 6.9.0, "" gives 0.0.0).
OperatingSystemVersion versionFromReleaseText(std::string_view release);

}  // namespace lumifold::platform
