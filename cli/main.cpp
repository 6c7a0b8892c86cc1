#include <CLI/CLI.hpp>

#include "cli/AgentCommands.h"
#include "cli/ApplyCommands.h"
#include "cli/CliSupport.h"
#include "cli/DSStoreCommands.h"
#include "cli/InspectCommands.h"
#include "cli/LayoutCommands.h"
#include "cli/RestoreCommands.h"
#include "cli/WatchCommands.h"

int main(int argc, char** argv) {
    using namespace lumifold::cli;
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
    addInspectCommands(app, global, action);
    addApplyCommands(app, global, action);
    addRestoreCommands(app, global, action);
    addWatchCommands(app, global, action);
    addAgentCommands(app, global, action);
    addLayoutCommands(app, global, action);
    addDSStoreCommands(app, action);
    addHelpCommand(app, action);

    if (const auto status = parseCommandLine(app, argc, argv)) return *status;
    return action ? runGuarded(action) : kExitUsage;
}
