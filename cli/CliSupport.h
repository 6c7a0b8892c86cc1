#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
class Formatter;
class Validator;
}  // namespace CLI

namespace lumifold::cli {

// Exit statuses of every command.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotCompliant = 3;  // done, but not compliant, or refused

// Options that every command shares.
struct GlobalOptions {
    std::optional<std::string> home;    // nullopt: the current user's home directory
    std::optional<std::string> layout;  // nullopt: the home's layout.toml
    // --metadata: xattr, samba, netatalk, appledouble or auto (nullopt: auto).
    std::optional<std::string> metadata;
    std::optional<std::string> sambaConfig;  // --samba-config; nullopt: /etc/samba/smb.conf

    // --home, --layout, --metadata and --samba-config as given, as command-line arguments (for
    // the login service, which must work as this command does).
    std::vector<std::string> arguments(const std::string& home) const;
};

// Wrong usage found once the command runs (a folder that is not there): kExitUsage, each line
// of the message on standard error after "lumifold: ".
class UsageError final : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The command chosen on the command line, run after parsing succeeded.
using Action = std::function<int()>;

// The help's layout: "COMMAND" in usage lines, value names as the options give them, and every
// line within 80 columns. Given to the program before its commands are added, so they share it.
std::shared_ptr<CLI::Formatter> helpFormatter();

// A whole number of at least `least`; refused as "must be a whole number, 0 or more", whatever
// its size, so the message never quotes the type's bound.
CLI::Validator wholeNumber(unsigned least);

// Adds `lumifold help [COMMAND]...`, whose action prints what `COMMAND --help` prints.
void addHelpCommand(CLI::App& app, Action& action);

// Parses the command line into `app`. Returns nullopt when a command was chosen, to be run;
// otherwise the exit status, once the help, the version or what was wrong is printed, in our
// own words (never the parser's). A word that names no command of its group is reported as an
// unknown command, with the group's commands; a group given no command prints its help.
std::optional<int> parseCommandLine(CLI::App& app, int argc, const char* const* argv);

// Runs `action`; any error becomes one line on standard error and kExitFailure, a UsageError
// its lines and kExitUsage.
int runGuarded(const Action& action);

// `path` made absolute against the current directory (the core works on absolute paths).
std::string absolutePath(const std::string& path);

}  // namespace lumifold::cli
