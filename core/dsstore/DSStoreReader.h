#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/common/Bytes.h"
#include "core/dsstore/DSStoreEntry.h"

namespace lumifold {

// What a parse found: the decodable records in tree order, how many records the walk had to
// pass over, and how many it could only read with their text altered. A record that cannot be
// decoded ends its node, so the records after it in that node are passed over too (and the
// subtrees between them are never reached). A name or text that is not well-formed UTF-16
// reads as the empty string, so writing that record back would rename or blank it. Unless
// the result is complete, the list must not be written back in place of the file.
struct DSStoreParseResult {
    std::vector<DSStoreEntry> entries;
    std::size_t skippedRecords = 0;
    std::size_t alteredRecords = 0;

    bool isComplete() const { return skippedRecords == 0 && alteredRecords == 0; }
};

// One record as it lies in the image, located but not decoded; the views last as long as the
// image. `type` is one of the known type codes and `kind` the value case it is read as.
// `payload` holds a blob's bytes, a ustr's big-endian UTF-16 units or a type's four bytes;
// `number` the value of the other types (a bool's byte).
struct DSStoreRecordView {
    ByteView name;  // big-endian UTF-16 units
    ByteView code;
    ByteView type;
    DSStoreValue::Kind kind = DSStoreValue::Kind::boolean;
    ByteView payload;
    std::uint64_t number = 0;
};

// What a walk over the records found besides the records themselves (see DSStoreParseResult).
struct DSStoreWalkResult {
    std::size_t records = 0;
    std::size_t skippedRecords = 0;
    std::size_t alteredRecords = 0;
};

// Decodes a .DS_Store image into its records. Holds no state; calls may run on any thread.
class DSStoreReader final {
  public:
    static constexpr const char* kDomain = "DSStoreReader";
    enum ErrorCode : int {
        kFileTooSmall = 1,
        kInvalidMagic = 2,
        kRootOffsetOutOfBounds = 3,
        kTocOutOfBounds = 4,
        kDirectoryEntryMissing = 5,
        kInvalidBlockId = 6,
        kBlockOutOfRange = 7,
        kTreeHeaderTooSmall = 8,
        kInvalidTree = 9,
    };

    DSStoreReader() = default;
    DSStoreReader(const DSStoreReader&) = delete;
    DSStoreReader& operator=(const DSStoreReader&) = delete;

    // The records in tree order. Throws Error (domain kDomain) when `bytes` is not a store, a
    // block reference anywhere in the tree is bad, or the tree is malformed (a node reached
    // twice, more than 64 levels, more records than the file's size allows); no partial list
    // is returned then.
    std::vector<DSStoreEntry> parseEntries(ByteView bytes) const;
    // As parseEntries, and says whether records were passed over.
    DSStoreParseResult parse(ByteView bytes) const;
    // Hands each record to `visit` in tree order, as parse decodes them; `visit` says whether
    // the record's text could only be read altered. Throws as parse does, possibly after
    // records were handed over: a caller that must not act on a part walks twice, first with
    // a visitor that does nothing.
    using RecordVisitor = std::function<bool(const DSStoreRecordView&)>;
    DSStoreWalkResult walk(ByteView bytes, const RecordVisitor& visit) const;
    // Reads the whole file, then parses it; file errors (domain "POSIX") pass through.
    std::vector<DSStoreEntry> readEntries(const std::string& path) const;
};

}  // namespace lumifold
