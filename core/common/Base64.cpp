#include "core/common/Base64.h"

#include <array>

namespace lumifold {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeDecodeTable() {
    std::array<int, 256> table{};
    for (auto& value : table) value = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}

constexpr auto kDecode = makeDecodeTable();

}  // namespace

void appendBase64(std::string& out, ByteView bytes) {
    // Written in place: a store's dump encodes a blob for most of its records.
    const std::size_t start = out.size();
    out.resize(start + (bytes.size() + 2) / 3 * 4);
    char* to = out.data() + start;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = (std::to_integer<unsigned>(bytes[i]) << 16) |
                       (std::to_integer<unsigned>(bytes[i + 1]) << 8) |
                       std::to_integer<unsigned>(bytes[i + 2]);
        *to++ = kAlphabet[(n >> 18) & 63];
        *to++ = kAlphabet[(n >> 12) & 63];
        *to++ = kAlphabet[(n >> 6) & 63];
        *to++ = kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned n = std::to_integer<unsigned>(bytes[i]) << 16;
        if (rest == 2) n |= std::to_integer<unsigned>(bytes[i + 1]) << 8;
        *to++ = kAlphabet[(n >> 18) & 63];
        *to++ = kAlphabet[(n >> 12) & 63];
        *to++ = rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        *to++ = '=';
    }
}

std::string base64Encode(ByteView bytes) {
    std::string out;
    appendBase64(out, bytes);
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (padding == 1 && text[i + 2] == '=') return std::nullopt;
        unsigned n = 0;
        for (int j = 0; j < 4 - padding; ++j) {
            const int value =
                kDecode[static_cast<unsigned char>(text[i + static_cast<std::size_t>(j)])];
            if (value < 0) return std::nullopt;
            n |= static_cast<unsigned>(value) << (18 - 6 * j);
        }
        out.push_back(static_cast<std::byte>(n >> 16));
        if (padding < 2) out.push_back(static_cast<std::byte>(n >> 8));
        if (padding < 1) out.push_back(static_cast<std::byte>(n));
    }
    return out;
}

}  // namespace lumifold
