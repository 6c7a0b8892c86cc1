// Feeds arbitrary bytes to the store reader. Any outcome but a value or a reader Error is a
// bug; a complete parse must also survive a rewrite and read back as the same records. The
// dump's lines, written straight from the bytes, must be the parsed records' lines with the
// same counts, and a store parse refuses must print nothing and fail the same way.
#include <cstdlib>
#include <optional>
#include <string>

#include "core/common/Error.h"
#include "core/dsstore/DSStoreEntryJson.h"
#include "core/dsstore/DSStoreLineWriter.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumifold;
    const ByteView bytes(reinterpret_cast<const std::byte*>(data), size);
    std::string lines;
    std::optional<int> linesError;
    DSStoreWalkResult counts;
    try {
        counts = writeStoreLines(bytes, [&](std::string_view text) { lines += text; });
    } catch (const Error& error) {
        if (error.domain() != DSStoreReader::kDomain || !lines.empty()) std::abort();
        linesError = error.code();
    }
    const DSStoreReader reader;
    DSStoreParseResult result;
    try {
        result = reader.parse(bytes);
    } catch (const Error& error) {
        if (error.domain() != DSStoreReader::kDomain || linesError != error.code()) std::abort();
        return 0;
    }
    std::string expected;
    for (const auto& entry : result.entries) expected += entryJsonLine(entry) + "\n";
    if (linesError || lines != expected || counts.records != result.entries.size() ||
        counts.skippedRecords != result.skippedRecords ||
        counts.alteredRecords != result.alteredRecords) {
        std::abort();
    }
    if (!result.isComplete()) return 0;
    try {
        const Bytes image = DSStoreWriter().encode(result.entries);
        auto sorted = result.entries;  // another writer's order may differ from ours
        sortEntries(sorted);
        if (!(reader.parseEntries(image) == sorted)) std::abort();
    } catch (const Error& error) {
        // Blocks larger than a node may hold records the writer cannot place.
        if (error.code() != DSStoreWriter::kRecordTooLarge) std::abort();
    }
    return 0;
}
