// The service managers' commands. Both are built on every system, so that each is tested
// wherever the tests run; UserServiceManager::system() picks this system's.

#include <string_view>
#include <vector>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/UserServices.h"

namespace lumifold::platform {
namespace {

constexpr const char* kLaunchctl = "/bin/launchctl";
constexpr const char* kSystemctl = "/usr/bin/systemctl";
constexpr std::string_view kUnitSuffix = ".service";

bool succeeded(const ProcessResult& result) { return result.started && result.exitStatus == 0; }

// A program's own message as one line of ours: its lines joined, control characters shown.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    return printable(text);
}

// systemd's name for the unit in `file`: its file name without ".service".
std::string unitName(const std::string& file) {
    std::string name = lastPathComponent(file);
    if (name.ends_with(kUnitSuffix)) name.resize(name.size() - kUnitSuffix.size());
    return name;
}

}  // namespace

UserServiceManager UserServiceManager::launchd(ProcessRunner run) {
    return {
        .readsSystemdUnits = false,
        .start =
            [run](const std::string& file) {
                return ServiceStart{.started = succeeded(run(kLaunchctl, {"load", file}))};
            },
        .stop =
            [run](const std::string& file) {
                run(kLaunchctl, {"unload", file});
            },
        .forget = [](const std::string&) {},
        .isActive = [](const std::string&) { return std::optional<bool>(); },
    };
}

UserServiceManager UserServiceManager::systemd(ProcessRunner run) {
    return {
        .readsSystemdUnits = true,
        .start =
            [run](const std::string& file) {
                // Enabling before systemd has read the new file would start the unit as it was.
                ServiceStart start;
                for (const std::vector<std::string>& step :
                     {std::vector<std::string>{"--user", "daemon-reload"},
                      std::vector<std::string>{"--user", "enable", "--now", unitName(file)}}) {
                    const ProcessResult answer = run(kSystemctl, step);
                    start.started = succeeded(answer);
                    if (start.started) continue;
                    start.said = oneLine(answer.standardError);
                    break;
                }
                return start;
            },
        .stop =
            [run](const std::string& file) {
                run(kSystemctl, {"--user", "disable", "--now", unitName(file)});
            },
        .forget =
            [run](const std::string&) {
                run(kSystemctl, {"--user", "daemon-reload"});
            },
        .isActive =
            [run](const std::string& file) {
                const ProcessResult answer =
                    run(kSystemctl, {"--user", "is-active", unitName(file)});
                // It prints a state ("active", "inactive", "failed", ...) whenever it reached the
                // user's manager, whatever its exit status; nothing when it did not.
                std::string state = answer.started ? answer.standardOutput : std::string();
                while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) {
                    state.pop_back();
                }
                return state.empty() ? std::nullopt : std::optional<bool>(state == "active");
            },
    };
}

bool isAccountHome(const std::string& home) {
    // Without an entry in the password database, HOME is the only home there is to go by.
    const std::string own = accountHomeDirectory().value_or(homeDirectory());
    return resolveSymbolicLinks(home) == resolveSymbolicLinks(own);
}

#if defined(__APPLE__)
UserServiceManager UserServiceManager::system() { return launchd(runProcess); }
#endif

}  // namespace lumifold::platform
