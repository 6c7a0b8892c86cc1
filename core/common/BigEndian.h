#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/Bytes.h"

namespace lumifold {

// Byte order lives here: every multi-byte integer in the binary formats is big-endian.

inline std::uint32_t loadU32(const std::byte* p) {
    return (std::to_integer<std::uint32_t>(p[0]) << 24) |
           (std::to_integer<std::uint32_t>(p[1]) << 16) |
           (std::to_integer<std::uint32_t>(p[2]) << 8) | std::to_integer<std::uint32_t>(p[3]);
}

inline std::uint64_t loadU64(const std::byte* p) {
    return (static_cast<std::uint64_t>(loadU32(p)) << 32) | loadU32(p + 4);
}

// An unsigned integer of `width` bytes, 0 to 8 (property lists size their fields per file).
inline std::uint64_t loadUnsigned(const std::byte* p, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | std::to_integer<std::uint64_t>(p[i]);
    return value;
}

inline void storeU32(std::byte* p, std::uint32_t value) {
    p[0] = static_cast<std::byte>(value >> 24);
    p[1] = static_cast<std::byte>(value >> 16);
    p[2] = static_cast<std::byte>(value >> 8);
    p[3] = static_cast<std::byte>(value);
}

inline void appendU32(Bytes& out, std::uint32_t value) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    storeU32(out.data() + at, value);
}

inline void appendU64(Bytes& out, std::uint64_t value) {
    appendU32(out, static_cast<std::uint32_t>(value >> 32));
    appendU32(out, static_cast<std::uint32_t>(value));
}

}  // namespace lumifold
