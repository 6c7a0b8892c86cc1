#include "core/dsstore/DSStoreWriter.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>

#include "core/common/BigEndian.h"
#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

namespace fmt = dsstore_format;

[[noreturn]] void fail(DSStoreWriter::ErrorCode code) {
    const char* message = "";
    switch (code) {
        case DSStoreWriter::kInvalidCode:
            message = "Invalid code";
            break;
        case DSStoreWriter::kInvalidTypecode:
            message = "Invalid typecode";
            break;
        case DSStoreWriter::kInvalidFourCC:
            message = "Invalid fourCC";
            break;
        case DSStoreWriter::kRecordTooLarge:
            message = "Record too large";
            break;
        case DSStoreWriter::kInvalidText:
            message = "Invalid text";
            break;
        case DSStoreWriter::kStoreTooLarge:
            message = "Store too large";
            break;
    }
    throw Error(DSStoreWriter::kDomain, code, message);
}

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

void appendUtf16(Bytes& out, const std::string& text) {
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        // Most names: one unit per byte, written without a UTF-16 copy.
        if (text.size() > kMaxU32) fail(DSStoreWriter::kRecordTooLarge);
        appendU32(out, static_cast<std::uint32_t>(text.size()));
        const std::size_t at = out.size();
        out.resize(at + 2 * text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            out[at + 2 * i + 1] = static_cast<std::byte>(text[i]);
        }
        return;
    }
    const auto units = utf8ToUtf16(text);
    if (!units) fail(DSStoreWriter::kInvalidText);
    if (units->size() > kMaxU32) fail(DSStoreWriter::kRecordTooLarge);
    appendU32(out, static_cast<std::uint32_t>(units->size()));
    const std::size_t at = out.size();
    out.resize(at + 2 * units->size());
    for (std::size_t i = 0; i < units->size(); ++i) {
        out[at + 2 * i] = static_cast<std::byte>((*units)[i] >> 8);
        out[at + 2 * i + 1] = static_cast<std::byte>((*units)[i] & 0xFF);
    }
}

void appendFourBytes(Bytes& out, const std::string& text, DSStoreWriter::ErrorCode onFault) {
    const auto latin1 = toLatin1(text);
    if (!latin1 || latin1->size() != 4) fail(onFault);
    const ByteView bytes = asBytes(*latin1);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void appendRecord(Bytes& out, const DSStoreEntry& entry) {
    appendUtf16(out, entry.filename);
    appendFourBytes(out, entry.code, DSStoreWriter::kInvalidCode);
    appendFourBytes(out, entry.typecode, DSStoreWriter::kInvalidTypecode);
    const DSStoreValue& value = entry.value;
    switch (value.kind()) {
        case DSStoreValue::Kind::boolean:
            out.push_back(std::byte{value.asBoolean() ? std::uint8_t{1} : std::uint8_t{0}});
            break;
        case DSStoreValue::Kind::integer:
            appendU32(out, value.asInteger());
            break;
        case DSStoreValue::Kind::fourCC:
            appendFourBytes(out, value.asFourCC(), DSStoreWriter::kInvalidFourCC);
            break;
        case DSStoreValue::Kind::string:
            appendUtf16(out, value.asString());
            break;
        case DSStoreValue::Kind::data: {
            const Bytes& data = value.asData();
            // Bigger can never fit a node; checked before copying so the length fits 32 bits.
            if (data.size() > fmt::kNodeCapacity) fail(DSStoreWriter::kRecordTooLarge);
            appendU32(out, static_cast<std::uint32_t>(data.size()));
            out.insert(out.end(), data.begin(), data.end());
            break;
        }
        case DSStoreValue::Kind::uint64:
            appendU64(out, value.asUInt64());
            break;
    }
}

// Every sorted record encoded back to back; record i is buffer[offsets[i], offsets[i + 1]).
struct EncodedRecords {
    Bytes buffer;
    std::vector<std::size_t> offsets{0};

    std::size_t count() const { return offsets.size() - 1; }
    std::size_t size(std::size_t i) const { return offsets[i + 1] - offsets[i]; }
    const std::byte* data(std::size_t i) const { return buffer.data() + offsets[i]; }
};

using Node = std::vector<std::size_t>;  // record indices, in order

struct Level {
    std::vector<Node> nodes;
    std::vector<std::size_t> separators;  // promoted records, one between each pair of nodes
};

// Whether `record` can sit in an internal node, beside its child pointer.
bool fitsInternalNode(const EncodedRecords& records, std::size_t record) {
    return records.size(record) + fmt::kChildPointerSize <= fmt::kNodeCapacity;
}

// Packs `items` greedily into nodes of at most kNodeSize bytes; an item that does not fit the
// current node closes it and is promoted to the level above. An item too big for an internal
// node is never promoted: its left neighbour is, even if that leaves an empty leaf. Only two
// such items side by side cannot be separated, and no layout exists for them.
Level packLevel(const std::vector<std::size_t>& items, const EncodedRecords& records,
                std::uint64_t extra) {
    const std::uint64_t capacity = fmt::kNodeCapacity;
    Level level;
    Node current;
    std::uint64_t used = 0;
    for (const std::size_t item : items) {
        const std::uint64_t size = records.size(item) + extra;
        if (size > capacity) fail(DSStoreWriter::kRecordTooLarge);
        if (current.empty() || used + size <= capacity) {
            current.push_back(item);
            used += size;
        } else if (fitsInternalNode(records, item)) {
            level.nodes.push_back(std::move(current));
            level.separators.push_back(item);
            current.clear();
            used = 0;
        } else {
            // An item too big to share a node always sits alone, so current's last item is
            // its left neighbour. When that is too big as well, the level above refuses it:
            // nothing can separate the two, and no layout exists.
            level.separators.push_back(current.back());
            current.pop_back();
            level.nodes.push_back(std::move(current));
            current = {item};
            used = size;
        }
    }
    if (!current.empty()) level.nodes.push_back(std::move(current));

    // The last item was promoted, so it has no right neighbour. Give it one: it becomes a node
    // of its own, and the separators shift right past the trailing single-record nodes that
    // fit an internal node, taking the last record of the nearest node that can spare one.
    // Every node stays within its size (each record alone fits, as checked above). With no
    // items at all, this leaves the one empty node.
    if (level.separators.size() == level.nodes.size()) {
        const std::size_t k = level.nodes.size();
        std::size_t j = k;
        while (j > 0 && level.nodes[j - 1].size() == 1 &&
               fitsInternalNode(records, level.nodes[j - 1].front())) {
            --j;
        }
        if (j == 0 || level.nodes[j - 1].size() < 2) {
            // No node before can spare a record without promoting one too big for an
            // internal node: an empty node is the right neighbour.
            level.nodes.emplace_back();
            return level;
        }
        --j;  // node j can spare its last record
        std::vector<Node> nodes(level.nodes.begin(),
                                level.nodes.begin() + static_cast<long>(j) + 1);
        std::vector<std::size_t> separators(level.separators.begin(),
                                            level.separators.begin() + static_cast<long>(j));
        separators.push_back(nodes[j].back());
        nodes[j].pop_back();
        for (std::size_t i = j; i < k; ++i) {
            nodes.push_back({level.separators[i]});
            if (i + 1 < k) separators.push_back(level.nodes[i + 1].front());
        }
        level.nodes = std::move(nodes);
        level.separators = std::move(separators);
    }
    return level;
}

std::uint64_t roundUp(std::uint64_t value, std::uint64_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

// Every sorted record encoded, each checked to fit a leaf on its own.
// At least the bytes `entry` encodes to (UTF-16 takes at most two bytes per byte of UTF-8), so
// the buffer is sized once rather than copied as it grows.
std::size_t encodedSizeBound(const DSStoreEntry& entry) {
    std::size_t size = 4 + 2 * entry.filename.size() + 4 + 4 + 8;  // name, code, type, number
    if (entry.value.kind() == DSStoreValue::Kind::string) {
        size += 4 + 2 * entry.value.asString().size();
    } else if (entry.value.kind() == DSStoreValue::Kind::data) {
        size += 4 + entry.value.asData().size();
    }
    return size;
}

// The records of `entries` in the order `order` gives.
EncodedRecords encodeRecords(const std::vector<DSStoreEntry>& entries,
                             const std::vector<std::size_t>& order) {
    EncodedRecords records;
    records.offsets.reserve(order.size() + 1);
    std::size_t bound = 0;
    for (const auto& entry : entries) bound += encodedSizeBound(entry);
    records.buffer.reserve(bound);
    for (const std::size_t index : order) {
        const std::size_t start = records.buffer.size();
        appendRecord(records.buffer, entries[index]);
        if (records.buffer.size() - start > fmt::kNodeCapacity) {
            fail(DSStoreWriter::kRecordTooLarge);
        }
        records.offsets.push_back(records.buffer.size());
    }
    return records;
}

// The tree's levels, leaves first and the single root last.
std::vector<Level> shapeLevels(const EncodedRecords& records) {
    std::vector<Level> levels;
    std::vector<std::size_t> items(records.count());
    std::iota(items.begin(), items.end(), std::size_t{0});
    std::uint64_t extra = 0;
    for (;;) {
        levels.push_back(packLevel(items, records, extra));
        if (levels.back().nodes.size() == 1) return levels;
        items = levels.back().separators;
        extra = fmt::kChildPointerSize;
    }
}

// Where everything goes. Block 0 is the allocator, blocks 1 to nodeCount the nodes in level
// order (so the root has the highest number), block nodeCount + 1 the tree header.
struct Layout {
    std::vector<std::uint64_t> firstBlockOfLevel;
    std::uint64_t nodeCount = 0;
    std::uint64_t treeHeaderOffset = 0;
    std::uint64_t allocatorOffset = 0;
    std::uint64_t allocatorSize = fmt::kAllocatorSize;
    std::uint32_t allocatorSizeCode = fmt::kAllocatorSizeCode;
    std::uint64_t slotCount = fmt::kStandardSlotCount;
    std::uint64_t imageSize = 0;

    std::uint64_t blockCount() const { return nodeCount + 2; }
    std::uint64_t treeHeaderBlock() const { return nodeCount + 1; }
    static std::uint64_t nodeOffset(std::uint64_t block) {
        return fmt::kFirstNodeOffset + (block - 1) * fmt::kNodeSize;
    }
};

Layout planLayout(const std::vector<Level>& levels) {
    Layout layout;
    for (const auto& level : levels) {
        layout.firstBlockOfLevel.push_back(layout.nodeCount + 1);
        layout.nodeCount += level.nodes.size();
    }
    layout.treeHeaderOffset = Layout::nodeOffset(layout.nodeCount + 1);
    layout.allocatorOffset =
        roundUp(layout.treeHeaderOffset + fmt::kTreeHeaderSize, fmt::kAllocatorAlignment);
    // Beyond 256 blocks the table grows in steps of 256 slots and the allocator block to the
    // next power of two that holds it and the one directory entry.
    if (layout.blockCount() > fmt::kStandardSlotCount) {
        layout.slotCount = roundUp(layout.blockCount(), fmt::kSlotGranule);
        const std::uint64_t needed = fmt::kAllocatorTablePosition +
                                     fmt::kAddressSize * layout.slotCount +
                                     fmt::kDirectoryCountSize + fmt::kDirectoryNameLengthSize +
                                     fmt::kDirectoryName.size() + fmt::kDirectoryBlockNumberSize;
        while (layout.allocatorSize < needed) {
            layout.allocatorSize *= 2;
            ++layout.allocatorSizeCode;
        }
    }
    layout.imageSize = layout.allocatorOffset + fmt::kAddressShift + layout.allocatorSize;
    if (layout.imageSize > kMaxU32) fail(DSStoreWriter::kStoreTooLarge);
    return layout;
}

// Every value below fits 32 bits: the image itself does (checked in planLayout).
void put(std::byte* at, std::uint64_t value) { storeU32(at, static_cast<std::uint32_t>(value)); }

void writeNodes(std::byte* space, const std::vector<Level>& levels, const Layout& layout,
                const EncodedRecords& records) {
    std::uint64_t block = 1;
    for (std::size_t l = 0; l < levels.size(); ++l) {
        std::uint64_t child = l == 0 ? 0 : layout.firstBlockOfLevel[l - 1];  // next child
        for (const Node& node : levels[l].nodes) {
            std::byte* out = space + Layout::nodeOffset(block++);
            std::uint64_t q = fmt::kNodeHeaderSize;
            for (const std::size_t record : node) {
                if (l > 0) {
                    put(out + q, child++);
                    q += fmt::kChildPointerSize;
                }
                std::memcpy(out + q, records.data(record), records.size(record));
                q += records.size(record);
            }
            put(out + fmt::kNodeRightmostPosition, l == 0 ? 0 : child++);  // a leaf has P = 0
            put(out + fmt::kNodeCountPosition, node.size());
        }
    }
}

void writeTreeHeader(std::byte* header, const Layout& layout, std::size_t levelCount,
                     std::size_t recordCount) {
    put(header + fmt::kTreeRootPosition, layout.nodeCount);
    put(header + fmt::kTreeLevelCountPosition, levelCount);
    put(header + fmt::kTreeRecordCountPosition, recordCount);
    put(header + fmt::kTreeNodeCountPosition, layout.nodeCount);
    put(header + fmt::kTreePageSizePosition, fmt::kNodeSize);
}

// Block count, every block's address, then the directory with its one entry.
void writeAllocator(std::byte* allocator, const Layout& layout) {
    put(allocator + fmt::kAllocatorBlockCountPosition, layout.blockCount());
    std::byte* slots = allocator + fmt::kAllocatorTablePosition;
    put(slots, layout.allocatorOffset | layout.allocatorSizeCode);
    for (std::uint64_t block = 1; block <= layout.nodeCount; ++block) {
        put(slots + fmt::kAddressSize * block, Layout::nodeOffset(block) | fmt::kNodeSizeCode);
    }
    put(slots + fmt::kAddressSize * layout.treeHeaderBlock(),
        layout.treeHeaderOffset | fmt::kTreeHeaderSizeCode);
    std::byte* directory = slots + fmt::kAddressSize * layout.slotCount;
    put(directory, 1);  // entries
    std::byte* entry = directory + fmt::kDirectoryCountSize;
    entry[0] = std::byte{fmt::kDirectoryName.size()};
    std::memcpy(entry + fmt::kDirectoryNameLengthSize, fmt::kDirectoryName.data(),
                fmt::kDirectoryName.size());
    put(entry + fmt::kDirectoryNameLengthSize + fmt::kDirectoryName.size(),
        layout.treeHeaderBlock());
}

void writeFileHeader(std::byte* file, const Layout& layout) {
    put(file + fmt::kHeaderFirstWordPosition, fmt::kHeaderFirstWord);
    std::memcpy(file + fmt::kMagicPosition, fmt::kMagic.data(), fmt::kMagic.size());
    put(file + fmt::kAllocatorOffsetPosition, layout.allocatorOffset);
    put(file + fmt::kAllocatorSizePosition, layout.allocatorSize);
    put(file + fmt::kAllocatorOffsetCopyPosition, layout.allocatorOffset);
    std::memcpy(file + fmt::kReservedHeaderPosition, fmt::kReservedHeaderBytes.data(),
                fmt::kReservedHeaderBytes.size());
}

}  // namespace

Bytes DSStoreWriter::encode(const std::vector<DSStoreEntry>& entries) const {
    // Encoded in order through indices: copies of the records cost more than encoding them.
    const EncodedRecords records = encodeRecords(entries, sortedOrder(entries));
    const std::vector<Level> levels = shapeLevels(records);
    const Layout layout = planLayout(levels);

    Bytes image(layout.imageSize, std::byte{0});
    // Stored offsets count from file position kAddressShift.
    std::byte* space = image.data() + fmt::kAddressShift;
    writeNodes(space, levels, layout, records);
    writeTreeHeader(space + layout.treeHeaderOffset, layout, levels.size(), entries.size());
    writeAllocator(space + layout.allocatorOffset, layout);
    writeFileHeader(image.data(), layout);
    return image;
}

void DSStoreWriter::write(const std::vector<DSStoreEntry>& entries, const std::string& path) const {
    // One temporary file beside the target, swapped in keeping the file's owner and attributes.
    platform::writeFileAtomically(path, encode(entries));
}

}  // namespace lumifold
