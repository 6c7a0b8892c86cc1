#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/common/BigEndian.h"
#include "core/common/Bytes.h"
#include "core/dsstore/DSStoreEntry.h"
#include "tests/support/TestSeed.h"

namespace lumifold::testing {

inline DSStoreEntry longEntry(std::string filename, std::string code, std::uint32_t value) {
    return {std::move(filename), std::move(code), kTypeLong, DSStoreValue::integer(value)};
}

// A blob entry whose encoded record is exactly `recordSize` bytes (>= 18, one-unit name): u32
// name length, 2 name bytes, code, type and u32 blob length come first.
inline DSStoreEntry entryWithRecordSize(std::string oneUnitName, std::size_t recordSize) {
    return {std::move(oneUnitName), "Iloc", kTypeBlob,
            DSStoreValue::data(Bytes(recordSize - 18, std::byte{0xAB}))};
}

inline std::uint32_t u32At(const Bytes& image, std::size_t position) {
    return loadU32(image.data() + position);
}

// The big-endian value of four characters, such as a type code.
inline std::uint32_t word(const char (&text)[5]) { return loadU32(asBytes(text).data()); }

inline void putU32(Bytes& image, std::size_t position, std::uint32_t value) {
    storeU32(image.data() + position, value);
}

inline void putText(Bytes& image, std::size_t position, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) image[position + i] = std::byte(text[i]);
}

// Lays out a store by hand, for shapes the writer never produces: blocks of chosen sizes,
// any directory, any slot values. Block 0 is the allocator; the others go where added.
class RawStore {
  public:
    static constexpr std::uint32_t kAllocatorOffset = 0x10000;

    // Returns the new block's number. `content` is padded to 2^sizeCode bytes.
    std::uint32_t addBlock(Bytes content, std::uint32_t sizeCode) {
        const std::uint32_t size = std::uint32_t{1} << sizeCode;
        m_next = (m_next + size - 1) / size * size;
        content.resize(size);
        if (m_next + 4 + size > kAllocatorOffset) throw std::length_error("too many blocks");
        m_slots.push_back(m_next | sizeCode);
        m_placed.emplace_back(m_next, std::move(content));
        m_next += size;
        return static_cast<std::uint32_t>(m_slots.size());
    }
    void addDirectoryEntry(const std::string& name, std::uint32_t block) {
        m_directory.emplace_back(name, block);
    }
    // Gives `block` (an existing or a new slot) the address `address`.
    void setSlot(std::uint32_t block, std::uint32_t address) {
        m_slots.resize(std::max<std::size_t>(m_slots.size(), block));
        m_slots[block - 1] = address;
    }

    Bytes build() const {
        const std::uint32_t allocator = kAllocatorOffset + 4;
        Bytes image(allocator + 2048, std::byte{0});
        for (const auto& [offset, content] : m_placed) {
            std::copy(content.begin(), content.end(), image.begin() + offset + 4);
        }
        for (const auto& [at, value] : {std::pair{0u, 1u},
                                        {4u, word("Bud1")},
                                        {8u, kAllocatorOffset},
                                        {12u, 2048u},
                                        {16u, kAllocatorOffset},
                                        {allocator, std::uint32_t(m_slots.size() + 1)},
                                        {allocator + 8, kAllocatorOffset | 11}}) {
            putU32(image, at, value);
        }
        for (std::size_t i = 0; i < m_slots.size(); ++i)
            putU32(image, allocator + 12 + 4 * i, m_slots[i]);
        std::size_t p = allocator + 8 + 4 * 256;
        putU32(image, p, static_cast<std::uint32_t>(m_directory.size()));
        for (p += 4; const auto& [name, block] : m_directory) {
            image[p] = static_cast<std::byte>(name.size());
            putText(image, p + 1, name);
            putU32(image, p + 1 + name.size(), block);
            p += 1 + name.size() + 4;
        }
        return image;
    }

  private:
    std::vector<std::uint32_t> m_slots;                     // of blocks 1, 2, ...
    std::vector<std::pair<std::uint32_t, Bytes>> m_placed;  // offset, content
    std::vector<std::pair<std::string, std::uint32_t>> m_directory;
    std::uint32_t m_next = 0x40;
};

// Node bytes: u32 P, u32 m, then whatever follows.
inline Bytes nodeHeader(std::uint32_t rightmost, std::uint32_t count) {
    Bytes bytes;
    appendU32(bytes, rightmost);
    appendU32(bytes, count);
    return bytes;
}

// A tree header block naming `root`.
inline Bytes treeHeader(std::uint32_t root) {
    Bytes bytes;
    for (std::uint32_t value : {root, 1u, 0u, 1u, 4096u}) appendU32(bytes, value);
    return bytes;
}

// Encodes a "long" record with an ASCII name by hand.
inline void appendLongRecord(Bytes& out, std::string_view name, std::string_view code,
                             std::uint32_t value, std::string_view type = "long") {
    appendU32(out, static_cast<std::uint32_t>(name.size()));
    for (const char c : name) {
        out.push_back(std::byte{0});
        out.push_back(static_cast<std::byte>(c));
    }
    for (const char c : code) out.push_back(static_cast<std::byte>(c));
    for (const char c : type) out.push_back(static_cast<std::byte>(c));
    appendU32(out, value);
}

}  // namespace lumifold::testing
