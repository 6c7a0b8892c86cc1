#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/platform/UserServices.h"

namespace lumifold {

// What LoginService needs from the world: the home whose login service it manages, where
// systemd looks for user units, and the user's service manager.
struct LoginServiceHost {
    std::string homeDirectory;
    // $XDG_CONFIG_HOME; nullopt means <home>/.config.
    std::optional<std::string> configHome;
    // Whether the service manager is asked to load, start, stop or describe the service. It is
    // the user's and knows services by name, so for another home's files (a sandbox) it would
    // start or stop the user's own service instead.
    bool asksServiceManagers = true;
    // Its commands; tests give one that runs pretend programs.
    platform::UserServiceManager serviceManager;

    // The real world for `home`. A home that is not the user's own (the account's home in the
    // password database, whatever HOME says: --home or a HOME naming a sandbox) keeps its unit
    // under its own .config, never in $XDG_CONFIG_HOME, and its service manager is not asked.
    static LoginServiceHost system(const std::string& home);
};

struct LoginServiceInstallation {
    std::string jobDescriptionPath;
    std::optional<std::string> unitPath;  // set when a systemd unit was written
    // systemd reloaded its units, then enabled and started ours, each exiting 0.
    bool unitEnabled = false;
    // What systemctl said when it did not, in its own words (one line); empty otherwise.
    std::string serviceManagerSaid;
};

struct LoginServiceStatus {
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
class LoginService final {
  public:
    static constexpr const char* kLabel = "com.quarnish.lumifold.watcher";
    static constexpr const char* kUnitName = "lumifold-watcher";

    static constexpr const char* kDomain = "LoginService";
    enum ErrorCode : int {
        kProgramCannotRun = 1,  // the program to start is missing or not an executable file
    };

    explicit LoginService(LoginServiceHost host);
    LoginService(const LoginService&) = delete;
    LoginService& operator=(const LoginService&) = delete;

    // Where the launchd job description goes.
    std::string loginServicePath() const;
    // Where the systemd unit goes; nullopt where none is used.
    std::optional<std::string> systemdUnitPath() const;
    // A file exists at loginServicePath(); neither its content nor launchd's view is checked.
    bool isInstalled() const;

    // Writes the job description (and the unit), each atomically and replacing an earlier one,
    // then asks the service manager to take them; its failures are reported, not raised.
    // `daemonArguments` follow `watch --daemon`, before the folder pairs (the CLI's --home).
    // Throws kProgramCannotRun, before writing anything, when `programPath` does not name an
    // executable file; Error "POSIX" when a folder cannot be created or a file written, or
    // "PropertyList" for an argument that is not text. No service manager has been asked
    // anything then.
    LoginServiceInstallation install(const std::string& programPath,
                                     const std::vector<std::string>& folders,
                                     const std::vector<std::string>& daemonArguments = {}) const;
    // Stops and removes what install wrote, best effort. Asks the service manager nothing when
    // the file it reads is not there. Never throws.
    void uninstall() const;
    // Never throws.
    LoginServiceStatus status() const;

  private:
    // The file the service manager reads the service from: the unit where systemd runs it,
    // else the job description.
    std::string managedFile() const;

    LoginServiceHost m_host;
};

}  // namespace lumifold
