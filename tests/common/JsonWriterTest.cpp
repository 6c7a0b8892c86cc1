#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "core/common/JsonWriter.h"
#include "tests/support/TestSeed.h"

namespace lumifold {
namespace {

// Writes `value` through the streaming writer, in the tree's own key order.
void write(JsonWriter& writer, const nlohmann::json& value) {
    if (value.is_object()) {
        writer.beginObject();
        for (const auto& [key, member] : value.items()) {
            writer.key(key);
            write(writer, member);
        }
        writer.endObject();
    } else if (value.is_array()) {
        writer.beginArray();
        for (const auto& element : value) write(writer, element);
        writer.endArray();
    } else if (value.is_string()) {
        writer.string(value.get_ref<const std::string&>());
    } else if (value.is_boolean()) {
        writer.boolean(value.get<bool>());
    } else if (value.is_number_unsigned()) {
        writer.unsignedInteger(value.get<std::uint64_t>());
    } else if (value.is_number_integer()) {
        writer.integer(value.get<std::int64_t>());
    } else {
        writer.null();
    }
}

std::string streamed(const nlohmann::json& value, JsonWriter::Options options = {}) {
    std::string text;
    JsonWriter writer([&](std::string_view chunk) { text.append(chunk); }, options);
    write(writer, value);
    writer.finish();
    return text;
}

// A random document: nested containers, empty ones, every escape and multi-byte text.
nlohmann::json randomValue(std::mt19937& random, int depth) {
    static const std::string kPieces = "a/\"\\\n\t\x01\x1f\x7f";
    std::string text = random() % 2 ? "\u00E9\u65E5\U0001F600" : "key";
    for (int n = static_cast<int>(random() % 6); n > 0; --n) text += kPieces[random() % 9];
    const auto kind = depth > 3 ? random() % 4 : random() % 6;
    nlohmann::json value = kind == 0 ? nlohmann::json(text)
                           : kind == 1
                               ? nlohmann::json(static_cast<std::int64_t>(random()) - (1LL << 31))
                           : kind == 2 ? nlohmann::json(random() % 2 == 0)
                           : kind == 3 ? nlohmann::json(std::uint64_t{18446744073709551615ULL})
                           : kind == 4 ? nlohmann::json::array()
                                       : nlohmann::json::object();
    for (int n = kind < 4 ? 0 : static_cast<int>(random() % 4); n > 0; --n) {
        if (kind == 4) {
            value.push_back(randomValue(random, depth + 1));
        } else {
            value[text + std::to_string(n)] = randomValue(random, depth + 1);
        }
    }
    return value;
}

TEST(JsonWriterTest, WritesWhatTheTreeDumps) {
    const auto seed = testing::testSeed();
    SCOPED_TRACE(testing::seedTrace(seed));
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    for (int i = 0; i < 300; ++i) {
        const nlohmann::json value = randomValue(random, 0);
        ASSERT_EQ(streamed(value), value.dump(2)) << "document " << i;
    }
    // Large enough to be handed to the sink in several pieces.
    nlohmann::json big = nlohmann::json::array();
    for (int i = 0; i < 20000; ++i) big.push_back({{"path", "/a/b/" + std::to_string(i)}});
    EXPECT_EQ(streamed(big), big.dump(2));
}

TEST(JsonWriterTest, RefusesBadTextOrReplacesItWhenAsked) {
    const std::string bad = "a\xE0\x80z\xC3";
    EXPECT_THROW(streamed(bad), std::invalid_argument);
    EXPECT_EQ(streamed(bad, {.escapeSolidus = false, .replaceInvalidUtf8 = true}),
              nlohmann::json(bad).dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace
}  // namespace lumifold
