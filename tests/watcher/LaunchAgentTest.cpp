#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "core/platform/FileSystem.h"
#include "core/platform/UserServices.h"
#include "core/plist/PropertyList.h"
#include "core/watcher/LaunchAgent.h"
#include "core/watcher/WatchPause.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using platform::PlistValue;
using Lines = std::vector<std::string>;

class LaunchAgentTest : public ::testing::Test {
  protected:
    // Real files; pretend service managers. Each command becomes a line of `commands`.
    // launchctl never starts, as on Linux; a systemctl line holding `failing` exits 3 saying
    // "inactive", any other exits 0 saying "active".
    LaunchAgentHost fakeHost(const std::string& homePath, bool asks = true) {
        auto host = LaunchAgentHost::system(homePath);
        host.writesSystemdUnit = true;
        host.asksServiceManagers = asks;
        host.runProcess = [this](const std::string& path, const Lines& arguments) {
            std::string line = path;
            for (const auto& argument : arguments) line += " " + argument;
            commands.push_back(line);
            if (path == "/bin/launchctl") return platform::ProcessResult{};
            const bool fails = line.find(failing) != std::string::npos;
            return platform::ProcessResult{
                .started = true,
                .exitStatus = fails ? 3 : 0,
                .standardOutput = fails ? "inactive\n" : "active\n",
                .standardError = fails ? "Failed to connect to bus:\nNo medium found\n" : ""};
        };
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
    LaunchAgent agent{fakeHost(home.path())};
};

// Also creates the missing ~/Library/LaunchAgents.
TEST_F(LaunchAgentTest, JobDescriptionHoldsSixKeysWithArgumentsInOrder) {
    const std::string h = home.path();
    const Lines cases[][3] = {
        // folders, daemon arguments, ProgramArguments
        {{}, {}, {program, "watch", "--daemon"}},
        {{"/A", "/B"},
         {"--home", h},
         {program, "watch", "--daemon", "--home", h, "--folder", "/A", "--folder", "/B"}},
    };
    for (const auto& [folders, daemonArguments, expected] : cases) {
        agent.installLaunchAgent(program, folders, daemonArguments);
        platform::PlistArray arguments;
        for (const auto& argument : expected) arguments.push_back(PlistValue::string(argument));
        const auto text = platform::readFile(agent.launchAgentURL());
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

TEST_F(LaunchAgentTest, UnitQuotesEachArgumentAsSystemdReadsIt) {
    const auto installation =
        agent.installLaunchAgent(program, {"/\"100%\" $HOME\\\t"}, {"--home", "/h"});
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
// since the service managers are the user's. Both files stay whatever systemd says.
TEST_F(LaunchAgentTest, AsksTheServiceManagersInOrder) {
    const std::string job = agent.launchAgentURL(), load = "/bin/launchctl load " + job,
                      unload = "/bin/launchctl unload " + job,
                      reload = "/usr/bin/systemctl --user daemon-reload",
                      enable = "/usr/bin/systemctl --user enable --now lumifold-watcher",
                      active = "/usr/bin/systemctl --user is-active lumifold-watcher",
                      disable = "/usr/bin/systemctl --user disable --now lumifold-watcher";
    const std::tuple<std::string, bool, bool, std::optional<bool>, Lines> cases[] = {
        {"nothing", true, true, true, {load, reload, enable, active, unload, disable, reload}},
        {"enable", true, false, true, {load, reload, enable, active, unload, disable, reload}},
        {"reload", true, false, true, {load, reload, active, unload, disable, reload}},
        {"is-active", true, true, false, {load, reload, enable, active, unload, disable, reload}},
        {"nothing", false, false, std::nullopt, {}},
    };
    for (const auto& [failingPart, asks, enabled, isActive, expected] : cases) {
        failing = failingPart;
        const LaunchAgent subject(fakeHost(home.path(), asks));
        const auto installed = subject.installLaunchAgent(program, {});
        EXPECT_EQ(installed.unitEnabled, enabled);
        // systemctl's own words come back, as one line of ours, only when it failed.
        EXPECT_EQ(installed.serviceManagerSaid,
                  asks && !enabled ? "Failed to connect to bus: No medium found" : "");
        const auto status = subject.status();
        EXPECT_TRUE(status.jobDescriptionInstalled && status.unitInstalled);
        EXPECT_EQ(status.unitActive, isActive);
        EXPECT_EQ(status.programPath, program);
        subject.uninstallLaunchAgent();
        EXPECT_FALSE(subject.isLaunchAgentInstalled() ||
                     platform::fileExists(*subject.systemdUnitPath()));
        EXPECT_EQ(commands, expected) << failing << asks;
        commands.clear();
    }
    // With nothing installed, neither uninstalling nor the status asks anything; a job
    // description that is not ours names no program.
    WatchPause(home.path()).pause("2024-05-01T10-00-00Z");
    agent.uninstallLaunchAgent();
    home.writeFile("Library/LaunchAgents/com.quarnish.lumifold.watcher.plist", "not ours");
    const auto status = agent.status();
    EXPECT_EQ(status.unitActive, false);
    EXPECT_EQ(status.programPath, std::nullopt);
    EXPECT_EQ(status.pausedBy, "2024-05-01T10-00-00Z");
    EXPECT_EQ(commands, Lines{});
}

// Either folder: nothing is written and no service manager is asked anything.
TEST_F(LaunchAgentTest, AFolderThatCannotBeMadeRaisesBeforeAnything) {
    for (const char* blocker : {"Library", ".config"}) {
        const testing::TempHome other;
        const LaunchAgent blocked(fakeHost(other.path()));
        other.writeFile(blocker, "a file, not a folder");
        EXPECT_LUMIFOLD_ERROR_CODE(blocked.installLaunchAgent(program, {}), "POSIX", ENOTDIR);
        EXPECT_FALSE(blocked.isLaunchAgentInstalled() ||
                     platform::fileExists(*blocked.systemdUnitPath()));
    }
    EXPECT_EQ(commands, Lines{});
}

// The service would be started again in vain at every log-in: nothing is written or asked.
TEST_F(LaunchAgentTest, RefusesAProgramThatCannotRun) {
    home.makeFolder("folder");
    home.writeFile("plain", "not a program");
    const std::pair<std::string, const char*> cases[] = {
        {home / "missing", "\" does not exist."},
        {home / "folder", "\" is not an executable file."},
        {home / "plain", "\" is not an executable file."},
    };
    for (const auto& [path, ending] : cases) {
        EXPECT_LUMIFOLD_ERROR(agent.installLaunchAgent(path, {}), LaunchAgent::kDomain,
                              LaunchAgent::kProgramCannotRun,
                              "Could not install the login service: \"" + path + ending);
    }
    EXPECT_FALSE(agent.isLaunchAgentInstalled() || platform::fileExists(*agent.systemdUnitPath()));
    EXPECT_EQ(commands, Lines{});
}

// A home other than the account's keeps the unit in that home and leaves the service managers
// out.
TEST(LaunchAgentHostTest, OnlyTheUsersOwnHomeTakesXdgConfigHomeAndItsServiceManagers) {
    const testing::TempHome other;
    ::setenv("XDG_CONFIG_HOME", "/elsewhere", 1);  // no other case reads it
    const auto own = LaunchAgentHost::system(platform::accountHomeDirectory().value());
    const auto sandbox = LaunchAgentHost::system(other.path());
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(own.configHome, "/elsewhere");
    EXPECT_TRUE(own.asksServiceManagers);
    EXPECT_EQ(sandbox.configHome, std::nullopt);
    EXPECT_FALSE(sandbox.asksServiceManagers);
}

}  // namespace
}  // namespace lumifold
