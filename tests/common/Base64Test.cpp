#include <gtest/gtest.h>

#include <string>

#include "core/common/Base64.h"

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

}  // namespace
}  // namespace lumifold
