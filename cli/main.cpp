#include <CLI/CLI.hpp>

#include "cli/ApplyCommands.h"
#include "cli/CliSupport.h"
#include "cli/DSStoreCommands.h"
#include "cli/InspectCommands.h"
#include "cli/RestoreCommands.h"

int main(int argc, char** argv) {
    using namespace lumifold::cli;
    CLI::App app{"lumifold: one preferred Finder layout for every chosen folder"};
    app.require_subcommand(1);
    app.fallthrough();  // --home may also follow the command name
    GlobalOptions global;
    app.add_option("--home", global.home, "Run against this home directory instead of yours");

    Action action;
    addInspectCommands(app, global, action);
    addApplyCommands(app, global, action);
    addRestoreCommands(app, global, action);
    addDSStoreCommands(app, action);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitSuccess : kExitUsage;
    }
    return action ? runGuarded(action) : kExitUsage;
}
