#include "core/platform/SystemVersion.h"

#include <charconv>
#include <utility>

#include "core/common/Text.h"

namespace lumifold::platform {
namespace {

constexpr const char* kSwVersPath = "/usr/bin/sw_vers";

bool isTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// What sw_vers prints for `option`, as the header describes a build.
std::optional<std::string> swVers(const ProcessRunner& run, const char* option) {
    const ProcessResult result = run(kSwVersPath, {option});
    if (!result.started || !isWellFormedUtf8(result.standardOutput)) return std::nullopt;
    std::string_view text = result.standardOutput;
    while (!text.empty() && isTrimmed(text.front())) text.remove_prefix(1);
    while (!text.empty() && isTrimmed(text.back())) text.remove_suffix(1);
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

}  // namespace

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

// Built on every system, so that the Mac's commands are tested wherever the tests run.
SystemVersion SystemVersion::mac(ProcessRunner run) {
    return {
        .version =
            [run] { return versionFromReleaseText(swVers(run, "-productVersion").value_or("")); },
        .build = [run] { return swVers(run, "-buildVersion"); },
    };
}

#if defined(__APPLE__)
SystemVersion SystemVersion::system() { return mac(runProcess); }
#endif

}  // namespace lumifold::platform
