#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "core/common/Numbers.h"
#include "tests/support/TestSeed.h"

namespace lumifold {
namespace {

TEST(FormatRealTest, WholeNumbersGainPointZeroOthersUseTheShortestText) {
    const std::pair<double, const char*> cases[] = {
        {44, "44.0"},      {0, "0.0"},         {-3, "-3.0"},
        {0.1, "0.1"},      {44.005, "44.005"}, {1.0 / 3.0, "0.3333333333333333"},
        {1e300, "1e+300"}, {INFINITY, "inf"},  {-INFINITY, "-inf"},
        {NAN, "nan"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(formatReal(value), text);
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
