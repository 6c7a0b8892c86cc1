#include "cli/AgentCommands.h"

#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/EngineCommandSupport.h"
#include "cli/WatchCommands.h"
#include "core/platform/Executable.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/watcher/LoginService.h"

namespace lumifold::cli {
namespace {

// Where the program usually lives, for the rare system that cannot name the running one.
constexpr const char* kFallbackProgram = "/usr/local/bin/lumifold";

struct InstallOptions {
    std::vector<std::string> folders;
    TreeOptions tree;
    WatchTiming timing;
};

struct StatusOptions {
    bool json = false;
};

// The login service of the home the command works on (see LoginServiceHost::system for what
// another home than the user's own changes).
LoginServiceHost serviceHost(const GlobalOptions& global) {
    return LoginServiceHost::system(homeDirectory(global));
}

int runInstall(const GlobalOptions& global, const InstallOptions& options) {
    const std::string home = homeDirectory(global);
    auto host = serviceHost(global);
    const bool asked = host.asksServiceManagers;
    const LoginService service(std::move(host));
    std::vector<std::string> folders;
    for (const auto& folder : options.folders) folders.push_back(absolutePath(folder));
    // The service must go on working on the home this command was given.
    std::vector<std::string> daemonArguments = global.arguments(home);
    for (auto& argument : options.tree.arguments()) daemonArguments.push_back(std::move(argument));
    for (auto& argument : options.timing.arguments())
        daemonArguments.push_back(std::move(argument));
    const auto installation = service.install(platform::executablePath().value_or(kFallbackProgram),
                                              folders, daemonArguments);
    std::cout << "Wrote the job description "
              << platform::printable(installation.jobDescriptionPath) << '\n';
    if (installation.unitPath) {
        std::cout << "Wrote the systemd user unit " << platform::printable(*installation.unitPath)
                  << '\n';
    }
    if (!asked) {
        std::cout << "Nothing was started: the service managers run your own home's services, "
                  << "and " << platform::printable(home) << " is another home.\n";
    } else if (installation.unitEnabled) {
        std::cout << "systemd enabled and started " << LoginService::kUnitName
                  << "; it starts again at every log-in.\n";
    } else if (installation.unitPath) {
        std::cout << "systemd did not take the unit ("
                  << (installation.serviceManagerSaid.empty()
                          ? std::string("is a user systemd running here?")
                          : "systemctl said: " + installation.serviceManagerSaid)
                  << "), so the watcher is not running yet. Start it with: systemctl --user "
                     "daemon-reload && systemctl --user enable --now "
                  << LoginService::kUnitName << '\n';
    }
    return kExitSuccess;
}

int runUninstall(const GlobalOptions& global) {
    const LoginService service(serviceHost(global));
    std::vector<std::string> paths{service.loginServicePath()};
    if (const auto unitPath = service.systemdUnitPath()) paths.push_back(*unitPath);
    bool anything = false;
    for (const auto& path : paths) anything = anything || platform::fileExists(path);
    service.uninstall();
    int status = kExitSuccess;
    for (const auto& path : paths) {
        if (!platform::fileExists(path)) continue;
        std::cerr << "lumifold: could not remove " << platform::printable(path) << '\n';
        status = kExitFailure;
    }
    if (status == kExitSuccess) {
        std::cout << (anything ? "Removed the login service.\n" : "Nothing was installed.\n");
    }
    return status;
}

int runStatus(const GlobalOptions& global, const StatusOptions& options) {
    const auto status = LoginService(serviceHost(global)).status();
    if (options.json) {
        nlohmann::ordered_json json;
        json["jobDescriptionPath"] = status.jobDescriptionPath;
        json["jobDescriptionInstalled"] = status.jobDescriptionInstalled;
        if (status.unitPath) {
            json["unitPath"] = *status.unitPath;
            json["unitInstalled"] = status.unitInstalled;
        }
        if (status.unitActive) json["unitActive"] = *status.unitActive;
        if (status.programPath) json["programPath"] = *status.programPath;
        if (status.pausedBy) json["pausedBy"] = *status.pausedBy;
        printJson(json);
        return kExitSuccess;
    }
    const auto presence = [](bool present, const std::string& path) {
        return std::string(present ? "present, " : "absent, ") + platform::printable(path);
    };
    std::cout << "Job description: "
              << presence(status.jobDescriptionInstalled, status.jobDescriptionPath) << '\n';
    if (status.programPath) {
        std::cout << "Program: " << platform::printable(*status.programPath) << '\n';
    }
    if (status.unitPath) {
        std::cout << "systemd user unit: " << presence(status.unitInstalled, *status.unitPath)
                  << "\nActive: "
                  << (status.unitActive ? (*status.unitActive ? "yes" : "no") : "unknown") << '\n';
    }
    std::cout << "Keep Consistent: "
              << (!status.pausedBy ? "not paused"
                  : status.pausedBy->empty()
                      ? "paused"
                      : "paused by snapshot " + platform::printable(*status.pausedBy))
              << '\n';
    return kExitSuccess;
}

}  // namespace

void addAgentCommands(CLI::App& app, const GlobalOptions& global, Action& action) {
    auto* group = app.add_subcommand(
        "agent", "Run Keep Consistent as a login service (launchd job, systemd user unit)");
    group->require_subcommand(1);

    auto install = std::make_shared<InstallOptions>();
    auto* installCommand = group->add_subcommand(
        "install", "Write the login service and start it (replacing an earlier one)");
    installCommand
        ->add_option("--folder", install->folders,
                     "A folder for the watcher to keep consistent (repeatable)")
        ->option_text("DIR");
    addTreeOptions(*installCommand, install->tree);
    addWatchTimingOptions(*installCommand, install->timing);
    installCommand->callback([&global, &action, install] {
        action = [&global, install] { return runInstall(global, *install); };
    });

    auto* uninstallCommand =
        group->add_subcommand("uninstall", "Stop and remove the login service");
    uninstallCommand->callback(
        [&global, &action] { action = [&global] { return runUninstall(global); }; });

    auto status = std::make_shared<StatusOptions>();
    auto* statusCommand = group->add_subcommand(
        "status", "Whether the login service is installed and running, and whether it is paused");
    statusCommand->add_flag("--json", status->json, "Print the status as JSON");
    statusCommand->callback([&global, &action, status] {
        action = [&global, status] { return runStatus(global, *status); };
    });
}

}  // namespace lumifold::cli
