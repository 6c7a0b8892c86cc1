#include <gtest/gtest.h>

#include "core/platform/SystemVersion.h"

namespace lumifold::platform {
namespace {

TEST(SystemVersionTest, ReleaseTextGivesItsLeadingNumbers) {
    const std::pair<const char*, OperatingSystemVersion> cases[] = {{"6.1.0-18-amd64", {6, 1, 0}},
                                                                    {"6.9-rc2", {6, 9, 0}},
                                                                    {"4.19.123.4", {4, 19, 123}},
                                                                    {"14", {14, 0, 0}},
                                                                    {"", {}},
                                                                    {"-1.2", {}},
                                                                    {"99999999999.1", {}}};
    for (const auto& [text, version] : cases)
        EXPECT_EQ(versionFromReleaseText(text), version) << text;
    EXPECT_GT(operatingSystemVersion().major, 0);
}

}  // namespace
}  // namespace lumifold::platform
