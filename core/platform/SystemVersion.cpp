#include "core/platform/SystemVersion.h"

#include <charconv>
#include <utility>

#include "core/common/Text.h"

namespace lumifold::platform {
namespace {

constexpr const char* kSwVersPath = "/usr/bin/sw_vers";
constexpr const char* kUnamePath = "/usr/bin/uname";

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

std::string versionText(const OperatingSystemVersion& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch);
}

// One os-release value: quotes removed, a backslash keeping the character after it, control
// characters dropped.
std::string osReleaseValue(std::string_view raw) {
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
        raw.back() == raw.front()) {
        raw = raw.substr(1, raw.size() - 2);
    }
    std::string value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
        if (static_cast<unsigned char>(raw[i]) >= 0x20 && raw[i] != 0x7F) value += raw[i];
    }
    return value;
}

}  // namespace

std::string linuxSystemName(std::string_view osRelease, std::string_view kernelRelease) {
    std::string name, versionId, prettyName;
    while (!osRelease.empty()) {
        const std::size_t end = std::min(osRelease.find('\n'), osRelease.size());
        const std::string_view line = osRelease.substr(0, end);
        osRelease.remove_prefix(std::min(end + 1, osRelease.size()));
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, equals);
        std::string* const field = key == "NAME"          ? &name
                                   : key == "VERSION_ID"  ? &versionId
                                   : key == "PRETTY_NAME" ? &prettyName
                                                          : nullptr;
        if (field != nullptr) *field = osReleaseValue(line.substr(equals + 1));
    }
    std::string distribution = name.empty() ? prettyName : name;
    if (!name.empty() && !versionId.empty()) distribution += " " + versionId;
    std::string text = "Linux " + versionText(versionFromReleaseText(kernelRelease));
    return distribution.empty() ? text : text + ", " + distribution;
}

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
        .name =
            [run] {
                return "macOS " + versionText(versionFromReleaseText(
                                      swVers(run, "-productVersion").value_or("")));
            },
        .machine =
            [run] {
                const ProcessResult result = run(kUnamePath, {"-m"});
                std::string machine;
                for (const char c : result.started ? result.standardOutput : std::string()) {
                    if (c > ' ' && c < 0x7F) machine += c;
                }
                return machine;
            },
    };
}

#if defined(__APPLE__)
SystemVersion SystemVersion::system() { return mac(runProcess); }
#endif

}  // namespace lumifold::platform
