#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "core/common/JsonWriter.h"
#include "tests/support/TestSeed.h"

namespace lumifold {
namespace {

using nlohmann::json;

// Writes a random value through `writer` and returns the same value as a tree: nested and
// empty containers, every escape, multi-byte text (and with `bad`, sequences that are not
// UTF-8), strings long and short, the integer extremes, booleans and null.
json emit(JsonWriter& writer, std::mt19937& random, int depth, bool bad) {
    static const std::vector<std::string>
        kPieces = {"a",        "/",        "\"",          "\\",         "\n",     "\t",
                   "\x01",     "\x1f",     "\x7f",        "plain text", "\u00E9", "\xFF",
                   "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80"};  // the last four are not UTF-8
    std::string text = random() % 2 ? "\u00E9\u65E5\U0001F600" : "key";
    for (int n = static_cast<int>(random() % 24); n > 0; --n) {
        text += kPieces[random() % (kPieces.size() - (bad ? 0 : 4))];
    }
    const auto number = static_cast<std::int64_t>(random()) - (1LL << 31);
    json value = json::array();
    switch (depth > 3 ? random() % 5 : random() % 7) {
        case 0:
            return writer.string(text), text;
        case 1:
            return writer.integer(number), number;
        case 2:
            return writer.unsignedInteger(UINT64_MAX), UINT64_MAX;
        case 3:
            return writer.boolean(number % 2 == 0), number % 2 == 0;
        case 4:
            return writer.null(), nullptr;
        case 5:
            writer.beginArray();
            for (auto n = random() % 4; n > 0; --n)
                value.push_back(emit(writer, random, depth + 1, bad));
            return writer.endArray(), value;
    }
    writer.beginObject();
    value = json::object();
    const auto count = random() % 4;
    for (decltype(random()) i = 0; i < count; ++i) {  // keys in the order the tree sorts them
        writer.key(text + std::to_string(i));
        value[text + std::to_string(i)] = emit(writer, random, depth + 1, bad);
    }
    return writer.endObject(), value;
}

TEST(JsonWriterTest, WritesWhatTheTreeDumps) {
    const auto seed = testing::testSeed();
    SCOPED_TRACE(testing::seedTrace(seed));
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    for (int i = 0; i < 400; ++i) {
        // Every other document as manifests are written: "/" escaped (it occurs only in text);
        // every other pair with bad sequences replaced, as dumps and listings are written.
        const bool escapeSolidus = i % 2 == 1;
        const bool replace = i % 4 >= 2;
        std::string text;
        JsonWriter writer([&](std::string_view chunk) { text.append(chunk); },
                          {.escapeSolidus = escapeSolidus, .replaceInvalidUtf8 = replace});
        const json value = emit(writer, random, 0, replace);
        writer.finish();
        std::string expected = value.dump(2, ' ', false, json::error_handler_t::replace);
        for (auto at = expected.find('/'); escapeSolidus && at != std::string::npos;
             at = expected.find('/', at + 2)) {
            expected.insert(at, 1, '\\');
        }
        ASSERT_EQ(text, expected) << "document " << i;
    }
    // Not replaced, a bad sequence is refused.
    JsonWriter strict([](std::string_view) {}, {});
    EXPECT_THROW(strict.string("name \xFF"), std::invalid_argument);
}

}  // namespace
}  // namespace lumifold
