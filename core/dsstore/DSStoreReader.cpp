#include "core/dsstore/DSStoreReader.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_set>

#include "core/common/BigEndian.h"
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

// A block cut out of the image. Positions are relative to its first byte; every read is
// preceded by an explicit bounds check against `size`.
struct Block {
    const std::byte* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t start = 0;  // in the image

    std::uint32_t u32(std::uint64_t at) const { return loadU32(data + at); }
};

// Text that is not well-formed UTF-16 reads as empty, and `altered` says so.
std::string decodeUtf16(const std::byte* bytes, std::uint64_t byteCount, bool& altered) {
    auto text = utf16BigEndianToUtf8(reinterpret_cast<const unsigned char*>(bytes), byteCount);
    if (!text) altered = true;
    return text ? std::move(*text) : std::string();
}

std::string decodeLatin1(const std::byte* bytes, std::size_t count) {
    return fromLatin1(std::string_view(reinterpret_cast<const char*>(bytes), count));
}

bool typeIs(const std::byte* bytes, const char* type) { return std::memcmp(bytes, type, 4) == 0; }

// Decodes the record at `q`; on success advances `q` past it and sets `altered` when its text
// could not be read as stored.
std::optional<DSStoreEntry> decodeRecord(const Block& node, std::uint64_t& q, bool& altered) {
    const std::uint64_t size = node.size;
    if (q + 4 > size) return std::nullopt;
    const std::uint64_t nameUnits = node.u32(q);
    const std::uint64_t t = q + 4 + 2 * nameUnits;
    if (t + 8 > size) return std::nullopt;
    const std::byte* type = node.data + t + 4;
    const std::uint64_t v = t + 8;

    DSStoreValue value = DSStoreValue::boolean(false);
    std::uint64_t end = 0;
    if (typeIs(type, kTypeBool)) {
        if (v + 1 > size) return std::nullopt;
        value = DSStoreValue::boolean(node.data[v] != std::byte{0});
        end = v + 1;
    } else if (typeIs(type, kTypeLong) || typeIs(type, kTypeShor)) {
        if (v + 4 > size) return std::nullopt;
        value = DSStoreValue::integer(node.u32(v));
        end = v + 4;
    } else if (typeIs(type, kTypeBlob)) {
        if (v + 4 > size) return std::nullopt;
        const std::uint64_t length = node.u32(v);
        if (v + 4 + length > size) return std::nullopt;
        value = DSStoreValue::data(Bytes(node.data + v + 4, node.data + v + 4 + length));
        end = v + 4 + length;
    } else if (typeIs(type, kTypeUstr)) {
        if (v + 4 > size) return std::nullopt;
        const std::uint64_t units = node.u32(v);
        if (v + 4 + 2 * units > size) return std::nullopt;
        value = DSStoreValue::string(decodeUtf16(node.data + v + 4, 2 * units, altered));
        end = v + 4 + 2 * units;
    } else if (typeIs(type, kTypeType)) {
        if (v + 4 > size) return std::nullopt;
        value = DSStoreValue::fourCC(decodeLatin1(node.data + v, 4));
        end = v + 4;
    } else if (typeIs(type, kTypeComp) || typeIs(type, kTypeDutc)) {
        if (v + 8 > size) return std::nullopt;
        value = DSStoreValue::uint64(loadU64(node.data + v));
        end = v + 8;
    } else {
        return std::nullopt;
    }
    DSStoreEntry entry{decodeUtf16(node.data + q + 4, 2 * nameUnits, altered),
                       decodeLatin1(node.data + t, 4), decodeLatin1(type, 4), std::move(value)};
    q = end;
    return entry;
}

// One parse: the image, its block address table, and the walk's bookkeeping.
class TreeWalk final {
  public:
    TreeWalk(ByteView image, std::uint64_t tablePosition, std::uint64_t slotCount)
        : m_image(image),
          m_tablePosition(tablePosition),
          m_slotCount(slotCount),
          m_recordLimit(image.size() / fmt::kMinimumRecordSize) {}

    // Every record, even in overlapping nodes, is counted against what the file can hold.
    std::uint64_t recordLimit() const { return m_recordLimit; }

    Block fetch(std::uint64_t blockNumber) const {
        if (blockNumber >= m_slotCount) fail(DSStoreReader::kInvalidBlockId);
        const std::uint32_t address =
            loadU32(m_image.data() + m_tablePosition + fmt::kAddressSize * blockNumber);
        const std::uint64_t size = std::uint64_t{1} << (address & fmt::kAddressSizeMask);
        const std::uint64_t start = (address & ~fmt::kAddressSizeMask) + fmt::kAddressShift;
        const std::uint64_t end = start + size;
        if (start > m_image.size() || end > m_image.size()) fail(DSStoreReader::kBlockOutOfRange);
        return {m_image.data() + start, size, start};
    }

    // Walks the subtree of `blockNumber`, the root being level 1.
    void walk(std::uint64_t blockNumber, int level, DSStoreParseResult& result) {
        // The block-number check comes first so a bad reference reports as such.
        const Block node = fetch(blockNumber);
        // Nodes are told apart by where they start: several slots may name one node.
        if (level > fmt::kMaxTreeDepth || !m_visited.insert(node.start).second) {
            fail(DSStoreReader::kInvalidTree);
        }
        if (node.size < fmt::kNodeHeaderSize) return;
        const std::uint32_t rightmost = node.u32(fmt::kNodeRightmostPosition);
        const std::uint32_t count = node.u32(fmt::kNodeCountPosition);
        std::uint64_t q = fmt::kNodeHeaderSize;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (rightmost != 0) {
                if (q + fmt::kChildPointerSize > node.size) {
                    result.skippedRecords += count - i;  // the count runs past the node
                    break;
                }
                const std::uint32_t child = node.u32(q);
                q += fmt::kChildPointerSize;
                walk(child, level + 1, result);
            }
            bool altered = false;
            auto entry = decodeRecord(node, q, altered);
            if (!entry) {
                // Nothing after an undecodable record can be located: stop this node's
                // records, keep what was read, and still walk the rightmost child.
                result.skippedRecords += count - i;
                break;
            }
            if (result.entries.size() == m_recordLimit) fail(DSStoreReader::kInvalidTree);
            result.alteredRecords += altered ? 1 : 0;
            result.entries.push_back(std::move(*entry));
        }
        if (rightmost != 0) walk(rightmost, level + 1, result);
    }

  private:
    ByteView m_image;
    std::uint64_t m_tablePosition;
    std::uint64_t m_slotCount;
    std::uint64_t m_recordLimit;
    std::unordered_set<std::uint64_t> m_visited;  // start positions of the nodes walked
};

}  // namespace

DSStoreParseResult DSStoreReader::parse(ByteView bytes) const {
    const std::uint64_t length = bytes.size();
    if (length < fmt::kMinimumFileSize) fail(kFileTooSmall);
    if (loadU32(bytes.data() + fmt::kHeaderFirstWordPosition) != fmt::kHeaderFirstWord ||
        std::memcmp(bytes.data() + fmt::kMagicPosition, fmt::kMagic.data(), fmt::kMagic.size()) !=
            0) {
        fail(kInvalidMagic);
    }
    const std::uint64_t allocator = loadU32(bytes.data() + fmt::kAllocatorOffsetPosition);
    if (allocator + fmt::kAllocatorFixedSpan > length) fail(kRootOffsetOutOfBounds);

    // Position of the allocator block's first byte in the file.
    const std::uint64_t base = allocator + fmt::kAddressShift;
    const std::uint64_t blockCount =
        loadU32(bytes.data() + base + fmt::kAllocatorBlockCountPosition);
    std::uint64_t slotCount = fmt::kStandardSlotCount;
    if (blockCount > fmt::kStandardSlotCount) {
        slotCount = (blockCount + fmt::kSlotGranule - 1) / fmt::kSlotGranule * fmt::kSlotGranule;
    }
    const std::uint64_t tablePosition = base + fmt::kAllocatorTablePosition;
    const std::uint64_t countPosition = tablePosition + fmt::kAddressSize * slotCount;
    if (countPosition + fmt::kDirectoryCountSize > length) fail(kTocOutOfBounds);

    std::optional<std::uint64_t> treeBlock;
    const std::uint32_t directoryCount = loadU32(bytes.data() + countPosition);
    const std::string_view treeName(fmt::kDirectoryName.data(), fmt::kDirectoryName.size());
    std::uint64_t p = countPosition + fmt::kDirectoryCountSize;
    for (std::uint32_t i = 0; i < directoryCount; ++i) {
        if (p + fmt::kDirectoryNameLengthSize > length) break;
        const std::uint64_t name = p + fmt::kDirectoryNameLengthSize;
        const std::uint64_t nameLength = std::to_integer<std::uint64_t>(bytes[p]);
        const std::uint64_t end = name + nameLength + fmt::kDirectoryBlockNumberSize;
        if (end > length) break;
        // A later entry of the same name replaces an earlier one.
        if (asText(bytes.subspan(name, nameLength)) == treeName) {
            treeBlock = loadU32(bytes.data() + name + nameLength);
        }
        p = end;
    }
    if (!treeBlock || *treeBlock >= slotCount) fail(kDirectoryEntryMissing);

    TreeWalk walk(bytes, tablePosition, slotCount);
    const Block header = walk.fetch(*treeBlock);
    if (header.size < fmt::kTreeHeaderMinimumSize) fail(kTreeHeaderTooSmall);

    DSStoreParseResult result;
    result.entries.reserve(
        std::min<std::uint64_t>(header.u32(fmt::kTreeRecordCountPosition), walk.recordLimit()));
    walk.walk(header.u32(fmt::kTreeRootPosition), 1, result);
    return result;
}

std::vector<DSStoreEntry> DSStoreReader::parseEntries(ByteView bytes) const {
    return parse(bytes).entries;
}

std::vector<DSStoreEntry> DSStoreReader::readEntries(const std::string& path) const {
    return parseEntries(platform::readFile(path));
}

}  // namespace lumifold
