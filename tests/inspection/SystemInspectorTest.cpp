#include <gtest/gtest.h>

#include "core/inspection/SystemInspector.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

TEST(SystemInspectorTest, ShowsTheVersionAsThreeNumbersAndAMissingBuildAsUnknown) {
    const testing::TempHome home;
    const auto inspected = [&](std::optional<std::string> build) {
        const SystemInspectorHost host{
            .systemVersion = {
                .version =
                    [] {
                        return platform::OperatingSystemVersion{14, 5, 0};
                    },
                .build = [build] { return build; },
            }};
        return SystemInspector(home.path(), host).inspect();
    };
    EXPECT_EQ(inspected("23F79").osVersion, "14.5.0");
    EXPECT_EQ(inspected("23F79").buildVersion, "23F79");
    EXPECT_EQ(inspected(std::nullopt).buildVersion, "Unknown");
}

}  // namespace
}  // namespace lumifold
