#include "core/watcher/LoginService.h"

#include <utility>

#include "core/common/Bytes.h"
#include "core/common/Error.h"
#include "core/common/LumifoldHome.h"
#include "core/common/Paths.h"
#include "core/platform/Executable.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/UserServices.h"
#include "core/plist/PropertyList.h"
#include "core/watcher/WatchPause.h"

namespace lumifold {
namespace {

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
    const LumifoldHome own(home);
    return platform::toXmlPropertyList(PlistValue::dictionary({
        {"Label", PlistValue::string(LoginService::kLabel)},
        {"ProgramArguments", PlistValue::array(std::move(programArguments))},
        {"RunAtLoad", PlistValue::boolean(true)},
        {"KeepAlive", PlistValue::boolean(true)},
        {"StandardOutPath", PlistValue::string(own.log())},
        {"StandardErrorPath", PlistValue::string(own.errorLog())},
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

LoginServiceHost LoginServiceHost::system(const std::string& home) {
    const bool usersOwn = platform::isAccountHome(home);
    return {
        .homeDirectory = home,
        .configHome = usersOwn ? platform::userConfigurationHome() : std::nullopt,
        .asksServiceManagers = usersOwn,
        .serviceManager = platform::UserServiceManager::system(),
    };
}

LoginService::LoginService(LoginServiceHost host) : m_host(std::move(host)) {}

std::string LoginService::loginServicePath() const {
    return appending(appending(m_host.homeDirectory, "Library/LaunchAgents"),
                     std::string(kLabel) + ".plist");
}

std::optional<std::string> LoginService::systemdUnitPath() const {
    if (!m_host.serviceManager.readsSystemdUnits) return std::nullopt;
    const std::string configHome =
        m_host.configHome.value_or(appending(m_host.homeDirectory, ".config"));
    return appending(appending(configHome, "systemd/user"), std::string(kUnitName) + ".service");
}

std::string LoginService::managedFile() const {
    return systemdUnitPath().value_or(loginServicePath());
}

bool LoginService::isInstalled() const { return platform::fileExists(loginServicePath()); }

LoginServiceInstallation LoginService::install(
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
    LoginServiceInstallation installation{.jobDescriptionPath = loginServicePath(),
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
    if (!m_host.asksServiceManagers) return installation;
    const platform::ServiceStart start = m_host.serviceManager.start(managedFile());
    // launchd's outcome says nothing the file does not: it is installed either way.
    if (installation.unitPath) {
        installation.unitEnabled = start.started;
        installation.serviceManagerSaid = start.said;
    }
    return installation;
}

void LoginService::uninstall() const {
    // A file left in place still counts as installed, which is what the user then sees.
    const auto remove = [](const std::string& path) {
        try {
            platform::removeFile(path);
        } catch (const Error&) {
        }
    };
    const std::string managed = managedFile();
    const bool asks = m_host.asksServiceManagers && platform::fileExists(managed);
    if (asks) m_host.serviceManager.stop(managed);
    for (const std::optional<std::string>& path :
         {std::optional(loginServicePath()), systemdUnitPath()}) {
        if (path && platform::fileExists(*path)) remove(*path);
    }
    if (asks) m_host.serviceManager.forget(managed);
}

LoginServiceStatus LoginService::status() const {
    LoginServiceStatus status{
        .jobDescriptionPath = loginServicePath(),
        .jobDescriptionInstalled = isInstalled(),
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
    status.unitActive = m_host.asksServiceManagers
                            ? m_host.serviceManager.isActive(*status.unitPath)
                            : std::nullopt;
    return status;
}

}  // namespace lumifold
