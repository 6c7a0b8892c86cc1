#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/platform/Sha256.h"

namespace lumifold::platform {
namespace {

TEST(Sha256Test, MatchesPublishedDigests) {
    EXPECT_EQ(sha256Hex(asBytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(asBytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(asBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256Test, AlwaysSixtyFourLowerCaseHexDigits) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (int round = 0; round < 200; ++round) {
        Bytes bytes(random() % 300);
        for (auto& byte : bytes) byte = static_cast<std::byte>(random());
        const std::string hex = sha256Hex(bytes);
        ASSERT_EQ(hex.size(), 64u) << "seed " << seed;
        ASSERT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos)
            << hex << " seed " << seed;
    }
}

}  // namespace
}  // namespace lumifold::platform
