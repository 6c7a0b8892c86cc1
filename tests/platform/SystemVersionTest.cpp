#include <gtest/gtest.h>

#include "core/platform/SystemVersion.h"

namespace lumifold::platform {
namespace {

TEST(SystemVersionTest, ReleaseTextGivesItsLeadingNumbers) {
    EXPECT_EQ(versionFromReleaseText("6.1.0-18-amd64"), (OperatingSystemVersion{6, 1, 0}));
    EXPECT_EQ(versionFromReleaseText("5.15"), (OperatingSystemVersion{5, 15, 0}));
    EXPECT_EQ(versionFromReleaseText("6.9-rc2"), (OperatingSystemVersion{6, 9, 0}));
    EXPECT_EQ(versionFromReleaseText("4.19.123.4"), (OperatingSystemVersion{4, 19, 123}));
    EXPECT_EQ(versionFromReleaseText("14"), (OperatingSystemVersion{14, 0, 0}));
    EXPECT_EQ(versionFromReleaseText(""), (OperatingSystemVersion{}));
    EXPECT_EQ(versionFromReleaseText("-1.2"), (OperatingSystemVersion{}));
    EXPECT_EQ(versionFromReleaseText("99999999999.1"), (OperatingSystemVersion{}));
}

TEST(SystemVersionTest, TheRunningSystemHasAMajorVersion) {
    EXPECT_GT(operatingSystemVersion().major, 0);
}

}  // namespace
}  // namespace lumifold::platform
