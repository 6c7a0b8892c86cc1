#include "core/dsstore/DSStoreWriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>

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

// Where a record's bytes go: counted only (to shape the tree before anything is written), or
// written straight into its node, so no record is encoded into a buffer and copied again.
class RecordOut {
  public:
    RecordOut() = default;
    // Writes at `at`, never past `room` bytes (a record that outgrew its measure is a fault).
    RecordOut(std::byte* at, std::size_t room) : m_at(at), m_room(room) {}

    // The next `count` bytes, to fill; nullptr when only counting.
    std::byte* take(std::size_t count) {
        if (m_at != nullptr && count > m_room - m_size) {
            throw std::logic_error("a store record outgrew its measure");
        }
        std::byte* here = m_at == nullptr ? nullptr : m_at + m_size;
        m_size += count;
        return here;
    }
    void bytes(ByteView data) {
        // An empty blob's data may be null, which memcpy must never be given.
        if (std::byte* here = take(data.size()); here != nullptr && !data.empty()) {
            std::memcpy(here, data.data(), data.size());
        }
    }
    void u32(std::uint32_t value) {
        if (std::byte* here = take(4)) storeU32(here, value);
    }
    std::size_t size() const { return m_size; }

  private:
    std::byte* m_at = nullptr;
    std::size_t m_room = 0;
    std::size_t m_size = 0;
};

void appendUtf16(RecordOut& out, const std::string& text) {
    if (isAscii(text)) {
        // Most names: one unit per byte, written without a UTF-16 copy.
        if (text.size() > kMaxU32) fail(DSStoreWriter::kRecordTooLarge);
        out.u32(static_cast<std::uint32_t>(text.size()));
        if (std::byte* units = out.take(2 * text.size())) {
            for (std::size_t i = 0; i < text.size(); ++i) {
                units[2 * i] = std::byte{0};
                units[2 * i + 1] = static_cast<std::byte>(text[i]);
            }
        }
        return;
    }
    const auto units = utf8ToUtf16(text);
    if (!units) fail(DSStoreWriter::kInvalidText);
    if (units->size() > kMaxU32) fail(DSStoreWriter::kRecordTooLarge);
    out.u32(static_cast<std::uint32_t>(units->size()));
    if (std::byte* at = out.take(2 * units->size())) {
        for (std::size_t i = 0; i < units->size(); ++i) {
            at[2 * i] = static_cast<std::byte>((*units)[i] >> 8);
            at[2 * i + 1] = static_cast<std::byte>((*units)[i] & 0xFF);
        }
    }
}

void appendFourBytes(RecordOut& out, const std::string& text, DSStoreWriter::ErrorCode onFault) {
    const auto latin1 = toLatin1(text);
    if (!latin1 || latin1->size() != 4) fail(onFault);
    out.bytes(asBytes(*latin1));
}

void appendRecord(RecordOut& out, const DSStoreEntry& entry) {
    appendUtf16(out, entry.filename);
    appendFourBytes(out, entry.code, DSStoreWriter::kInvalidCode);
    appendFourBytes(out, entry.typecode, DSStoreWriter::kInvalidTypecode);
    const DSStoreValue& value = entry.value;
    switch (value.kind()) {
        case DSStoreValue::Kind::boolean:
            if (std::byte* at = out.take(1)) *at = value.asBoolean() ? std::byte{1} : std::byte{0};
            break;
        case DSStoreValue::Kind::integer:
            out.u32(value.asInteger());
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
            out.u32(static_cast<std::uint32_t>(data.size()));
            out.bytes(data);
            break;
        }
        case DSStoreValue::Kind::uint64:
            out.u32(static_cast<std::uint32_t>(value.asUInt64() >> 32));
            out.u32(static_cast<std::uint32_t>(value.asUInt64()));
            break;
    }
}

// The records in sorted order: the entries they come from and the bytes each encodes to.
struct MeasuredRecords {
    const std::vector<DSStoreEntry>& entries;
    std::vector<std::size_t> order;
    std::vector<std::uint32_t> sizes;

    std::size_t count() const { return order.size(); }
    std::size_t size(std::size_t i) const { return sizes[i]; }
    const DSStoreEntry& entry(std::size_t i) const { return entries[order[i]]; }
};

using Node = std::vector<std::size_t>;  // record indices, in order

struct Level {
    std::vector<Node> nodes;
    std::vector<std::size_t> separators;  // promoted records, one between each pair of nodes
};

// Whether `record` can sit in an internal node, beside its child pointer.
bool fitsInternalNode(const MeasuredRecords& records, std::size_t record) {
    return records.size(record) + fmt::kChildPointerSize <= fmt::kNodeCapacity;
}

// Packs `items` greedily into nodes of at most kNodeSize bytes; an item that does not fit the
// current node closes it and is promoted to the level above. An item too big for an internal
// node is never promoted: its left neighbour is, even if that leaves an empty leaf. Only two
// such items side by side cannot be separated, and no layout exists for them.
Level packLevel(const std::vector<std::size_t>& items, const MeasuredRecords& records,
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

// Every record in sorted order, measured and checked (in that order, so the first fault
// found is the first in the file) to fit a leaf on its own.
MeasuredRecords measureRecords(const std::vector<DSStoreEntry>& entries) {
    MeasuredRecords records{entries, sortedOrder(entries), {}};
    records.sizes.reserve(records.order.size());
    for (const std::size_t index : records.order) {
        RecordOut counted;
        appendRecord(counted, entries[index]);
        if (counted.size() > fmt::kNodeCapacity) fail(DSStoreWriter::kRecordTooLarge);
        records.sizes.push_back(static_cast<std::uint32_t>(counted.size()));
    }
    return records;
}

// The tree's levels, leaves first and the single root last.
std::vector<Level> shapeLevels(const MeasuredRecords& records) {
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

// The image as it is made, front to back: each part placed after the one before, the gaps
// between them zeros, handed on in pieces of one buffer. A store is never held whole (its
// pages were a fault each for every write).
class ImageStream {
  public:
    explicit ImageStream(const std::function<void(ByteView)>& sink) : m_sink(sink) {
        m_buffer.reserve(kPiece);
    }
    // `bytes` at file position `offset`, at or past the end of what was placed before.
    void place(std::uint64_t offset, ByteView bytes) {
        if (offset < m_placed) throw std::logic_error("store image parts out of order");
        zerosUpTo(offset);
        for (std::size_t done = 0; done < bytes.size();) {
            const std::size_t part = std::min(bytes.size() - done, kPiece - m_buffer.size());
            m_buffer.insert(m_buffer.end(), bytes.begin() + static_cast<std::ptrdiff_t>(done),
                            bytes.begin() + static_cast<std::ptrdiff_t>(done + part));
            done += part;
            m_placed += part;
            if (m_buffer.size() == kPiece) flush();
        }
    }
    // Zeros to `size`, and the last piece handed on.
    void finish(std::uint64_t size) {
        zerosUpTo(size);
        flush();
    }

  private:
    static constexpr std::size_t kPiece = 1 << 16;

    void zerosUpTo(std::uint64_t offset) {
        while (m_placed < offset) {
            const auto part = static_cast<std::size_t>(
                std::min<std::uint64_t>(offset - m_placed, kPiece - m_buffer.size()));
            m_buffer.insert(m_buffer.end(), part, std::byte{0});
            m_placed += part;
            if (m_buffer.size() == kPiece) flush();
        }
    }
    void flush() {
        if (!m_buffer.empty()) m_sink(m_buffer);
        m_buffer.clear();
    }

    const std::function<void(ByteView)>& m_sink;
    Bytes m_buffer;
    std::uint64_t m_placed = 0;
};

// Each node in block order, its records encoded straight into it.
void writeNodes(ImageStream& image, const std::vector<Level>& levels, const Layout& layout,
                const MeasuredRecords& records) {
    std::array<std::byte, fmt::kNodeSize> out;
    std::uint64_t block = 1;
    for (std::size_t l = 0; l < levels.size(); ++l) {
        std::uint64_t child = l == 0 ? 0 : layout.firstBlockOfLevel[l - 1];  // next child
        for (const Node& node : levels[l].nodes) {
            out.fill(std::byte{0});
            std::uint64_t q = fmt::kNodeHeaderSize;
            for (const std::size_t record : node) {
                if (l > 0) {
                    put(out.data() + q, child++);
                    q += fmt::kChildPointerSize;
                }
                RecordOut written(out.data() + q, records.size(record));
                appendRecord(written, records.entry(record));
                q += written.size();
            }
            put(out.data() + fmt::kNodeRightmostPosition, l == 0 ? 0 : child++);  // a leaf: 0
            put(out.data() + fmt::kNodeCountPosition, node.size());
            image.place(fmt::kAddressShift + Layout::nodeOffset(block++), out);
        }
    }
}

void writeTreeHeader(ImageStream& image, const Layout& layout, std::size_t levelCount,
                     std::size_t recordCount) {
    std::array<std::byte, fmt::kTreeHeaderSize> header{};
    put(header.data() + fmt::kTreeRootPosition, layout.nodeCount);
    put(header.data() + fmt::kTreeLevelCountPosition, levelCount);
    put(header.data() + fmt::kTreeRecordCountPosition, recordCount);
    put(header.data() + fmt::kTreeNodeCountPosition, layout.nodeCount);
    put(header.data() + fmt::kTreePageSizePosition, fmt::kNodeSize);
    image.place(fmt::kAddressShift + layout.treeHeaderOffset, header);
}

// Block count, every block's address, then the directory with its one entry.
void writeAllocator(ImageStream& image, const Layout& layout) {
    const auto size = static_cast<std::size_t>(layout.allocatorSize);
    const auto block = std::make_unique<std::byte[]>(size);  // zeros
    std::byte* allocator = block.get();
    put(allocator + fmt::kAllocatorBlockCountPosition, layout.blockCount());
    std::byte* slots = allocator + fmt::kAllocatorTablePosition;
    put(slots, layout.allocatorOffset | layout.allocatorSizeCode);
    for (std::uint64_t b = 1; b <= layout.nodeCount; ++b) {
        put(slots + fmt::kAddressSize * b, Layout::nodeOffset(b) | fmt::kNodeSizeCode);
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
    image.place(fmt::kAddressShift + layout.allocatorOffset, ByteView(allocator, size));
}

void writeFileHeader(ImageStream& image, const Layout& layout) {
    std::array<std::byte, fmt::kHeaderSize> file{};
    put(file.data() + fmt::kHeaderFirstWordPosition, fmt::kHeaderFirstWord);
    std::memcpy(file.data() + fmt::kMagicPosition, fmt::kMagic.data(), fmt::kMagic.size());
    put(file.data() + fmt::kAllocatorOffsetPosition, layout.allocatorOffset);
    put(file.data() + fmt::kAllocatorSizePosition, layout.allocatorSize);
    put(file.data() + fmt::kAllocatorOffsetCopyPosition, layout.allocatorOffset);
    std::memcpy(file.data() + fmt::kReservedHeaderPosition, fmt::kReservedHeaderBytes.data(),
                fmt::kReservedHeaderBytes.size());
    image.place(0, file);
}

// A store's image, checked whole before its first byte is handed on.
class StoreImage {
  public:
    explicit StoreImage(const std::vector<DSStoreEntry>& entries)
        : m_records(measureRecords(entries)),
          m_levels(shapeLevels(m_records)),
          m_layout(planLayout(m_levels)) {}

    std::uint64_t size() const { return m_layout.imageSize; }
    void writeTo(const std::function<void(ByteView)>& sink) const {
        ImageStream image(sink);
        writeFileHeader(image, m_layout);
        writeNodes(image, m_levels, m_layout, m_records);
        writeTreeHeader(image, m_layout, m_levels.size(), m_records.count());
        writeAllocator(image, m_layout);
        image.finish(m_layout.imageSize);
    }

  private:
    MeasuredRecords m_records;
    std::vector<Level> m_levels;
    Layout m_layout;
};

}  // namespace

Bytes DSStoreWriter::encode(const std::vector<DSStoreEntry>& entries) const {
    const StoreImage store(entries);
    Bytes image;
    image.reserve(static_cast<std::size_t>(store.size()));
    store.writeTo(
        [&image](ByteView piece) { image.insert(image.end(), piece.begin(), piece.end()); });
    return image;
}

void DSStoreWriter::write(const std::vector<DSStoreEntry>& entries, const std::string& path) const {
    const StoreImage store(entries);
    // One temporary file beside the target, swapped in keeping the file's owner and attributes.
    platform::replaceFileWith(
        path, [&store](const platform::ByteWriter& write) { store.writeTo(write); });
}

}  // namespace lumifold
