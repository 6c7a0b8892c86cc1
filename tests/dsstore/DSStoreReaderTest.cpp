#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/dsstore/DSStoreEntryJson.h"
#include "core/dsstore/DSStoreLineWriter.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/support/LumifoldAssertions.h"

namespace lumifold {
namespace {

using namespace lumifold::testing;

// File positions in the writer's images. The leaf image holds "a" and "b" (18-byte "long"
// records at kRecordA and kRecordB) and "c" (a "ustr" at kRecordC) in one leaf.
constexpr std::size_t kLeaf = 0x44, kRecordA = kLeaf + 8, kRecordB = kRecordA + 18,
                      kRecordC = kRecordB + 18;
constexpr std::size_t kTreeHeader = 0x1044, kAllocator = 0x2004, kSlots = kAllocator + 8;
constexpr std::size_t kDirectoryCount = kAllocator + 0x408, kDirectory = kDirectoryCount + 4;
// The two-level image holds "a" to "i" (1012-byte records): leaves are blocks 1 and 2, and "e"
// is in the root, block 3, which a 1024-byte block would hold exactly.
constexpr std::size_t kRoot = 0x44 + 2 * 4096, kTwoLevelSlots = 0x4004 + 8;

// A record's fields, from its start, for a one-unit name.
constexpr std::size_t kName = 4, kType = 10, kValue = 14;

Bytes leafImage() {
    return DSStoreWriter().encode({longEntry("a", "Iloc", 1),
                                   longEntry("b", "Iloc", 2),
                                   {"c", "cmmt", kTypeUstr, DSStoreValue::string("xy")}});
}

Bytes twoLevelImage() {
    std::vector<DSStoreEntry> entries;
    for (char name = 'a'; name <= 'i'; ++name) {
        entries.push_back(entryWithRecordSize(std::string(1, name), 1012));
    }
    return DSStoreWriter().encode(entries);
}

// A chain of `levels` nodes: internal nodes with m = 0, each naming the next, then a leaf.
Bytes chainImage(std::uint32_t levels) {
    RawStore store;
    for (std::uint32_t i = 1; i < levels; ++i) store.addBlock(nodeHeader(i + 1, 0), 5);
    store.addBlock(nodeHeader(0, 0), 5);
    store.addDirectoryEntry("DSDB", store.addBlock(treeHeader(1), 5));
    return store.build();
}

// 32-byte chunks, each both a leaf header (P = 0, m = 127) and the tail of a 32-byte record
// running into the next chunk, so leaves starting at successive chunks read the same bytes.
// A root names 128 of those leaves: 16 256 records from a 67 588-byte file.
Bytes overlappingLeavesImage() {
    Bytes chunks;
    for (int chunk = 0; chunk < 256; ++chunk) {
        for (const std::uint32_t value : {0u, 127u, 0u, word("Iloc"), word("blob"), 16u, 0u, 0u}) {
            appendU32(chunks, value);
        }
    }
    RawStore store;
    store.addBlock(chunks, 13);  // block 1, at 0x2000
    Bytes root = nodeHeader(129, 127);
    for (std::uint32_t block = 2; block <= 129; ++block) {
        store.setSlot(block, (0x2000 + 32 * (block - 2)) | 12);
        if (block == 129) break;
        appendU32(root, block);
        appendLongRecord(root, "r", "Iloc", 0);
    }
    store.addDirectoryEntry("DSDB", store.addBlock(treeHeader(store.addBlock(root, 12)), 5));
    return store.build();
}

using Words = std::vector<std::pair<std::size_t, std::uint32_t>>;  // file position, value

// An image with u32 values written over it, then cut when `cut` is not 0.
struct Damage {
    const char* what;
    Bytes (*image)();
    Words words;
    std::size_t cut = 0;
};

Bytes damaged(const Damage& damage) {
    Bytes image = damage.image();
    for (const auto& [position, value] : damage.words) putU32(image, position, value);
    if (damage.cut != 0) image.resize(damage.cut);
    return image;
}

constexpr auto L = leafImage, T = twoLevelImage;

// The dump's lines, written from the bytes, are the parsed records' lines with parse's counts;
// a store parse refuses prints nothing (the refusals below come after many lines) and fails
// with parse's error.
void expectLinesAsParsed(const Bytes& image) {
    std::string lines;
    const auto sink = [&](std::string_view text) { lines += text; };
    DSStoreParseResult result;
    try {
        result = DSStoreReader().parse(image);
    } catch (const Error& error) {
        EXPECT_LUMIFOLD_ERROR_CODE(writeStoreLines(image, sink), error.domain(), error.code());
        EXPECT_EQ(lines, "");
        return;
    }
    const DSStoreWalkResult counts = writeStoreLines(image, sink);
    std::string expected;
    for (const auto& entry : result.entries) expected += entryJsonLine(entry) + "\n";
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(counts.records, result.entries.size());
    EXPECT_EQ(counts.skippedRecords, result.skippedRecords);
    EXPECT_EQ(counts.alteredRecords, result.alteredRecords);
}

TEST(DSStoreReaderTest, ReadsWhatCanBeDecodedAndCountsTheRest) {
    struct Case {
        Damage damage;
        const char* names;
        std::size_t skipped, altered;
    };
    const std::vector<Case> cases = {
        {{"nothing", L, {}}, "abc", 0, 0},
        {{"lone surrogates in a name and a text",
          L,
          {{kRecordC + kName, 0xD863'636D}, {kRecordC + kValue + 4, 0xD878'0079}}},
         "ab-",
         0,
         1},
        {{"an unknown type", L, {{kRecordB + kType, word("xxxx")}}}, "a", 2, 0},
        {{"a count beyond the records", L, {{kLeaf + 4, 5}}}, "abc", 2, 0},
        {{"a blob longer than the node",
          L,
          {{kRecordA + kType, word("blob")}, {kRecordA + kValue, 5000}}},
         "",
         3,
         0},
        {{"a root whose count runs past its block, before bad bytes",
          T,
          {{kRoot + 4, 2}, {kTwoLevelSlots + 12, 0x204A}, {kRoot + 1024, ~0u}}},
         "abcdefghi",
         1,
         0},
        {{"an undecodable root record", T, {{kRoot + 22, word("zzzz")}}}, "abcdfghi", 1, 0},
        {{"P naming an empty slot", T, {{kRoot, 250}}}, "abcde", 0, 0},
        {{"a tree header promising 4 billion records", L, {{kTreeHeader + 8, ~0u}}}, "abc", 0, 0},
        {{"64 levels", [] { return chainImage(64); }, {}}, "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage.what);
        const DSStoreParseResult result = DSStoreReader().parse(damaged(c.damage));
        expectLinesAsParsed(damaged(c.damage));
        std::string names;  // "-" for an empty name
        for (const auto& entry : result.entries)
            names += entry.filename.empty() ? "-" : entry.filename;
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(result.skippedRecords, c.skipped);
        EXPECT_EQ(result.alteredRecords, c.altered);
    }
}

TEST(DSStoreReaderTest, PassesOverRecordsCutByTheEndOfTheirBlock) {
    // "abcd" fills the 32-byte block: the second record's length is cut.
    struct Case {
        const char* type;
        const char* name;
        std::size_t skipped;
    };
    const Case cases[] = {
        {.type = "long", .name = "abcd", .skipped = 1},
        {.type = "long", .name = "abcdefg", .skipped = 2},
        {.type = "bool", .name = "abcdef", .skipped = 2},
        {.type = "shor", .name = "abcde", .skipped = 2},
        {.type = "comp", .name = "abcde", .skipped = 2},
        {.type = "blob", .name = "abcde", .skipped = 2},
        {.type = "ustr", .name = "abcde", .skipped = 2},
    };
    for (const auto& [type, name, skipped] : cases) {
        Bytes leaf = nodeHeader(0, 2);
        appendLongRecord(leaf, name, "Iloc", 0, type);
        RawStore store;
        store.addDirectoryEntry("DSDB", store.addBlock(treeHeader(store.addBlock(leaf, 5)), 5));
        EXPECT_EQ(DSStoreReader().parse(store.build()).skippedRecords, skipped) << type << name;
    }
}

TEST(DSStoreReaderTest, RejectsEachDamageWithItsError) {
    using R = DSStoreReader;
    const std::vector<std::pair<Damage, int>> cases = {
        {{"31 bytes", L, {}, 31}, R::kFileTooSmall},
        {{"a lower-case magic", L, {{4, word("bud1")}}}, R::kInvalidMagic},
        {{"four billion blocks", L, {{kAllocator, ~0u}}}, R::kTocOutOfBounds},
        {{"the tree beyond the table", L, {{kDirectory + 5, 256}}}, R::kDirectoryEntryMissing},
        {{"a child beyond the table", T, {{kRoot + 8, 300}}}, R::kInvalidBlockId},
        {{"a leaf near 4 GiB", L, {{kSlots + 4, 0xFFFF'FFEC}}}, R::kBlockOutOfRange},
        {{"a bad block after records were read",
          T,
          {{kRoot, 250}, {kTwoLevelSlots + 4 * 250, 0x7FFF'FFEC}}},
         R::kBlockOutOfRange},
        {{"the root as its own child", T, {{kRoot + 8, 3}}}, R::kInvalidTree},
        {{"more than 64 levels", [] { return chainImage(65); }, {}}, R::kInvalidTree},
        {{"more records than the file can hold", overlappingLeavesImage, {}}, R::kInvalidTree},
        {{"P naming the first leaf through another slot",
          T,
          {{kRoot, 5}, {kTwoLevelSlots + 4 * 5, 0x4C}}},
         R::kInvalidTree},
    };
    for (const auto& [damage, code] : cases) {
        SCOPED_TRACE(damage.what);
        EXPECT_LUMIFOLD_ERROR_CODE(DSStoreReader().parse(damaged(damage)), R::kDomain, code);
        expectLinesAsParsed(damaged(damage));
    }
}

TEST(DSStoreLineWriterTest, WritesEachCharacterAsTheRecordsLineDoes) {
    // The leaf's "c" record: a one-unit name, code, and a two-unit text, as stored.
    struct Case {
        std::uint16_t name;
        std::uint32_t code, text;
    };
    const Case cases[] = {
        {0x0009, word("Iloc"), 0x0008'000C},  // \t, \b, \f
        {0x000A, word("cmmt"), 0x000D'0001},  // \n, \r, a control character
        {0x001F, 0x0122'5C7F, 0x0022'005C},   // controls, quote, backslash, DEL in a code
        {0x002F, 0xE9FF'8020, 0x007F'0080},   // ISO 8859-1 beyond ASCII; "/" stays
        {0x03A3, word("cmmt"), 0x00E9'07FF},  // two bytes
        {0x0800, word("cmmt"), 0xFFFF'E000},  // three bytes
        {0x20AC, word("cmmt"), 0xD83D'DE00},  // a pair is one scalar of four bytes
        {0xDC00, word("cmmt"), 0x0041'0042},  // a lone trail surrogate: altered
        {0x0041, word("cmmt"), 0xDC00'DC01},  // two trails are no pair
        {0xD800, 0xDC00'6D74, 0x0041'0042},   // a lead at the name's end, a trail after it
        {0x0041, word("cmmt"), 0xDC00'D800},  // surrogates in the wrong order
        {0x0041, word("cmmt"), 0x0041'D800},  // a lead at the text's end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = leafImage();
        image[kRecordC + kName] = std::byte(c.name >> 8);
        image[kRecordC + kName + 1] = std::byte(c.name & 0xFF);
        putU32(image, kRecordC + kName + 2, c.code);
        putU32(image, kRecordC + kValue + 4, c.text);
        expectLinesAsParsed(image);
    }
}

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(LUMIFOLD_SHARED_CORPUS_DIR) / "dsstore";

// The stores in one folder of the corpus, in name order.
std::vector<fs::path> stores(const std::string& folder) {
    std::vector<fs::path> found;
    for (const auto& item : fs::directory_iterator(kCorpus / folder)) {
        if (item.path().extension() == ".DS_Store") found.push_back(item.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The records a JSON-lines file gives by value (lines describing a construction are skipped).
std::vector<DSStoreEntry> expectedEntries(const fs::path& path) {
    std::vector<DSStoreEntry> entries;
    std::ifstream input(path);
    for (std::string text; std::getline(input, text);) {
        const auto line = nlohmann::json::parse(text);
        if (line.contains("type")) entries.push_back(entryFromJsonLine(line));
    }
    return entries;
}

// Stores written by the file manager and by other writers, kept outside the project.
TEST(DSStoreCorpusTest, RealAndOtherWritersStoresReadAsExpectedAndDamagedOnesAreRefused) {
    if (!fs::is_directory(kCorpus))
        GTEST_SKIP() << "The store corpus is absent (" << kCorpus << ")";
    const DSStoreReader reader;
    EXPECT_EQ(stores("real").size(), 46u);
    for (const auto& store : stores("real")) {
        SCOPED_TRACE(store.filename().string());
        const auto result = reader.parse(platform::readFile(store.string()));
        EXPECT_TRUE(result.isComplete());
        EXPECT_EQ(result.entries,
                  expectedEntries(kCorpus / "expected" / store.stem().concat(".jsonl")));
        EXPECT_EQ(reader.parse(DSStoreWriter().encode(result.entries)).entries, result.entries);
        for (const auto& entry : result.entries) {
            const auto line = entryJsonLine(entry);
            const auto direct = entryFromDumpedLine(line);
            if (line.find('\\') == std::string::npos) {
                EXPECT_TRUE(direct) << line;
            }
            if (direct) {
                EXPECT_EQ(entryJsonLine(*direct), line);
            }
        }
    }
    EXPECT_EQ(stores("real-damaged").size(), 3u);
    for (const auto& store : stores("real-damaged")) {
        EXPECT_THROW(reader.parse(platform::readFile(store.string())), Error) << store;
    }
    for (const auto& store : stores("peer-written")) {
        SCOPED_TRACE(store.filename().string());
        const std::string name = store.filename().string();
        const auto result = reader.parse(platform::readFile(store.string()));
        EXPECT_TRUE(result.isComplete());
        // Other writers order records their own way, and one recomposes decomposed names; one
        // left its only leaf empty (its tree header still counts one record).
        const bool emptyLeaf = name.starts_with("oversized-record.");
        const auto expected = emptyLeaf
                                  ? std::vector<DSStoreEntry>{}
                                  : expectedEntries(kCorpus / "peer-written" /
                                                    (name.substr(0, name.find('.')) + ".jsonl"));
        if (expected.empty() && !emptyLeaf) continue;  // described by construction only
        EXPECT_TRUE(std::is_permutation(result.entries.begin(), result.entries.end(),
                                        expected.begin(), expected.end()));
    }
}

}  // namespace
}  // namespace lumifold
