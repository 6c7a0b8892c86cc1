#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/platform/SystemVersion.h"

namespace lumifold::platform {
namespace {

TEST(SystemVersionTest, ReleaseTextGivesItsLeadingNumbers) {
    const std::pair<const char*, OperatingSystemVersion> cases[] = {
        {"6.1.0-18-amd64", {6, 1, 0}}, {"5.15", {5, 15, 0}}, {"6.9-rc2", {6, 9, 0}},
        {"14.5.1.7", {14, 5, 1}},      {"", {0, 0, 0}},      {"v6.1", {0, 0, 0}},
        {"99999999999.1", {0, 0, 0}},  {"6..1", {6, 0, 0}},
    };
    for (const auto& [release, expected] : cases) {
        EXPECT_EQ(versionFromReleaseText(release), expected) << '"' << release << '"';
    }
}

TEST(SystemVersionTest, LinuxIsNamedByItsKernelAndItsDistribution) {
    const struct {
        const char* osRelease;
        const char* kernel;
        const char* expected;
    } cases[] = {
        {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
         "VERSION_ID=\"12\"\nID=debian\n",
         "6.18.44-fc-v1300", "Linux 6.18.44, Debian GNU/Linux 12"},
        {"NAME='Arch Linux'\nBUILD_ID=rolling", "6.9", "Linux 6.9.0, Arch Linux"},
        {"PRETTY_NAME=\"Home \\\"made\\\"\x1B[2J\"", "5.15.0", "Linux 5.15.0, Home \"made\"[2J"},
        {"", "", "Linux 0.0.0"},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(linuxSystemName(each.osRelease, each.kernel), each.expected) << each.osRelease;
    }
}

// sw_vers's output, trimmed, whatever its exit status; no build for output that is not UTF-8,
// only white space, or a sw_vers that did not start. The version is the product version's.
TEST(SystemVersionTest, MacBuildAndVersionAreTheTrimmedUtf8OutputOfSwVers) {
    const std::pair<ProcessResult, std::optional<std::string>> cases[] = {
        {{true, 0, " \t22G120 \r\n"}, "22G120"},
        {{true, 1, "X1\n"}, "X1"},
        {{true, 0, "23F\xFF\n"}, std::nullopt},
        {{true, 0, " \n"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [result, expected] : cases) {
        std::vector<std::string> asked;
        const SystemVersion mac =
            SystemVersion::mac([&](const std::string& path, const std::vector<std::string>& args) {
                asked.push_back(path + " " + args.at(0));
                return result;
            });
        EXPECT_EQ(mac.build(), expected) << result.standardOutput;
        EXPECT_EQ(asked, std::vector<std::string>{"/usr/bin/sw_vers -buildVersion"});
    }
    const SystemVersion mac =
        SystemVersion::mac([&](const std::string& path, const std::vector<std::string>& args) {
            if (path != "/usr/bin/sw_vers" || args.at(0) != "-productVersion")
                return ProcessResult{};
            return ProcessResult{.started = true, .exitStatus = 0, .standardOutput = "14.5\n"};
        });
    EXPECT_EQ(mac.version(), (OperatingSystemVersion{14, 5, 0}));
}

}  // namespace
}  // namespace lumifold::platform
