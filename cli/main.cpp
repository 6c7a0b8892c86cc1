#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <string_view>

#include "cli/AgentCommands.h"
#include "cli/ApplyCommands.h"
#include "cli/CliSupport.h"
#include "cli/DSStoreCommands.h"
#include "cli/InspectCommands.h"
#include "cli/LayoutCommands.h"
#include "cli/RestoreCommands.h"
#include "cli/WatchCommands.h"

namespace {

using namespace lumifold::cli;

// A group of commands and the names it adds to the program, in the help's order.
struct CommandGroup {
    std::array<std::string_view, 3> names;
    void (*add)(CLI::App&, const GlobalOptions&, Action&);
};

constexpr CommandGroup kGroups[] = {
    {{"inspect", "preview"}, addInspectCommands},
    {{"apply", "verify"}, addApplyCommands},
    {{"restore", "snapshots", "prune"}, addRestoreCommands},
    {{"watch"}, addWatchCommands},
    {{"agent"}, addAgentCommands},
    {{"layout"}, addLayoutCommands},
    {{"dsstore"},
     [](CLI::App& app, const GlobalOptions&, Action& action) { addDSStoreCommands(app, action); }},
};

}  // namespace

int main(int argc, char** argv) {
    // Named here, not from argv[0], so usage lines say "lumifold" however it was started.
    CLI::App app{"lumifold: one preferred Finder layout for every chosen folder", "lumifold"};
    app.formatter(helpFormatter());
    app.group("Commands");  // the heading of the commands, which inherit it
    app.set_help_flag("-h,--help", "Print this help and exit");  // the commands inherit it
    app.set_version_flag("--version", std::string("lumifold ") + LUMIFOLD_VERSION,
                         "Print the version and exit");
    app.require_subcommand(1);
    app.fallthrough();  // --home may also follow the command name
    GlobalOptions global;
    app.add_option("--home", global.home, "Run against this home directory instead of yours")
        ->option_text("DIR");
    app.add_option("--layout", global.layout,
                   "Read the layout from this file instead of ~/.config/lumifold/layout.toml")
        ->option_text("FILE");
    app.add_option("--metadata", global.metadata,
                   "Where files' Finder records live: xattr, samba (Samba's AFP_AfpInfo "
                   "stream), netatalk, appledouble (._ files) or auto (default: per folder, from "
                   "the Samba configuration and the ._ files it holds)")
        ->check(CLI::IsMember({"xattr", "samba", "netatalk", "appledouble", "auto"}))
        ->option_text("STORE");
    app.add_option("--samba-config", global.sambaConfig,
                   "The Samba configuration --metadata auto reads (default /etc/samba/smb.conf)")
        ->option_text("FILE");

    Action action;
    // A command named first needs only its own group's parser: building every command's cost
    // a start more than printing a store. Anything else (help, an option first) gets them all.
    const std::string_view first = argc > 1 ? argv[1] : "";
    const auto* named =
        std::find_if(std::begin(kGroups), std::end(kGroups), [&](const auto& group) {
            return std::find(group.names.begin(), group.names.end(), first) != group.names.end();
        });
    if (!first.empty() && named != std::end(kGroups)) {
        named->add(app, global, action);
    } else {
        for (const auto& group : kGroups) group.add(app, global, action);
        addHelpCommand(app, action);
    }

    if (const auto status = parseCommandLine(app, argc, argv)) return *status;
    return action ? runGuarded(action) : kExitUsage;
}
