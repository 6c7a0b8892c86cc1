#include "core/watcher/LaunchAgent.h"

#include <utility>

#include "core/common/Bytes.h"
#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/platform/Executable.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/UserServices.h"
#include "core/plist/PropertyList.h"
#include "core/watcher/WatchPause.h"

namespace lumifold {
namespace {

// A program's own message as one line of ours: its lines joined, control characters shown.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    return platform::printable(text);
}

constexpr const char* kLaunchctl = "/bin/launchctl";
constexpr const char* kSystemctl = "/usr/bin/systemctl";

bool succeeded(const platform::ProcessResult& result) {
    return result.started && result.exitStatus == 0;
}

std::vector<std::string> serviceArguments(const std::string& programPath,
                                          const std::vector<std::string>& folders,
                                          const std::vector<std::string>& daemonArguments) {
    std::vector<std::string> arguments{programPath, "watch", "--daemon"};
    arguments.insert(arguments.end(), daemonArguments.begin(), daemonArguments.end());
    for (const auto& folder : folders) {
        arguments.push_back("--folder");
        arguments.push_back(folder);
    }
    return arguments;
}

std::string jobDescription(const std::string& home, const std::vector<std::string>& arguments) {
    using platform::PlistValue;
    platform::PlistArray programArguments;
    for (const auto& argument : arguments) programArguments.push_back(PlistValue::string(argument));
    const std::string logFolder = appending(home, ".lumifold");
    return platform::toXmlPropertyList(PlistValue::dictionary({
        {"Label", PlistValue::string(LaunchAgent::kLabel)},
        {"ProgramArguments", PlistValue::array(std::move(programArguments))},
        {"RunAtLoad", PlistValue::boolean(true)},
        {"KeepAlive", PlistValue::boolean(true)},
        {"StandardOutPath", PlistValue::string(appending(logFolder, "watcher.log"))},
        {"StandardErrorPath", PlistValue::string(appending(logFolder, "watcher_error.log"))},
    }));
}

// One ExecStart argument as systemd reads it back unchanged: double-quoted, the backslash, the
// quote and control characters escaped, and "%" and "$" doubled so that neither a specifier
// nor a variable is expanded.
std::string systemdQuoted(const std::string& argument) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string quoted = "\"";
    for (const char c : argument) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            quoted += {'\\', c};
        } else if (c == '%' || c == '$') {
            quoted += {c, c};
        } else if (byte < 0x20 || byte == 0x7f) {
            quoted += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

std::string unitText(const std::vector<std::string>& arguments) {
    std::string execStart = "ExecStart=";
    for (const auto& argument : arguments) {
        if (&argument != &arguments.front()) execStart += ' ';
        execStart += systemdQuoted(argument);
    }
    // The journal, not ~/.lumifold's logs: systemd keeps and rotates it.
    return "[Unit]\n"
           "Description=Lumifold Keep Consistent watcher\n"
           "\n"
           "[Service]\n" +
           execStart +
           "\n"
           "Restart=always\n"
           "StandardOutput=journal\n"
           "StandardError=journal\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

// The first of an installed job description's ProgramArguments; nullopt for a file that does
// not hold one.
std::optional<std::string> startedProgram(const std::string& jobPath) {
    try {
        const platform::PlistValue job = platform::parsePropertyList(platform::readFile(jobPath));
        const platform::PlistDictionary* keys = job.ifDictionary();
        if (!keys) return std::nullopt;
        const auto found = keys->find("ProgramArguments");
        if (found == keys->end()) return std::nullopt;
        const platform::PlistArray* arguments = found->second.ifArray();
        if (!arguments || arguments->empty()) return std::nullopt;
        const std::string* program = arguments->front().ifString();
        return program ? std::optional(*program) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

LaunchAgentHost LaunchAgentHost::system(const std::string& home) {
    // Without an entry in the password database, HOME is the only home there is to go by.
    const std::string own = platform::accountHomeDirectory().value_or(platform::homeDirectory());
    const bool usersOwn =
        platform::resolveSymbolicLinks(home) == platform::resolveSymbolicLinks(own);
    return {
        .homeDirectory = home,
        .configHome = usersOwn ? platform::userConfigurationHome() : std::nullopt,
        .writesSystemdUnit = platform::userServicesRunUnderSystemd(),
        .asksServiceManagers = usersOwn,
        .runProcess = platform::runProcess,
    };
}

LaunchAgent::LaunchAgent(LaunchAgentHost host) : m_host(std::move(host)) {}

std::string LaunchAgent::launchAgentURL() const {
    return appending(appending(m_host.homeDirectory, "Library/LaunchAgents"),
                     std::string(kLabel) + ".plist");
}

std::optional<std::string> LaunchAgent::systemdUnitPath() const {
    if (!m_host.writesSystemdUnit) return std::nullopt;
    const std::string configHome =
        m_host.configHome.value_or(appending(m_host.homeDirectory, ".config"));
    return appending(appending(configHome, "systemd/user"), std::string(kUnitName) + ".service");
}

bool LaunchAgent::isLaunchAgentInstalled() const { return platform::fileExists(launchAgentURL()); }

LaunchAgentInstallation LaunchAgent::installLaunchAgent(
    const std::string& programPath, const std::vector<std::string>& folders,
    const std::vector<std::string>& daemonArguments) const {
    // A service that cannot start its program would be started again in vain at every log-in.
    if (!platform::isExecutableFile(programPath)) {
        throw Error(kDomain, kProgramCannotRun,
                    "Could not install the login service: \"" + platform::printable(programPath) +
                        (platform::fileExists(programPath) ? "\" is not an executable file."
                                                           : "\" does not exist."));
    }
    const auto arguments = serviceArguments(programPath, folders, daemonArguments);
    LaunchAgentInstallation installation{.jobDescriptionPath = launchAgentURL(),
                                         .unitPath = systemdUnitPath(),
                                         .unitEnabled = false,
                                         .serviceManagerSaid = {}};
    // Texts, folders, files, then commands: a failure leaves nothing written for a service
    // manager to run half of.
    const std::string job = jobDescription(m_host.homeDirectory, arguments);
    const std::string unit = unitText(arguments);
    platform::createDirectories(deletingLastPathComponent(installation.jobDescriptionPath));
    if (installation.unitPath) {
        platform::createDirectories(deletingLastPathComponent(*installation.unitPath));
    }
    platform::writeFileAtomically(installation.jobDescriptionPath, asBytes(job));
    if (installation.unitPath) platform::writeFileAtomically(*installation.unitPath, asBytes(unit));
    // launchctl's outcome says nothing the file does not: it is installed either way.
    ask(kLaunchctl, {"load", installation.jobDescriptionPath});
    if (installation.unitPath) {
        // Enabling before systemd has read the new file would start the unit as it was.
        for (const std::vector<std::string>& step :
             {std::vector<std::string>{"--user", "daemon-reload"},
              std::vector<std::string>{"--user", "enable", "--now", kUnitName}}) {
            const platform::ProcessResult answer = ask(kSystemctl, step);
            installation.unitEnabled = succeeded(answer);
            if (installation.unitEnabled) continue;
            installation.serviceManagerSaid = oneLine(answer.standardError);
            break;
        }
    }
    return installation;
}

void LaunchAgent::uninstallLaunchAgent() const {
    // A file left in place still counts as installed, which is what the user then sees.
    const auto remove = [](const std::string& path) {
        try {
            platform::removeFile(path);
        } catch (const Error&) {
        }
    };
    const std::string jobPath = launchAgentURL();
    if (platform::fileExists(jobPath)) {
        ask(kLaunchctl, {"unload", jobPath});
        remove(jobPath);
    }
    const auto unitPath = systemdUnitPath();
    if (!unitPath || !platform::fileExists(*unitPath)) return;
    ask(kSystemctl, {"--user", "disable", "--now", kUnitName});
    remove(*unitPath);
    ask(kSystemctl, {"--user", "daemon-reload"});
}

LaunchAgentStatus LaunchAgent::status() const {
    LaunchAgentStatus status{
        .jobDescriptionPath = launchAgentURL(),
        .jobDescriptionInstalled = isLaunchAgentInstalled(),
        .unitPath = systemdUnitPath(),
        .unitInstalled = false,
        .unitActive = std::nullopt,
        .programPath = std::nullopt,
        .pausedBy = WatchPause(m_host.homeDirectory).pausedBy(),
    };
    if (status.jobDescriptionInstalled) {
        status.programPath = startedProgram(status.jobDescriptionPath);
    }
    if (!status.unitPath) return status;
    status.unitInstalled = platform::fileExists(*status.unitPath);
    // Without our unit nothing of ours runs, and systemd need not be asked.
    status.unitActive = false;
    if (!status.unitInstalled) return status;
    const auto answer = ask(kSystemctl, {"--user", "is-active", kUnitName});
    // It prints a state ("active", "inactive", "failed", ...) whenever it reached the user's
    // manager, whatever its exit status; nothing when it did not.
    std::string state = answer.started ? answer.standardOutput : std::string();
    while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) state.pop_back();
    status.unitActive = state.empty() ? std::nullopt : std::optional<bool>(state == "active");
    return status;
}

platform::ProcessResult LaunchAgent::ask(const char* program,
                                         const std::vector<std::string>& arguments) const {
    if (!m_host.asksServiceManagers) return {};
    return m_host.runProcess(program, arguments);
}

}  // namespace lumifold
