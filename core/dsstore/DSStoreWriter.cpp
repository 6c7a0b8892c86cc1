#include "core/dsstore/DSStoreWriter.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/common/BigEndian.h"
#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/common/Text.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/platform/FileSystem.h"
#include "core/platform/Uuid.h"

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
            if (data.size() > fmt::kNodeSize) fail(DSStoreWriter::kRecordTooLarge);
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
    return records.size(record) + fmt::kChildPointerSize <= fmt::kNodeSize - fmt::kNodeHeaderSize;
}

// Packs `items` greedily into nodes of at most kNodeSize bytes; an item that does not fit the
// current node closes it and is promoted to the level above. An item too big for an internal
// node is never promoted: its left neighbour is, even if that leaves an empty leaf. Only two
// such items side by side cannot be separated, and no layout exists for them.
Level packLevel(const std::vector<std::size_t>& items, const EncodedRecords& records,
                std::uint64_t extra) {
    const std::uint64_t capacity = fmt::kNodeSize - fmt::kNodeHeaderSize;
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
            // its left neighbour.
            if (!fitsInternalNode(records, current.back())) fail(DSStoreWriter::kRecordTooLarge);
            level.separators.push_back(current.back());
            current.pop_back();
            level.nodes.push_back(std::move(current));
            current = {item};
            used = size;
        }
    }
    if (!current.empty() || level.nodes.empty()) level.nodes.push_back(std::move(current));

    // The last item was promoted, so it has no right neighbour. Give it one: it becomes a node
    // of its own, and the separators shift right past the trailing single-record nodes that
    // fit an internal node, taking the last record of the nearest node that can spare one.
    // Every node stays within its size (each record alone fits, as checked above).
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

}  // namespace

Bytes DSStoreWriter::encode(const std::vector<DSStoreEntry>& entries) const {
    std::vector<DSStoreEntry> sorted = entries;
    sortEntries(sorted);

    EncodedRecords records;
    records.offsets.reserve(sorted.size() + 1);
    for (const auto& entry : sorted) {
        appendRecord(records.buffer, entry);
        records.offsets.push_back(records.buffer.size());
    }

    // Shape the tree, leaves first and the single root last.
    std::vector<Level> levels;
    std::vector<std::size_t> items(sorted.size());
    for (std::size_t i = 0; i < items.size(); ++i) items[i] = i;
    std::uint64_t extra = 0;
    for (;;) {
        levels.push_back(packLevel(items, records, extra));
        if (levels.back().nodes.size() == 1) break;
        items = levels.back().separators;
        extra = fmt::kChildPointerSize;
    }

    // Number the nodes from 1 in level order; the root gets the highest number.
    std::vector<std::uint64_t> firstBlockOfLevel;
    std::uint64_t nodeCount = 0;
    for (const auto& level : levels) {
        firstBlockOfLevel.push_back(nodeCount + 1);
        nodeCount += level.nodes.size();
    }
    const std::uint64_t blockCount = nodeCount + 2;
    const std::uint64_t treeHeaderOffset = fmt::kFirstNodeOffset + nodeCount * fmt::kNodeSize;
    const std::uint64_t allocatorOffset =
        roundUp(treeHeaderOffset + fmt::kTreeHeaderSize, fmt::kAllocatorAlignment);

    // Up to 256 blocks the table has 256 slots in a 2048-byte block; beyond that the table
    // grows in steps of 256 slots and the block to the next power of two that holds it.
    std::uint64_t slotCount = fmt::kStandardSlotCount;
    std::uint64_t allocatorSize = fmt::kAllocatorSize;
    std::uint32_t allocatorSizeCode = fmt::kAllocatorSizeCode;
    if (blockCount > fmt::kStandardSlotCount) {
        slotCount = roundUp(blockCount, fmt::kSlotGranule);
        const std::uint64_t needed = fmt::kAllocatorTablePosition + 4 * slotCount + 4 + 1 + 4 + 4;
        while (allocatorSize < needed) {
            allocatorSize *= 2;
            ++allocatorSizeCode;
        }
    }
    const std::uint64_t imageSize = allocatorOffset + fmt::kAddressShift + allocatorSize;
    if (imageSize > kMaxU32) fail(kStoreTooLarge);

    Bytes image(imageSize, std::byte{0});
    auto at = [&](std::uint64_t offset) { return image.data() + offset + fmt::kAddressShift; };

    // Nodes.
    std::uint64_t block = 1;
    for (std::size_t l = 0; l < levels.size(); ++l) {
        std::size_t child = 0;  // running index into the level below
        for (const Node& node : levels[l].nodes) {
            std::byte* out = at(fmt::kFirstNodeOffset + (block - 1) * fmt::kNodeSize);
            std::uint64_t q = fmt::kNodeHeaderSize;
            auto putRecord = [&](std::size_t record) {
                std::memcpy(out + q, records.data(record), records.size(record));
                q += records.size(record);
            };
            if (l == 0) {
                storeU32(out, 0);
                for (const std::size_t record : node) putRecord(record);
            } else {
                const std::uint64_t below = firstBlockOfLevel[l - 1];
                storeU32(out, static_cast<std::uint32_t>(below + child + node.size()));
                for (const std::size_t record : node) {
                    storeU32(out + q, static_cast<std::uint32_t>(below + child++));
                    q += fmt::kChildPointerSize;
                    putRecord(record);
                }
                ++child;
            }
            storeU32(out + 4, static_cast<std::uint32_t>(node.size()));
            ++block;
        }
    }

    // B-tree header block.
    std::byte* treeHeader = at(treeHeaderOffset);
    storeU32(treeHeader, static_cast<std::uint32_t>(nodeCount));
    storeU32(treeHeader + 4, static_cast<std::uint32_t>(levels.size()));
    storeU32(treeHeader + 8, static_cast<std::uint32_t>(sorted.size()));
    storeU32(treeHeader + 12, static_cast<std::uint32_t>(nodeCount));
    storeU32(treeHeader + 16, static_cast<std::uint32_t>(fmt::kNodeSize));

    // Allocator block: block count, addresses, then the directory with its one entry.
    std::byte* allocator = at(allocatorOffset);
    storeU32(allocator, static_cast<std::uint32_t>(blockCount));
    std::byte* slot = allocator + fmt::kAllocatorTablePosition;
    storeU32(slot, static_cast<std::uint32_t>(allocatorOffset | allocatorSizeCode));
    for (std::uint64_t i = 1; i <= nodeCount; ++i) {
        const std::uint64_t offset = fmt::kFirstNodeOffset + (i - 1) * fmt::kNodeSize;
        storeU32(slot + 4 * i, static_cast<std::uint32_t>(offset | fmt::kNodeSizeCode));
    }
    storeU32(slot + 4 * (nodeCount + 1),
             static_cast<std::uint32_t>(treeHeaderOffset | fmt::kTreeHeaderSizeCode));
    std::byte* directory = slot + 4 * slotCount;
    storeU32(directory, 1);
    directory[4] = std::byte{4};
    std::memcpy(directory + 5, fmt::kDirectoryName, 4);
    storeU32(directory + 9, static_cast<std::uint32_t>(nodeCount + 1));

    // File header, over its own 36 bytes.
    storeU32(image.data(), fmt::kHeaderFirstWord);
    std::memcpy(image.data() + 4, fmt::kMagic.data(), fmt::kMagic.size());
    storeU32(image.data() + 8, static_cast<std::uint32_t>(allocatorOffset));
    storeU32(image.data() + 12, static_cast<std::uint32_t>(allocatorSize));
    storeU32(image.data() + 16, static_cast<std::uint32_t>(allocatorOffset));
    std::memcpy(image.data() + 20, fmt::kReservedHeaderBytes.data(),
                fmt::kReservedHeaderBytes.size());
    return image;
}

std::string DSStoreWriter::temporaryPathFor(const std::string& path) {
    return appending(deletingLastPathComponent(path),
                     "." + lastPathComponent(path) + ".tmp." + platform::makeUuidString());
}

void DSStoreWriter::write(const std::vector<DSStoreEntry>& entries, const std::string& path) const {
    const Bytes image = encode(entries);
    const std::string temporary = temporaryPathFor(path);
    platform::writeFileAtomically(temporary, image);
    platform::replaceItem(path, temporary);
}

}  // namespace lumifold
