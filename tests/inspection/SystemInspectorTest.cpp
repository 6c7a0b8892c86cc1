#include <gtest/gtest.h>

#include "core/inspection/SystemInspector.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

// The description names what the system says it is and runs on, never what the program was
// compiled for; what it cannot say is "Unknown".
TEST(SystemInspectorTest, DescribesTheMachineAsItsSystemNamesIt) {
    const testing::TempHome home;
    const auto inspected = [&](std::optional<std::string> build, std::string machine) {
        const SystemInspectorHost host{
            .systemVersion = {
                .version =
                    [] {
                        return platform::OperatingSystemVersion{14, 5, 0};
                    },
                .build = [build] { return build; },
                .name = [] { return std::string("Some OS 14.5.0"); },
                .machine = [machine] { return machine; },
            }};
        return SystemInspector(home.path(), host).inspect();
    };
    const SystemEnvironmentInfo mac = inspected("23F79", "arm64");
    EXPECT_EQ(mac.osVersion, "14.5.0");
    EXPECT_EQ(mac.buildVersion, "23F79");
    EXPECT_EQ(mac.architecture, "arm64");
    EXPECT_EQ(mac.description, "Some OS 14.5.0 (build 23F79), arm64");
    const SystemEnvironmentInfo other = inspected(std::nullopt, "");
    EXPECT_EQ(other.buildVersion, "Unknown");
    EXPECT_EQ(other.description, "Some OS 14.5.0, Unknown");
}

}  // namespace
}  // namespace lumifold
