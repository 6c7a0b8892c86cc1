// The Mac's Finder session. Built on every system, so that its commands are tested wherever the
// tests run; only a Mac's FinderSession::system() uses it.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "core/platform/FinderSession.h"

namespace lumifold::platform {
namespace {

// The Finder's progress windows are titled after what they do.
constexpr const char* kTransferWindowCountScript =
    "tell application \"Finder\"\n"
    "    set copyWindows to (every window whose name contains \"Copy\" or name contains "
    "\"Moving\" or name contains \"Preparing\" or name contains \"Deleting\")\n"
    "    return (count of copyWindows)\n"
    "end tell";

constexpr const char* kQuitScript =
    "tell application \"Finder\"\n"
    "    quit\n"
    "end tell";

constexpr const char* kOsascriptPath = "/usr/bin/osascript";
constexpr const char* kKillallPath = "/usr/bin/killall";
constexpr const char* kOpenPath = "/usr/bin/open";

// The script's standard output without the one line feed that osascript ends it with; nullopt
// when osascript did not start or exited non-zero (the script could not be compiled or run).
std::optional<std::string> runScript(const ProcessRunner& run, const char* script) {
    const ProcessResult result = run(kOsascriptPath, {"-e", script});
    if (!result.started || result.exitStatus != 0) return std::nullopt;
    std::string text = result.standardOutput;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A decimal integer: an optional "+" or "-", then one or more ASCII digits and nothing else,
// within the signed 64-bit range.
std::optional<std::int64_t> parseCount(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // from_chars takes a "-" but not a "+".
    const std::string_view number = text.front() == '+' ? digits : text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) return std::nullopt;
    return value;
}

}  // namespace

FinderSession FinderSession::mac(ProcessRunner run) {
    // Every step runs its command whatever became of the last: the outcome is not examined.
    return {
        .hasActiveTransfers =
            [run] {
                const std::optional<std::string> result =
                    runScript(run, kTransferWindowCountScript);
                const std::optional<std::int64_t> count =
                    result ? parseCount(*result) : std::nullopt;
                return count && *count > 0;
            },
        .requestQuit =
            [run] {
                runScript(run, kQuitScript);
                return true;
            },
        .forceQuit =
            [run] {
                run(kKillallPath, {"Finder"});
                return true;
            },
        .restartPreferencesDaemon =
            [run] {
                run(kKillallPath, {"cfprefsd"});
                return true;
            },
        .launch =
            [run] {
                run(kOpenPath, {"-a", "Finder"});
                return true;
            },
    };
}

#if defined(__APPLE__)
FinderSession FinderSession::system() { return mac(runProcess); }
#endif

}  // namespace lumifold::platform
