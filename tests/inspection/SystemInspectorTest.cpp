#include <gtest/gtest.h>

#include "core/inspection/SystemInspector.h"

namespace lumifold {
namespace {

TEST(SystemInspectorTest, BuildVersionIsTheTrimmedUtf8OutputOfSwVersOrUnknown) {
    const std::pair<platform::ProcessResult, const char*> cases[] = {
        {{true, 0, " \t22G120 \r\n"}, "22G120"},
        {{true, 1, "X1\n"}, "X1"},  // the exit status is not examined
        {{true, 0, "23F\xFF\n"}, "Unknown"},
        {{}, "Unknown"},  // sw_vers could not start
    };
    for (const auto& [result, expected] : cases) {
        EXPECT_EQ(SystemInspector::buildVersionFrom(result), expected) << result.standardOutput;
    }
}

}  // namespace
}  // namespace lumifold
