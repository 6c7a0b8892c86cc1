#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "core/common/Iso8601.h"

namespace lumifold {
namespace {

using namespace std::chrono;

system_clock::time_point at(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

TEST(Iso8601Test, FormatsWholeSecondsInUtcRoundingDown) {
    EXPECT_EQ(formatIso8601(at(2025, 1, 31, 14, 5, 10)), "2025-01-31T14:05:10Z");
    EXPECT_EQ(formatIso8601(at(1969, 12, 31, 23, 59, 59) + milliseconds{500}),  // before 1970
              "1969-12-31T23:59:59Z");
}

TEST(Iso8601Test, ParsesWhatItFormatsAndNothingElse) {
    for (const auto time : {at(2024, 2, 29, 0, 0, 0), at(1999, 12, 31, 23, 59, 59)}) {
        EXPECT_EQ(parseIso8601(formatIso8601(time)), time) << formatIso8601(time);
    }
    // Zone, case, separators, fractions, offsets, field widths, padding and out-of-range fields.
    for (const char* text :
         {"2025-01-31T14:05:10", "2025-01-31T14:05:10z", "2025-01-31 14:05:10Z",
          "2025-01-31T14:05:10.000Z", "2025-01-31T14:05:10+00:00", "2025-01-31T14-05-10Z",
          "2025-1-31T14:05:10Z", "2025-01-31T14:05:1 Z", " 2025-01-31T14:05:10Z",
          "2025-13-01T00:00:00Z", "2025-02-29T00:00:00Z", "2025-04-31T00:00:00Z",
          "2025-01-31T24:00:00Z", "2025-01-31T23:59:60Z", ""}) {
        EXPECT_EQ(parseIso8601(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace lumifold
