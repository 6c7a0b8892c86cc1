// Feeds arbitrary bytes to the store reader. Any outcome but a value or a reader Error is a
// bug; a complete parse must also survive a rewrite and read back as the same records.
#include <cstdlib>

#include "core/common/Error.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumifold;
    const ByteView bytes(reinterpret_cast<const std::byte*>(data), size);
    const DSStoreReader reader;
    DSStoreParseResult result;
    try {
        result = reader.parse(bytes);
    } catch (const Error& error) {
        if (error.domain() != DSStoreReader::kDomain) std::abort();
        return 0;
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
