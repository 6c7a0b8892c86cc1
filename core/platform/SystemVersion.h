#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/Process.h"

namespace lumifold::platform {

// The running operating system's version as three numbers, as the Finder's host reports it.
struct OperatingSystemVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    friend bool operator==(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

// How the running system names its version, as Inspect shows it. Neither member throws.
struct SystemVersion {
    // All zero when the system cannot say.
    std::function<OperatingSystemVersion()> version;
    // The system's build identifier; nullopt when it has none or cannot say.
    std::function<std::optional<std::string>()> build;
    // The system as a person names it, without the processor: "Linux 6.18.44, Debian GNU/Linux
    // 12" (the kernel and the distribution), "macOS 14.5.0".
    std::function<std::string()> name;
    // The processor architecture the machine runs ("x86_64", "arm64"); "" when it cannot say.
    std::function<std::string()> machine;

    // A Mac's: the product version (14.5 gives 14.5.0) and the build that /usr/bin/sw_vers
    // prints, run through `run`. A build is the UTF-8 output trimmed of white space and line
    // breaks, whatever the exit status; none when sw_vers did not start, printed only white
    // space or printed something that is not UTF-8.
    static SystemVersion mac(ProcessRunner run);
    // This system's: on Linux the kernel release of uname(2), read by versionFromReleaseText,
    // no build identifier, the name from linuxSystemName and the machine of uname(2).
    static SystemVersion system();
};

// The leading dot-separated decimal numbers of a release text, at most three; parts that are
// missing or cannot be read are 0 ("6.1.0-18-amd64" gives 6.1.0, "5.15" gives 5.15.0,
// "6.9-rc2" gives 6.9.0, "" gives 0.0.0).
OperatingSystemVersion versionFromReleaseText(std::string_view release);

// "Linux 6.18.44, Debian GNU/Linux 12": the kernel's three numbers, then the distribution's
// NAME and VERSION_ID from the text of os-release(5) (its PRETTY_NAME when it has no NAME;
// nothing when it names neither). Quotes and backslash escapes are undone; control characters
// are dropped, so the file cannot write to the terminal.
std::string linuxSystemName(std::string_view osRelease, std::string_view kernelRelease);

}  // namespace lumifold::platform
