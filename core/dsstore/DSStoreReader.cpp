#include "core/dsstore/DSStoreReader.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_set>

#include "core/common/ByteCursor.h"
#include "core/common/Error.h"
#include "core/common/Text.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

namespace fmt = dsstore_format;

[[noreturn]] void fail(DSStoreReader::ErrorCode code) {
    static const std::map<int, const char*> kMessages = {
        {DSStoreReader::kFileTooSmall, "File too small"},
        {DSStoreReader::kInvalidMagic, "Invalid magic header"},
        {DSStoreReader::kRootOffsetOutOfBounds, "Root offset out of bounds"},
        {DSStoreReader::kTocOutOfBounds, "TOC out of bounds"},
        {DSStoreReader::kDirectoryEntryMissing, "DSDB TOC entry missing"},
        {DSStoreReader::kInvalidBlockId, "Invalid block id"},
        {DSStoreReader::kBlockOutOfRange, "Block data out of range"},
        {DSStoreReader::kTreeHeaderTooSmall, "DSDB block too small"},
        {DSStoreReader::kInvalidTree, "Invalid B-tree structure"},
    };
    throw Error(DSStoreReader::kDomain, code, kMessages.at(code));
}

// A block cut out of the image, and where it starts there.
struct Block {
    ByteView bytes;
    std::uint64_t start = 0;
};

// Text that is not well-formed UTF-16 reads as empty, and `altered` says so.
std::string decodeUtf16(ByteView bytes, bool& altered) {
    auto text =
        utf16BigEndianToUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (!text) altered = true;
    return text ? std::move(*text) : std::string();
}

std::string decodeLatin1(ByteView bytes) { return fromLatin1(asText(bytes)); }

bool typeIs(ByteView bytes, const char* type) { return asText(bytes) == std::string_view(type, 4); }

// Locates the record at `node`'s position and advances `node` past it; nullopt, leaving `node`
// where it was, when the record does not fit or its type is unknown.
std::optional<DSStoreRecordView> locateRecord(ByteCursor& node) {
    ByteCursor at = node;
    DSStoreRecordView record;
    std::uint32_t nameUnits = 0;
    if (!at.readU32(&nameUnits) || !at.readUnits(nameUnits, 2, &record.name) ||
        !at.readBytes(4, &record.code) || !at.readBytes(4, &record.type)) {
        return std::nullopt;
    }
    using Kind = DSStoreValue::Kind;
    const ByteView type = record.type;
    bool read = false;
    if (typeIs(type, kTypeBool)) {
        std::uint8_t flag = 0;
        read = at.readU8(&flag);
        record.kind = Kind::boolean;
        record.number = flag;
    } else if (typeIs(type, kTypeLong) || typeIs(type, kTypeShor)) {
        std::uint32_t number = 0;
        read = at.readU32(&number);
        record.kind = Kind::integer;
        record.number = number;
    } else if (typeIs(type, kTypeBlob)) {
        std::uint32_t length = 0;
        read = at.readU32(&length) && at.readBytes(length, &record.payload);
        record.kind = Kind::data;
    } else if (typeIs(type, kTypeUstr)) {
        std::uint32_t units = 0;
        read = at.readU32(&units) && at.readUnits(units, 2, &record.payload);
        record.kind = Kind::string;
    } else if (typeIs(type, kTypeType)) {
        read = at.readBytes(4, &record.payload);
        record.kind = Kind::fourCC;
    } else if (typeIs(type, kTypeComp) || typeIs(type, kTypeDutc)) {
        read = at.readU64(&record.number);
        record.kind = Kind::uint64;
    }
    if (!read) return std::nullopt;
    node = at;
    return record;
}

// The record's value and text; sets `altered` when its text could not be read as stored.
DSStoreEntry decodeRecord(const DSStoreRecordView& record, bool& altered) {
    DSStoreValue value = DSStoreValue::boolean(record.number != 0);
    switch (record.kind) {
        case DSStoreValue::Kind::boolean:
            break;
        case DSStoreValue::Kind::integer:
            value = DSStoreValue::integer(static_cast<std::uint32_t>(record.number));
            break;
        case DSStoreValue::Kind::fourCC:
            value = DSStoreValue::fourCC(decodeLatin1(record.payload));
            break;
        case DSStoreValue::Kind::string:
            value = DSStoreValue::string(decodeUtf16(record.payload, altered));
            break;
        case DSStoreValue::Kind::data:
            value = DSStoreValue::data(Bytes(record.payload.begin(), record.payload.end()));
            break;
        case DSStoreValue::Kind::uint64:
            value = DSStoreValue::uint64(record.number);
            break;
    }
    return {decodeUtf16(record.name, altered), decodeLatin1(record.code), decodeLatin1(record.type),
            std::move(value)};
}

// The block number the directory at `toc` gives the B-tree ("DSDB"); a later entry of that
// name replaces an earlier one, and the entries end where one no longer fits.
std::optional<std::uint64_t> treeBlockIn(ByteCursor& toc, std::uint32_t entryCount) {
    std::optional<std::uint64_t> treeBlock;
    const std::string_view treeName(fmt::kDirectoryName.data(), fmt::kDirectoryName.size());
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        std::uint8_t nameLength = 0;
        ByteView name;
        std::uint32_t blockNumber = 0;
        if (!toc.readU8(&nameLength) || !toc.readBytes(nameLength, &name) ||
            !toc.readU32(&blockNumber)) {
            break;
        }
        if (asText(name) == treeName) treeBlock = blockNumber;
    }
    return treeBlock;
}

// One parse: the image, its block address table, and the walk's bookkeeping.
class TreeWalk final {
  public:
    // `table` holds exactly the slots of the block address table.
    TreeWalk(ByteView image, ByteView table)
        : m_image(image), m_table(table), m_recordLimit(image.size() / fmt::kMinimumRecordSize) {}

    // Every record, even in overlapping nodes, is counted against what the file can hold.
    std::uint64_t recordLimit() const { return m_recordLimit; }

    Block fetch(std::uint64_t blockNumber) const {
        ByteCursor slot(m_table, fmt::kAddressSize * blockNumber);
        std::uint32_t address = 0;
        if (!slot.readU32(&address)) fail(DSStoreReader::kInvalidBlockId);
        const std::uint64_t size = std::uint64_t{1} << (address & fmt::kAddressSizeMask);
        const std::uint64_t start = (address & ~fmt::kAddressSizeMask) + fmt::kAddressShift;
        ByteCursor image(m_image, start);
        ByteView block;
        if (!image.readBytes(size, &block)) fail(DSStoreReader::kBlockOutOfRange);
        return {block, start};
    }

    // Walks the subtree of `blockNumber`, the root being level 1.
    void walk(std::uint64_t blockNumber, int level, const DSStoreReader::RecordVisitor& visit,
              DSStoreWalkResult& result) {
        // The block-number check comes first so a bad reference reports as such.
        const Block node = fetch(blockNumber);
        // Nodes are told apart by where they start: several slots may name one node.
        if (level > fmt::kMaxTreeDepth || !m_visited.insert(node.start).second) {
            fail(DSStoreReader::kInvalidTree);
        }
        ByteCursor at(node.bytes);
        std::uint32_t rightmost = 0;
        std::uint32_t count = 0;
        // A block too small to be a node holds nothing.
        if (!at.seek(fmt::kNodeRightmostPosition) || !at.readU32(&rightmost) ||
            !at.seek(fmt::kNodeCountPosition) || !at.readU32(&count) ||
            !at.seek(fmt::kNodeHeaderSize)) {
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            if (rightmost != 0) {
                std::uint32_t child = 0;
                if (!at.readU32(&child)) {
                    result.skippedRecords += count - i;  // the count runs past the node
                    break;
                }
                walk(child, level + 1, visit, result);
            }
            const auto record = locateRecord(at);
            if (!record) {
                // Nothing after an undecodable record can be located: stop this node's
                // records, keep what was read, and still walk the rightmost child.
                result.skippedRecords += count - i;
                break;
            }
            if (result.records == m_recordLimit) fail(DSStoreReader::kInvalidTree);
            ++result.records;
            result.alteredRecords += visit(*record) ? 1u : 0u;
        }
        if (rightmost != 0) walk(rightmost, level + 1, visit, result);
    }

  private:
    ByteView m_image;
    ByteView m_table;
    std::uint64_t m_recordLimit;
    std::unordered_set<std::uint64_t> m_visited;  // start positions of the nodes walked
};

// A store's tree, found through its header, allocator, directory and tree header.
struct OpenedTree {
    ByteView table;  // the block address table
    std::uint32_t root = 0;
    std::uint32_t recordCount = 0;  // as the tree header says
};

OpenedTree openTree(ByteView bytes) {
    using R = DSStoreReader;
    ByteCursor header(bytes);
    std::uint32_t firstWord = 0;
    ByteView magic;
    std::uint32_t allocator = 0;
    // Seeking to a minimum size first refuses a shorter file or block before any field is read.
    if (!header.seek(fmt::kMinimumFileSize) || !header.seek(fmt::kHeaderFirstWordPosition) ||
        !header.readU32(&firstWord) || !header.seek(fmt::kMagicPosition) ||
        !header.readBytes(fmt::kMagic.size(), &magic) ||
        !header.seek(fmt::kAllocatorOffsetPosition) || !header.readU32(&allocator)) {
        fail(R::kFileTooSmall);
    }
    if (firstWord != fmt::kHeaderFirstWord ||
        asText(magic) != std::string_view(fmt::kMagic.data(), fmt::kMagic.size())) {
        fail(R::kInvalidMagic);
    }
    // The allocator block's fixed part, the standard address table included, must lie in the
    // file before any of it is read.
    ByteCursor fixedSpan(bytes, allocator);
    ByteView allocatorFixed;
    if (!fixedSpan.readBytes(fmt::kAllocatorFixedSpan, &allocatorFixed)) {
        fail(R::kRootOffsetOutOfBounds);
    }
    // Position of the allocator block's first byte in the file.
    const std::uint64_t base = std::uint64_t{allocator} + fmt::kAddressShift;
    std::uint32_t blockCount = 0;
    ByteCursor(allocatorFixed, fmt::kAddressShift + fmt::kAllocatorBlockCountPosition)
        .readU32(&blockCount);  // inside the fixed part
    std::uint64_t slotCount = fmt::kStandardSlotCount;
    if (blockCount > fmt::kStandardSlotCount) {
        slotCount = (std::uint64_t{blockCount} + fmt::kSlotGranule - 1) / fmt::kSlotGranule *
                    fmt::kSlotGranule;
    }
    ByteCursor toc(bytes, base + fmt::kAllocatorTablePosition);
    ByteView table;
    std::uint32_t directoryCount = 0;
    if (!toc.readUnits(slotCount, fmt::kAddressSize, &table) || !toc.readU32(&directoryCount)) {
        fail(R::kTocOutOfBounds);
    }

    const std::optional<std::uint64_t> treeBlock = treeBlockIn(toc, directoryCount);
    if (!treeBlock || *treeBlock >= slotCount) fail(R::kDirectoryEntryMissing);

    ByteCursor treeHeader(TreeWalk(bytes, table).fetch(*treeBlock).bytes);
    std::uint32_t root = 0;
    std::uint32_t recordCount = 0;
    if (!treeHeader.seek(fmt::kTreeHeaderMinimumSize) || !treeHeader.seek(fmt::kTreeRootPosition) ||
        !treeHeader.readU32(&root) || !treeHeader.seek(fmt::kTreeRecordCountPosition) ||
        !treeHeader.readU32(&recordCount)) {
        fail(R::kTreeHeaderTooSmall);
    }
    return {table, root, recordCount};
}

}  // namespace

DSStoreWalkResult DSStoreReader::walk(ByteView bytes, const RecordVisitor& visit) const {
    const OpenedTree tree = openTree(bytes);
    TreeWalk walker(bytes, tree.table);
    DSStoreWalkResult result;
    walker.walk(tree.root, 1, visit, result);
    return result;
}

DSStoreParseResult DSStoreReader::parse(ByteView bytes) const {
    const OpenedTree tree = openTree(bytes);
    TreeWalk walker(bytes, tree.table);
    DSStoreParseResult result;
    result.entries.reserve(std::min<std::uint64_t>(tree.recordCount, walker.recordLimit()));
    DSStoreWalkResult counts;
    walker.walk(
        tree.root, 1,
        [&](const DSStoreRecordView& record) {
            bool altered = false;
            result.entries.push_back(decodeRecord(record, altered));
            return altered;
        },
        counts);
    result.skippedRecords = counts.skippedRecords;
    result.alteredRecords = counts.alteredRecords;
    return result;
}

std::vector<DSStoreEntry> DSStoreReader::parseEntries(ByteView bytes) const {
    return parse(bytes).entries;
}

std::vector<DSStoreEntry> DSStoreReader::readEntries(const std::string& path) const {
    return parseEntries(platform::readFile(path));
}

}  // namespace lumifold
