#pragma once

#include <optional>
#include <string>

namespace lumifold::platform {

// How this system starts a user's own services at log-in.

// True where a systemd user manager starts them (Linux), so a login service needs a systemd
// user unit; false where launchd reads the job descriptions in ~/Library/LaunchAgents alone.
bool userServicesRunUnderSystemd();

// The home of the account running this program, from the password database (not HOME): the
// home whose services the user's service managers run. nullopt when the database has no entry
// for it. Never throws.
std::optional<std::string> accountHomeDirectory();

// $XDG_CONFIG_HOME when it names an absolute path, else nullopt: the caller then uses
// <home>/.config, as systemd does. Never throws.
std::optional<std::string> userConfigurationHome();

}  // namespace lumifold::platform
