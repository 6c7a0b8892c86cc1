#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/Process.h"

namespace lumifold {

// What LaunchAgent needs from the world: the home whose login service it manages, where
// systemd looks for user units, and the service managers' commands.
struct LaunchAgentHost {
    std::string homeDirectory;
    // $XDG_CONFIG_HOME; nullopt means <home>/.config.
    std::optional<std::string> configHome;
    // Where no launchd runs (Linux), a systemd user unit starts the watcher instead.
    bool writesSystemdUnit = false;
    // Whether launchd and systemd are asked to load, start, stop or describe the service. They
    // are the user's and know services by name, so for another home's files (a sandbox) they
    // would start or stop the user's own service instead.
    bool asksServiceManagers = true;
    std::function<platform::ProcessResult(const std::string& path,
                                          const std::vector<std::string>& arguments)>
        runProcess;

    // The real world for `home`. A home that is not the user's own (the account's home in the
    // password database, whatever HOME says: --home or a HOME naming a sandbox) keeps its unit
    // under its own .config, never in $XDG_CONFIG_HOME, and its service managers are not asked.
    static LaunchAgentHost system(const std::string& home);
};

struct LaunchAgentInstallation {
    std::string jobDescriptionPath;
    std::optional<std::string> unitPath;  // set when a systemd unit was written
    // systemd reloaded its units, then enabled and started ours, each exiting 0.
    bool unitEnabled = false;
    // What systemctl said when it did not, in its own words (one line); empty otherwise.
    std::string serviceManagerSaid;
};

struct LaunchAgentStatus {
    std::string jobDescriptionPath;
    bool jobDescriptionInstalled = false;
    std::optional<std::string> unitPath;  // where systemd units are used
    bool unitInstalled = false;
    std::optional<bool> unitActive;  // nullopt: systemd could not be (or was not) asked
    // The program the job description starts; nullopt when there is none that can be read.
    std::optional<std::string> programPath;
    // Keep Consistent's pause, as WatchPause::pausedBy gives it.
    std::optional<std::string> pausedBy;
};

// Keep Consistent as a login service: the launchd job description
// ~/Library/LaunchAgents/com.quarnish.lumifold.watcher.plist, which starts `PROGRAM watch
// --daemon [--folder DIR]...` at log-in and restarts it when it exits, and where systemd runs
// the user's services, a user unit starting the same command.
class LaunchAgent final {
  public:
    static constexpr const char* kLabel = "com.quarnish.lumifold.watcher";
    static constexpr const char* kUnitName = "lumifold-watcher";

    static constexpr const char* kDomain = "LaunchAgent";
    enum ErrorCode : int {
        kProgramCannotRun = 1,  // the program to start is missing or not an executable file
    };

    explicit LaunchAgent(LaunchAgentHost host);
    LaunchAgent(const LaunchAgent&) = delete;
    LaunchAgent& operator=(const LaunchAgent&) = delete;

    std::string launchAgentURL() const;
    // Where the systemd unit goes; nullopt where none is used.
    std::optional<std::string> systemdUnitPath() const;
    // A file exists at launchAgentURL(); neither its content nor launchd's view is checked.
    bool isLaunchAgentInstalled() const;

    // Writes the job description (and the unit), each atomically and replacing an earlier one,
    // then asks the service managers to load them; their failures are reported, not raised.
    // `daemonArguments` follow `watch --daemon`, before the folder pairs (the CLI's --home).
    // Throws kProgramCannotRun, before writing anything, when `programPath` does not name an
    // executable file; Error "POSIX" when a folder cannot be created or a file written, or
    // "PropertyList" for an argument that is not text. No service manager has been asked
    // anything then.
    LaunchAgentInstallation installLaunchAgent(
        const std::string& programPath, const std::vector<std::string>& folders,
        const std::vector<std::string>& daemonArguments = {}) const;
    // Unloads and removes what install wrote, best effort. Runs no command for a file that is
    // not there. Never throws.
    void uninstallLaunchAgent() const;
    // Never throws.
    LaunchAgentStatus status() const;

  private:
    // Runs a service manager's command; a result that did not start when the host asks none.
    platform::ProcessResult ask(const char* program,
                                const std::vector<std::string>& arguments) const;

    LaunchAgentHost m_host;
};

}  // namespace lumifold
