#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/common/BigEndian.h"
#include "core/common/Bytes.h"
#include "core/dsstore/DSStoreEntry.h"

namespace lumifold::testing {

inline DSStoreEntry blobEntry(std::string filename, std::string code, std::size_t size,
                              std::byte fill = std::byte{0xAB}) {
    return {std::move(filename), std::move(code), kTypeBlob, DSStoreValue::data(Bytes(size, fill))};
}

inline DSStoreEntry longEntry(std::string filename, std::string code, std::uint32_t value) {
    return {std::move(filename), std::move(code), kTypeLong, DSStoreValue::integer(value)};
}

// A blob entry whose encoded record is exactly `recordSize` bytes (one-unit name).
inline DSStoreEntry entryWithRecordSize(std::string oneUnitName, std::size_t recordSize) {
    // u32 name length + 2 name bytes + code + type + u32 blob length
    return blobEntry(std::move(oneUnitName), "Iloc", recordSize - 4 - 2 - 8 - 4);
}

// Encoded size of a record with an ASCII name.
inline std::size_t recordSize(const DSStoreEntry& entry, std::size_t payload) {
    return 4 + 2 * entry.filename.size() + 8 + payload;
}

inline std::uint32_t u32At(const Bytes& image, std::size_t position) {
    return loadU32(image.data() + position);
}

inline void putU32(Bytes& image, std::size_t position, std::uint32_t value) {
    storeU32(image.data() + position, value);
}

inline void putText(Bytes& image, std::size_t position, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        image[position + i] = static_cast<std::byte>(text[i]);
    }
}

// Lays out a store by hand, for shapes the writer never produces: blocks of chosen sizes,
// any directory, any slot values. Block 0 is the allocator; the others go where added.
class RawStore {
  public:
    static constexpr std::uint32_t kAllocatorOffset = 0x10000;

    // Returns the new block's number. `content` is padded to 2^sizeCode bytes.
    std::uint32_t addBlock(Bytes content, std::uint32_t sizeCode) {
        const std::uint64_t size = std::uint64_t{1} << sizeCode;
        m_next = (m_next + size - 1) / size * size;
        content.resize(size);
        m_blocks.push_back({m_next, sizeCode, std::move(content)});
        m_next += size;
        return static_cast<std::uint32_t>(m_blocks.size());
    }
    void addDirectoryEntry(const std::string& name, std::uint32_t block) {
        m_directory.emplace_back(name, block);
    }
    // Overrides the slot value of `block` (an address, or 0).
    void setSlot(std::uint32_t block, std::uint32_t address) {
        m_slotOverrides.emplace_back(block, address);
    }

    Bytes build() const {
        const std::size_t slots = 256;
        Bytes image(kAllocatorOffset + 4 + 2048, std::byte{0});
        putU32(image, 0, 1);
        putText(image, 4, "Bud1");
        putU32(image, 8, kAllocatorOffset);
        putU32(image, 12, 2048);
        putU32(image, 16, kAllocatorOffset);
        const std::size_t allocator = kAllocatorOffset + 4;
        putU32(image, allocator, static_cast<std::uint32_t>(m_blocks.size() + 1));
        putU32(image, allocator + 8, kAllocatorOffset | 11);
        for (std::size_t i = 0; i < m_blocks.size(); ++i) {
            const Block& block = m_blocks[i];
            if (block.offset + 4 + block.content.size() > kAllocatorOffset)
                throw std::length_error("too many blocks");
            putU32(image, allocator + 8 + 4 * (i + 1),
                   static_cast<std::uint32_t>(block.offset | block.sizeCode));
            std::copy(block.content.begin(), block.content.end(),
                      image.begin() + static_cast<long>(block.offset + 4));
        }
        for (const auto& [block, address] : m_slotOverrides)
            putU32(image, allocator + 8 + 4 * block, address);
        std::size_t p = allocator + 8 + 4 * slots;
        putU32(image, p, static_cast<std::uint32_t>(m_directory.size()));
        p += 4;
        for (const auto& [name, block] : m_directory) {
            image[p] = static_cast<std::byte>(name.size());
            putText(image, p + 1, name);
            putU32(image, p + 1 + name.size(), block);
            p += 1 + name.size() + 4;
        }
        return image;
    }

  private:
    struct Block {
        std::uint64_t offset;
        std::uint32_t sizeCode;
        Bytes content;
    };
    std::vector<Block> m_blocks;
    std::vector<std::pair<std::string, std::uint32_t>> m_directory;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_slotOverrides;
    std::uint64_t m_next = 0x40;
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
