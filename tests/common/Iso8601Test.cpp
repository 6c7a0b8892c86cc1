#include <gtest/gtest.h>

#include <string>

#include "core/common/Iso8601.h"

namespace lumifold {
namespace {

using namespace std::chrono;

system_clock::time_point at(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

TEST(Iso8601Test, FormatsWholeSecondsInUtc) {
    EXPECT_EQ(formatIso8601(at(2025, 1, 31, 14, 5, 10)), "2025-01-31T14:05:10Z");
    EXPECT_EQ(formatIso8601(at(1970, 1, 1, 0, 0, 0)), "1970-01-01T00:00:00Z");
    // Fractions are dropped, never rounded up into the next second.
    EXPECT_EQ(formatIso8601(at(2025, 12, 31, 23, 59, 59) + milliseconds{999}),
              "2025-12-31T23:59:59Z");
    // Before the epoch the second is still rounded down.
    EXPECT_EQ(formatIso8601(at(1969, 12, 31, 23, 59, 59) + milliseconds{500}),
              "1969-12-31T23:59:59Z");
}

TEST(Iso8601Test, IdentifierReplacesEveryColon) {
    EXPECT_EQ(iso8601Identifier(at(2025, 3, 5, 9, 3, 7)), "2025-03-05T09-03-07Z");
    EXPECT_EQ(iso8601Identifier(at(2025, 1, 31, 14, 5, 9)), "2025-01-31T14-05-09Z");
}

TEST(Iso8601Test, ParsesWhatItFormats) {
    for (const auto time : {at(2025, 1, 31, 14, 5, 10), at(2024, 2, 29, 0, 0, 0),
                            at(1999, 12, 31, 23, 59, 59), at(2100, 6, 15, 12, 30, 1)}) {
        const std::string text = formatIso8601(time);
        EXPECT_EQ(parseIso8601(text), time) << text;
    }
}

TEST(Iso8601Test, RejectsEveryOtherForm) {
    for (const char* text : {
             "",
             "2025-01-31T14:05:10",        // no zone
             "2025-01-31T14:05:10z",       // lower-case designator
             "2025-01-31t14:05:10Z",       // lower-case T
             "2025-01-31 14:05:10Z",       // space instead of T
             "2025-01-31T14:05:10.000Z",   // fraction
             "2025-01-31T14:05:10+00:00",  // offset
             "2025-01-31T14-05-10Z",       // the identifier form
             "2025-1-31T14:05:10Z",        // short field
             "+025-01-31T14:05:10Z",       // sign
             "2025-01-31T14:05:1 Z",       // space in a field
             "2025-01-31T14:05:10Z ",      // trailing text
             " 2025-01-31T14:05:10Z",      // leading text
             "2025-13-01T00:00:00Z",       // month 13
             "2025-00-01T00:00:00Z",       // month 0
             "2025-02-29T00:00:00Z",       // not a leap year
             "2025-04-31T00:00:00Z",       // April has 30 days
             "2025-01-00T00:00:00Z",       // day 0
             "2025-01-31T24:00:00Z",       // hour 24
             "2025-01-31T23:60:00Z",       // minute 60
             "2025-01-31T23:59:60Z",       // leap second
         }) {
        EXPECT_EQ(parseIso8601(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace lumifold
