#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "core/platform/FileSystem.h"
#include "core/platform/UserServices.h"
#include "core/plist/PropertyList.h"
#include "core/watcher/LoginService.h"
#include "core/watcher/WatchPause.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using platform::PlistValue;
using Lines = std::vector<std::string>;

class LoginServiceTest : public ::testing::Test {
  protected:
    // Real files; a pretend service manager (systemd, or a Mac's launchd). Each command becomes
    // a line of `commands`. A line holding `failing` exits 3 saying "inactive", any other exits 0
    // saying "active".
    LoginServiceHost fakeHost(const std::string& homePath, bool asks = true, bool launchd = false) {
        auto host = LoginServiceHost::system(homePath);
        host.asksServiceManagers = asks;
        const platform::ProcessRunner run = [this](const std::string& path,
                                                   const Lines& arguments) {
            std::string line = path;
            for (const auto& argument : arguments) line += " " + argument;
            commands.push_back(line);
            const bool fails = line.find(failing) != std::string::npos;
            return platform::ProcessResult{
                .started = true,
                .exitStatus = fails ? 3 : 0,
                .standardOutput = fails ? "inactive\n" : "active\n",
                .standardError = fails ? "Failed to connect to bus:\nNo medium found\n" : ""};
        };
        host.serviceManager = launchd ? platform::UserServiceManager::launchd(run)
                                      : platform::UserServiceManager::systemd(run);
        return host;
    }

    testing::TempHome home;
    // A program the service can start, in a folder whose name needs quoting.
    const std::string program = [this] {
        const std::string path = home.writeFile("my apps/lumifold", "#!/bin/sh\n");
        platform::setPermissionBits(path, 0755);
        return path;
    }();
    Lines commands;
    std::string failing = "nothing";
    LoginService agent{fakeHost(home.path())};
};

// Also creates the missing ~/Library/LaunchAgents.
TEST_F(LoginServiceTest, JobDescriptionHoldsSixKeysWithArgumentsInOrder) {
    const std::string h = home.path();
    const Lines cases[][3] = {
        // folders, daemon arguments, ProgramArguments
        {{}, {}, {program, "watch", "--daemon"}},
        {{"/A", "/B"},
         {"--home", h},
         {program, "watch", "--daemon", "--home", h, "--folder", "/A", "--folder", "/B"}},
    };
    for (const auto& [folders, daemonArguments, expected] : cases) {
        agent.install(program, folders, daemonArguments);
        platform::PlistArray arguments;
        for (const auto& argument : expected) arguments.push_back(PlistValue::string(argument));
        const auto text = platform::readFile(agent.loginServicePath());
        EXPECT_EQ(asText(text).substr(0, 6), "<?xml ");
        EXPECT_EQ(platform::parsePropertyList(text),
                  PlistValue::dictionary({
                      {"Label", PlistValue::string("com.quarnish.lumifold.watcher")},
                      {"ProgramArguments", PlistValue::array(arguments)},
                      {"RunAtLoad", PlistValue::boolean(true)},
                      {"KeepAlive", PlistValue::boolean(true)},
                      {"StandardOutPath", PlistValue::string(h + "/.lumifold/watcher.log")},
                      {"StandardErrorPath", PlistValue::string(h + "/.lumifold/watcher_error.log")},
                  }));
    }
}

TEST_F(LoginServiceTest, UnitQuotesEachArgumentAsSystemdReadsIt) {
    const auto installation = agent.install(program, {"/\"100%\" $HOME\\\t"}, {"--home", "/h"});
    ASSERT_EQ(installation.unitPath, home / ".config/systemd/user/lumifold-watcher.service");
    EXPECT_EQ(asText(platform::readFile(*installation.unitPath)),
              "[Unit]\nDescription=Lumifold Keep Consistent watcher\n\n[Service]\n"
              "ExecStart=\"" +
                  program +
                  R"(" "watch" "--daemon" "--home" "/h" "--folder" )"
                  R"("/\"100%%\" $$HOME\\\x09")"
                  "\nRestart=always\nStandardOutput=journal\nStandardError=journal\n\n"
                  "[Install]\nWantedBy=default.target\n");
}

// Install, status, uninstall. Enabling waits for a reload; a home not the user's asks nothing,
// since the service managers are the user's. Both files stay whatever systemd says. A Mac's
// launchd reads the job description alone, and its outcome changes nothing.
TEST_F(LoginServiceTest, AsksTheServiceManagerInOrder) {
    const std::string job = agent.loginServicePath(), load = "/bin/launchctl load " + job,
                      unload = "/bin/launchctl unload " + job,
                      reload = "/usr/bin/systemctl --user daemon-reload",
                      enable = "/usr/bin/systemctl --user enable --now lumifold-watcher",
                      active = "/usr/bin/systemctl --user is-active lumifold-watcher",
                      disable = "/usr/bin/systemctl --user disable --now lumifold-watcher";
    struct Case {
        std::string failing;
        bool asks = true, launchd = false, enabled = false;
        std::optional<bool> isActive = {};
        Lines commands = {};
    };
    // The command that fails, asks, launchd, enabled, is active, the commands run.
    const Lines all = {reload, enable, active, disable, reload};
    const Case cases[] = {
        {"nothing", true, false, true, true, all},
        {"enable", true, false, false, true, all},
        {"reload", true, false, false, true, {reload, active, disable, reload}},
        {"is-active", true, false, true, false, all},
        {"nothing", false},
        {"load", true, true, false, {}, {load, unload}},
    };
    for (const Case& c : cases) {
        failing = c.failing;
        const LoginService subject(fakeHost(home.path(), c.asks, c.launchd));
        const auto installed = subject.install(program, {});
        EXPECT_EQ(installed.unitEnabled, c.enabled);
        EXPECT_EQ(installed.unitPath.has_value(), !c.launchd);
        // systemctl's own words come back, as one line of ours, only when it failed.
        EXPECT_EQ(installed.serviceManagerSaid, c.asks && !c.enabled && !c.launchd
                                                    ? "Failed to connect to bus: No medium found"
                                                    : "");
        const auto status = subject.status();
        EXPECT_TRUE(status.jobDescriptionInstalled && status.unitInstalled != c.launchd);
        EXPECT_EQ(status.unitActive, c.isActive);
        EXPECT_EQ(status.programPath, program);
        subject.uninstall();
        EXPECT_FALSE(subject.isInstalled() || platform::fileExists(home / ".config/systemd"
                                                                          "/user/lumifold-watcher"
                                                                          ".service"));
        EXPECT_EQ(commands, c.commands) << c.failing << c.asks;
        commands.clear();
    }
    // With nothing installed, neither uninstalling nor the status asks anything; a job
    // description that is not ours names no program.
    WatchPause(home.path()).pause("2024-05-01T10-00-00Z");
    agent.uninstall();
    home.writeFile("Library/LaunchAgents/com.quarnish.lumifold.watcher.plist", "not ours");
    const auto status = agent.status();
    EXPECT_EQ(status.unitActive, false);
    EXPECT_EQ(status.programPath, std::nullopt);
    EXPECT_EQ(status.pausedBy, "2024-05-01T10-00-00Z");
    EXPECT_EQ(commands, Lines{});
}

// A program that cannot run (the service would be started again in vain at every log-in) or a
// folder that cannot be made: nothing is written and no service manager is asked anything.
TEST_F(LoginServiceTest, InstallRefusesBeforeWritingOrAskingAnything) {
    home.makeFolder("folder");
    home.writeFile("plain", "not a program");
    for (const auto& [path, ending] :
         {std::pair{home / "missing", "\" does not exist."},
          std::pair{home / "folder", "\" is not an executable file."},
          std::pair{home / "plain", "\" is not an executable file."}}) {
        EXPECT_LUMIFOLD_ERROR(agent.install(path, {}), LoginService::kDomain,
                              LoginService::kProgramCannotRun,
                              "Could not install the login service: \"" + path + ending);
    }
    EXPECT_FALSE(agent.isInstalled() || platform::fileExists(*agent.systemdUnitPath()));
    for (const char* blocker : {"Library", ".config"}) {
        const testing::TempHome other;
        const LoginService blocked(fakeHost(other.path()));
        other.writeFile(blocker, "a file, not a folder");
        EXPECT_LUMIFOLD_ERROR_CODE(blocked.install(program, {}), "POSIX", ENOTDIR);
        EXPECT_FALSE(blocked.isInstalled() || platform::fileExists(*blocked.systemdUnitPath()));
    }
    EXPECT_EQ(commands, Lines{});
}

// A home other than the account's keeps the unit in that home and leaves the service managers
// out.
TEST(LoginServiceHostTest, OnlyTheUsersOwnHomeTakesXdgConfigHomeAndItsServiceManagers) {
    const testing::TempHome other;
    ::setenv("XDG_CONFIG_HOME", "/elsewhere", 1);  // no other case reads it
    const auto own = LoginServiceHost::system(platform::accountHomeDirectory().value());
    const auto sandbox = LoginServiceHost::system(other.path());
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(own.configHome, "/elsewhere");
    EXPECT_TRUE(own.asksServiceManagers);
    EXPECT_EQ(sandbox.configHome, std::nullopt);
    EXPECT_FALSE(sandbox.asksServiceManagers);
}

}  // namespace
}  // namespace lumifold
