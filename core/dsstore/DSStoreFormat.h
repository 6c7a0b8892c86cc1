#pragma once

#include <array>
#include <cstdint>

// The .DS_Store file: a buddy-allocated block store holding one B-tree of records.
// All integers are big-endian. Offsets stored in the file count from file position 4.
//
//  file position 0                                       36
//  +----------+--------+-----------+----------+-----------+----------------+
//  | u32 1    | "Bud1" | u32 alloc | u32 size | u32 alloc | 16 reserved    |
//  +----------+--------+-----------+----------+-----------+----------------+
//
//  allocator block (at alloc + 4):
//  +-------------+-------+------------------------------+-----------+----------------------+
//  | u32 blocks  | u32 0 | block addresses, 256 slots   | u32 count | directory entries... |
//  +-------------+-------+------------------------------+-----------+----------------------+
//    A block address keeps log2(size) in its low 5 bits and the offset in the rest. Stores
//    with more than 256 blocks have the block count rounded up to a multiple of 256 slots.
//    A directory entry is: u8 n, n name bytes (ISO 8859-1), u32 block number. "DSDB" names
//    the B-tree header block.
//
//  B-tree header block: u32 root, u32 levels, u32 records, u32 nodes, u32 page size.
//
//  node block:  u32 P, u32 m, then
//    leaf (P = 0):   m records
//    internal:       m times (u32 child block, record); P is the rightmost child
//
//  record: u32 n, n UTF-16BE code units (file name), 4-byte code, 4-byte type, payload
//    "bool" 1 byte | "long" "shor" u32 | "type" 4 bytes | "comp" "dutc" u64
//    "ustr" u32 k, 2k bytes UTF-16BE | "blob" u32 k, k bytes

namespace lumifold::dsstore_format {

// The name a folder's store has in that folder.
inline constexpr const char* kFileName = ".DS_Store";

inline constexpr std::uint64_t kAddressShift = 4;  // stored offsets count from position 4

// File header, from position 0.
inline constexpr std::uint64_t kHeaderFirstWordPosition = 0;
inline constexpr std::uint32_t kHeaderFirstWord = 1;
inline constexpr std::uint64_t kMagicPosition = 4;
inline constexpr std::array<char, 4> kMagic = {'B', 'u', 'd', '1'};
inline constexpr std::uint64_t kAllocatorOffsetPosition = 8;
inline constexpr std::uint64_t kAllocatorSizePosition = 12;
inline constexpr std::uint64_t kAllocatorOffsetCopyPosition = 16;
inline constexpr std::uint64_t kReservedHeaderPosition = 20;
inline constexpr std::uint64_t kHeaderSize = 36;
inline constexpr std::uint64_t kMinimumFileSize = 32;

// Allocator block, relative to its first byte.
inline constexpr std::uint64_t kAllocatorBlockCountPosition = 0;
inline constexpr std::uint64_t kAllocatorTablePosition = 8;
inline constexpr std::uint64_t kAddressSize = 4;  // one slot of the address table
inline constexpr std::uint32_t kAddressSizeMask = 0x1F;
inline constexpr std::uint64_t kStandardSlotCount = 256;
inline constexpr std::uint64_t kSlotGranule = 256;  // longer tables grow in steps of this
inline constexpr std::uint64_t kDirectoryCountSize = 4;
inline constexpr std::uint64_t kDirectoryCountPosition =
    kAllocatorTablePosition + kAddressSize * kStandardSlotCount;  // 0x408
// From the allocator offset to the end of the directory count, the shift included.
inline constexpr std::uint64_t kAllocatorFixedSpan =
    kAddressShift + kDirectoryCountPosition + kDirectoryCountSize;
// A directory entry: u8 name length, the name, u32 block number.
inline constexpr std::uint64_t kDirectoryNameLengthSize = 1;
inline constexpr std::uint64_t kDirectoryBlockNumberSize = 4;
inline constexpr std::array<char, 4> kDirectoryName = {'D', 'S', 'D', 'B'};

// B-tree header block, relative to its first byte.
inline constexpr std::uint64_t kTreeRootPosition = 0;
inline constexpr std::uint64_t kTreeLevelCountPosition = 4;
inline constexpr std::uint64_t kTreeRecordCountPosition = 8;
inline constexpr std::uint64_t kTreeNodeCountPosition = 12;
inline constexpr std::uint64_t kTreePageSizePosition = 16;
inline constexpr std::uint64_t kTreeHeaderMinimumSize = 20;

// Node block, relative to its first byte.
inline constexpr std::uint64_t kNodeRightmostPosition = 0;
inline constexpr std::uint64_t kNodeCountPosition = 4;
inline constexpr std::uint64_t kNodeHeaderSize = 8;
inline constexpr std::uint64_t kChildPointerSize = 4;

// The smallest record: an empty name's u32 length, code, type and a one-byte "bool". No
// file holds more records than its size divided by this.
inline constexpr std::uint64_t kMinimumRecordSize = 4 + 4 + 4 + 1;

// Writer layout: nodes of kNodeSize bytes from kFirstNodeOffset in level order, the tree
// header after them, the allocator block at the next multiple of kAllocatorAlignment.
inline constexpr std::uint64_t kNodeSize = 4096;
inline constexpr std::uint32_t kNodeSizeCode = 12;
inline constexpr std::uint64_t kNodeCapacity = kNodeSize - kNodeHeaderSize;  // 4088
inline constexpr std::uint64_t kFirstNodeOffset = 0x40;
inline constexpr std::uint64_t kTreeHeaderSize = 32;
inline constexpr std::uint32_t kTreeHeaderSizeCode = 5;
inline constexpr std::uint64_t kAllocatorSize = 2048;
inline constexpr std::uint32_t kAllocatorSizeCode = 11;
inline constexpr std::uint64_t kAllocatorAlignment = 0x2000;
inline constexpr std::array<std::uint8_t, 16> kReservedHeaderBytes = {
    0x00, 0x00, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x87, 0x00, 0x00, 0x20, 0x0B, 0x00, 0x00, 0x00, 0x00};

// A tree of more levels than this (the root is level 1) is malformed: a 4096-byte node holds
// at least one record, and a store of a million records is about four levels deep.
inline constexpr int kMaxTreeDepth = 64;

}  // namespace lumifold::dsstore_format
