#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/platform/FileSystem.h"

namespace lumifold {

// The identity of a file-system object regardless of the path it was reached by: the device
// and inode numbers of stat(2). Used only as a set key, to drop a folder met twice.
struct DeviceInode {
    std::int32_t dev = 0;
    std::uint64_t ino = 0;

    // Linux device numbers are 64 bits wide; the record keeps 32. The high word is folded into
    // the low one rather than cut off, so devices that differ only in their high bits (majors
    // above 4095, minors above 2^20) do not all collapse onto one key.
    static DeviceInode from(const platform::FileIdentity& identity) {
        const auto folded = static_cast<std::uint32_t>(identity.device ^ (identity.device >> 32));
        return {static_cast<std::int32_t>(folded), identity.inode};
    }

    friend bool operator==(const DeviceInode&, const DeviceInode&) = default;
};

}  // namespace lumifold

template <>
struct std::hash<lumifold::DeviceInode> {
    std::size_t operator()(const lumifold::DeviceInode& value) const noexcept {
        // dev, then ino, combined as boost::hash_combine does.
        std::size_t seed = std::hash<std::int32_t>{}(value.dev);
        seed ^= std::hash<std::uint64_t>{}(value.ino) + 0x9e3779b97f4a7c15ULL + (seed << 6) +
                (seed >> 2);
        return seed;
    }
};
