#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace lumifold::testing {

// The seed of every random test: one fixed value, so runs repeat, or LUMIFOLD_TEST_SEED.
inline std::uint64_t testSeed() {
    const char* text = std::getenv("LUMIFOLD_TEST_SEED");
    return text ? std::strtoull(text, nullptr, 0) : 20261206;
}

// For SCOPED_TRACE, so a failure names the seed that replays it.
inline std::string seedTrace(std::uint64_t seed) {
    return "LUMIFOLD_TEST_SEED=" + std::to_string(seed);
}

}  // namespace lumifold::testing
