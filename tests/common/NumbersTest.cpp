#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "core/common/Numbers.h"

namespace lumifold {
namespace {

TEST(FormatRealTest, WholeNumbersGainPointZero) {
    EXPECT_EQ(formatReal(44), "44.0");
    EXPECT_EQ(formatReal(0), "0.0");
    EXPECT_EQ(formatReal(-3), "-3.0");
    EXPECT_EQ(formatReal(12.0), "12.0");
}

TEST(FormatRealTest, FractionsUseTheShortestText) {
    EXPECT_EQ(formatReal(0.1), "0.1");
    EXPECT_EQ(formatReal(44.005), "44.005");
    EXPECT_EQ(formatReal(1.0 / 3.0), "0.3333333333333333");
}

TEST(FormatRealTest, ExponentsAndSpecialValuesAreLeftAlone) {
    EXPECT_EQ(formatReal(1e300), "1e+300");
    EXPECT_EQ(formatReal(INFINITY), "inf");
    EXPECT_EQ(formatReal(-INFINITY), "-inf");
    EXPECT_EQ(formatReal(NAN), "nan");
}

TEST(FormatRealTest, TextReadsBackAsTheSameValue) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> distribution(-1e6, 1e6);
    for (int i = 0; i < 2000; ++i) {
        const double value = distribution(generator);
        EXPECT_EQ(std::strtod(formatReal(value).c_str(), nullptr), value);
    }
}

}  // namespace
}  // namespace lumifold
