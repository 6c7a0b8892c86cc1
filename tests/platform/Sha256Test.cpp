#include <gtest/gtest.h>

#include "core/platform/Sha256.h"

namespace lumifold::platform {
namespace {

TEST(Sha256Test, MatchesPublishedDigestsInLowerCaseHex) {
    EXPECT_EQ(sha256Hex(asBytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(asBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace lumifold::platform
