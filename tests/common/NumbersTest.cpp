#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "core/common/Numbers.h"
#include "tests/support/TestSeed.h"

namespace lumifold {
namespace {

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

}  // namespace
}  // namespace lumifold
