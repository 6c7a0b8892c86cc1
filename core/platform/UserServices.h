#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/platform/Process.h"

namespace lumifold::platform {

// How this system starts a user's own services at log-in.

// What a service manager said when asked to take a service and start it.
struct ServiceStart {
    bool started = false;   // every command it was given exited 0
    std::string said = {};  // its own words when it did not (one line); empty otherwise
};

// The user's service manager, which starts a login service at log-in and again whenever it
// exits: launchd reading the job description on a Mac, systemd's user manager reading a unit on
// Linux. Each command is given the file the manager reads the service from (launchd knows a
// service by that path, systemd by the unit file's name) and is best effort: what became of it
// is a value, never an exception.
struct UserServiceManager {
    // Whether the manager reads a systemd unit; else launchd's job description alone.
    bool readsSystemdUnits = false;
    // Takes the service whose file was just written (again) and starts it.
    std::function<ServiceStart(const std::string& file)> start;
    // Stops the service and keeps it from starting at log-in, before its files are removed.
    std::function<void(const std::string& file)> stop;
    // Forgets the service once its files are gone.
    std::function<void(const std::string& file)> forget;
    // Whether the service runs; nullopt when the manager could not be asked.
    std::function<std::optional<bool>(const std::string& file)> isActive;

    // launchctl through `run`: load (started when it exited 0, with nothing said) and unload;
    // launchd is not asked whether the service runs.
    static UserServiceManager launchd(ProcessRunner run);
    // systemctl --user through `run`: daemon-reload, then only when that exited 0 enable
    // --now; disable --now; daemon-reload; is-active.
    static UserServiceManager systemd(ProcessRunner run);
    // This system's, with runProcess: systemd on Linux, launchd on a Mac.
    static UserServiceManager system();
};

// The home of the account running this program, from the password database (not HOME): the
// home whose services the user's service managers run. nullopt when the database has no entry
// for it. Never throws.
std::optional<std::string> accountHomeDirectory();

// Whether `home` is the account's own (accountHomeDirectory, else HOME when the database has no
// entry), links resolved: only there do the user's service managers and $XDG_CONFIG_HOME
// apply. Never throws.
bool isAccountHome(const std::string& home);

// $XDG_CONFIG_HOME when it names an absolute path, else nullopt: the caller then uses
// <home>/.config, as systemd does. Never throws.
std::optional<std::string> userConfigurationHome();

}  // namespace lumifold::platform
