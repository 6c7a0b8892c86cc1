#include <gtest/gtest.h>

#include "core/common/Paths.h"

namespace lumifold {
namespace {

TEST(PathsTest, TrailingSlashesAndTheRootAreHandled) {
    EXPECT_EQ(lastPathComponent("/Users/a/Desktop/"), "Desktop");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent("name"), "name");
    EXPECT_EQ(deletingLastPathComponent("/Users/a/Desktop"), "/Users/a");
    EXPECT_EQ(deletingLastPathComponent("/Users"), "/");
    EXPECT_EQ(deletingLastPathComponent("/"), "/");
    EXPECT_EQ(appending("/Users/a/", "/x"), "/Users/a/x");
    EXPECT_EQ(appending("/", "tmp"), "/tmp");
}

}  // namespace
}  // namespace lumifold
