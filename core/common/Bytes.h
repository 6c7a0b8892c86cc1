#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumifold {

using Bytes = std::vector<std::byte>;
using ByteView = std::span<const std::byte>;

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

inline Bytes toBytes(std::string_view text) {
    const ByteView view = asBytes(text);
    return {view.begin(), view.end()};
}

inline std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace lumifold
