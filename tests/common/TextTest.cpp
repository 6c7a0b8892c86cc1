#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>

#include "core/common/Base64.h"
#include "core/common/FileList.h"
#include "core/common/Iso8601.h"
#include "core/common/Numbers.h"
#include "core/common/Paths.h"
#include "core/common/Text.h"
#include "tests/support/TestSeed.h"

namespace lumifold {
namespace {

TEST(Base64Test, EncodesKnownVectorsAndDecodesThemBack) {
    // RFC 4648's vectors: no, two and one padding characters.
    for (const std::string vector : {"|", "f|Zg==", "fo|Zm8=", "foo|Zm9v",
                                     "foob|Zm9vYg==", "fooba|Zm9vYmE=", "foobar|Zm9vYmFy"}) {
        const std::string text = vector.substr(0, vector.find('|'));
        const std::string encoded = vector.substr(vector.find('|') + 1);
        EXPECT_EQ(base64Encode(asBytes(text)), encoded);
        EXPECT_EQ(base64Decode(encoded), toBytes(text)) << encoded;
    }
    // Every byte value, so every alphabet character, "+" and "/" included.
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::byte>(i));
    const std::string encoded = base64Encode(all);
    EXPECT_EQ(encoded.substr(encoded.size() - 8), "/P3+/w==");
    EXPECT_EQ(base64Decode(encoded), all);
    EXPECT_EQ(base64Decode("+/+/"), (Bytes{std::byte{0xFB}, std::byte{0xFF}, std::byte{0xBF}}));
}

TEST(Base64Test, RefusesAnythingButStrictPaddedText) {
    for (const char* bad : {"Zg", "Zg=", "Zm9vY", "Zg==Zg==", "Z===", "Zm=v", "=Zm8", "Zm8 ",
                            " Zm8", "Zm\n8", "Zm-_", "Zm8."}) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(base64Decode(std::string("Zm8\0", 4)), std::nullopt);
}

TEST(FormatRealTest, WholeNumbersGainPointZeroOthersUseTheShortestText) {
    std::string text;
    for (double value : {44.0, 0.0, -3.0, 0.1, 44.005, 1.0 / 3.0, 1e300, double{INFINITY},
                         -double{INFINITY}, double{NAN}}) {
        text += formatReal(value) + " ";
    }
    EXPECT_EQ(text, "44.0 0.0 -3.0 0.1 44.005 0.3333333333333333 1e+300 inf -inf nan ");
}

TEST(FormatRealTest, TextReadsBackAsTheSameValue) {
    const auto seed = testing::testSeed();
    SCOPED_TRACE(testing::seedTrace(seed));
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> distribution(-1e6, 1e6);
    for (int i = 0; i < 2000; ++i) {
        const double value = distribution(generator);
        EXPECT_EQ(std::strtod(formatReal(value).c_str(), nullptr), value);
    }
}

// Each outcome, and a bound that holds however much a conversion grows the text.
TEST(ConvertToUtf8Test, ConvertsOrSaysWhereAndWhyItStopped) {
    using Outcome = ConvertedText::Outcome;
    const std::tuple<std::string, std::string, std::size_t, Outcome, std::string, std::size_t>
        cases[] = {
            {"latin1", "caf\xE9", 5, Outcome::converted, "café", 0},
            {"windows-1252", "\x80", 3, Outcome::converted, "€", 0},
            {"UTF-16LE", std::string("a\0\x3D\xD8\x00\xDE", 6), 5, Outcome::converted, "a😀", 0},
            {"US-ASCII", "ab\xE9", 3, Outcome::invalidBytes, "", 2},
            {"UTF-16BE", std::string("\0a\xDC\x00", 4), 3, Outcome::invalidBytes, "", 2},
            {"UTF-16LE", "a", 3, Outcome::invalidBytes, "", 0},
            {"latin1", std::string(70000, '\xE9'), 139999, Outcome::tooLong, "", 0},
            {"klingon", "a", 3, Outcome::unknownEncoding, "", 0},
            {"UTF-8,swaplfnl", "a", 3, Outcome::unknownEncoding, "", 0},
        };
    for (const auto& [name, bytes, maxSize, outcome, text, invalidAt] : cases) {
        SCOPED_TRACE(name);
        const ConvertedText converted = convertToUtf8(bytes, name, maxSize);
        EXPECT_EQ(converted.outcome, outcome);
        EXPECT_EQ(converted.text, text);
        EXPECT_EQ(converted.invalidAt, invalidAt);
    }
    EXPECT_EQ(convertToUtf8(std::string(70000, '\xE9'), "latin1", 140000).text.size(), 140000u);
    EXPECT_EQ(encodingName("latin1"), "ISO-8859-1");
    EXPECT_EQ(encodingName("utf-8"), "UTF-8");
    EXPECT_EQ(encodingName("klingon"), std::nullopt);
}

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

TEST(GlobTest, MatchesWholeTextsLikeAShell) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"build", "build", true},
        {"build", "builds", false},
        {"*", "", true},
        {"*/old", "/home/a/old", true},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
        {"?x", "yx", true},
        {"?x", "x", false},
        {"[a-c]1", "b1", true},
        {"[!a-c]1", "b1", false},
        {"[]]", "]", true},
        {"[ab", "[ab", true},
        {"\\*", "*", true},
        {"\\*", "x", false},
        {"**/2019", "/Archive/2019", true},
    };
    for (const auto& [pattern, text, expected] : cases) {
        EXPECT_EQ(matchesGlob(pattern, text), expected) << pattern << " ~ " << text;
    }
}

// Folders that hold one another, share prefixes ("a" and "a b"), are given twice or end in "/":
// the list orders as the full paths themselves sort.
TEST(FileListTest, OrdersAsThePathsSort) {
    const auto seed = testing::testSeed();
    SCOPED_TRACE(testing::seedTrace(seed));
    std::mt19937_64 generator(seed);
    const std::string alphabet = "a b.-/";
    const auto text = [&](std::size_t length) {
        std::string result;
        for (std::size_t i = 0; i < length; ++i) result += alphabet[generator() % alphabet.size()];
        return result;
    };
    for (int round = 0; round < 50; ++round) {
        FileList files;
        std::vector<std::string> expected;
        for (int f = 0; f < 8; ++f) {
            const std::string folder = "/r" + text(generator() % 5);
            std::vector<std::string> names;
            for (int n = 0; n < 4; ++n) names.push_back("n" + text(generator() % 3));
            std::sort(names.begin(), names.end());
            for (const auto& name : names) expected.push_back(appending(folder, name));
            files.addFolder(folder, names);
        }
        files.sortByPath();
        std::stable_sort(expected.begin(), expected.end());
        ASSERT_EQ(files.paths(), expected);
    }
}

}  // namespace
}  // namespace lumifold
