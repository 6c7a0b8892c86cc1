#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/common/Base64.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "tests/cli/CliRunner.h"

namespace lumifold {
namespace {

using testing::runCli;

class DSStoreCommandsTest : public ::testing::Test {
  protected:
    testing::TempHome home;
    const std::string store = home / ".DS_Store";
};

TEST_F(DSStoreCommandsTest, WriteThenDumpRoundTripsInTreeOrder) {
    const auto written =
        runCli(home, {"dsstore", "write", store},
               R"({"filename": ".", "code": "vstl", "type": "type", "value": "icnv"})"
               "\n"
               R"({"filename": "b", "code": "Iloc", "type": "blob", "value": "AAAAUAAAABc="})"
               "\n\n"
               R"({"filename": "a", "code": "moDD", "type": "dutc", "value": 18446744073709551615})"
               "\n"
               R"({"filename": "a", "code": "dscl", "type": "bool", "value": true})"
               "\n"
               R"({"filename": "a", "code": "fwvh", "type": "shor", "value": 4294967295})"
               "\r\n"
               R"({"filename": "a", "code": "cmmt", "type": "ustr", "value": "café"})");
    ASSERT_EQ(written.status, 0) << written.err;
    const auto dumped = runCli(home, {"dsstore", "dump", store});
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    EXPECT_EQ(dumped.err, "");
    EXPECT_EQ(dumped.out,
              R"({"filename":".","code":"vstl","type":"type","value":"icnv"}
{"filename":"a","code":"cmmt","type":"ustr","value":"café"}
{"filename":"a","code":"dscl","type":"bool","value":true}
{"filename":"a","code":"fwvh","type":"shor","value":4294967295}
{"filename":"a","code":"moDD","type":"dutc","value":18446744073709551615}
{"filename":"b","code":"Iloc","type":"blob","value":"AAAAUAAAABc="}
)");
}

TEST_F(DSStoreCommandsTest, DecodeShowsPropertyListBlobsAsJson) {
    platform::PlistDictionary options;
    options["iconSize"] = platform::PlistValue::real(64.0);
    options["arrangeBy"] = platform::PlistValue::string("name");
    const Bytes plist = platform::toBinaryPropertyList(platform::PlistValue::dictionary(options));
    DSStoreWriter().write({{".", "icvp", kTypeBlob, DSStoreValue::data(plist)},
                           {"a", "Iloc", kTypeBlob, DSStoreValue::data(Bytes(16, std::byte{1}))}},
                          store);
    const auto dumped = runCli(home, {"dsstore", "dump", "--decode", store});
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    const auto newline = dumped.out.find('\n');
    const auto icvp = nlohmann::json::parse(dumped.out.substr(0, newline));
    EXPECT_EQ(icvp["plist"], nlohmann::json::parse(R"({"arrangeBy": "name", "iconSize": 64.0})"));
    EXPECT_EQ(icvp["value"], base64Encode(plist));  // the bytes stay, so it can be written back
    EXPECT_FALSE(nlohmann::json::parse(dumped.out.substr(newline + 1)).contains("plist"));
}

TEST_F(DSStoreCommandsTest, BadInputNamesTheLineAndTouchesNothing) {
    home.writeFile(".DS_Store", "keep me");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("type": "blob", "value": "@@")", "base64"},
        {R"("type": "long", "value": -1)", "whole number"},
        {R"("type": "long", "value": 4294967296)", "whole number"},
        {R"("type": "long", "value": 1.5)", "whole number"},
        {R"("type": "blub", "value": 1)", "unknown type"},
        {R"("type": "bool")", "missing key \"value\""},
        {R"("type": "bool", "value": true, "x": 1)", "unknown key"},
        {R"({"filename": 3, "code": "Iloc", "type": "bool", "value": true})", "must be a string"},
        {"{not json", "not valid JSON"},
        {"[1, 2]", "expected a JSON object"},
        // Input quoted in a message must not reach the terminal as control bytes.
        {R"("type": "bool", "value": true, "\u001b[2J": 1)", "unknown key \"\\u001b[2J\""},
        {R"("type": "\u0007\u009b", "value": 1)", "unknown type \"\\u0007\\u009b\""},
        {"{\"filename\": \"\x9B\x07", "not valid JSON"},
    };
    for (const auto& [fields, reason] : cases) {
        SCOPED_TRACE(fields);
        const std::string line = fields.starts_with("\"")
                                     ? R"({"filename": "a", "code": "Iloc", )" + fields + "}"
                                     : fields;
        const auto result =
            runCli(home, {"dsstore", "write", store},
                   R"({"filename": "a", "code": "Iloc", "type": "long", "value": 1})"
                   "\n" +
                       line + "\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.err.starts_with("lumifold: line 2: ")) << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
        EXPECT_TRUE(std::all_of(result.err.begin(), result.err.end() - 1,
                                [](unsigned char c) { return c >= 0x20 && c < 0x7F; }));
        EXPECT_TRUE(result.err.ends_with('\n'));
        EXPECT_EQ(asText(platform::readFile(store)), "keep me");
    }
}

TEST_F(DSStoreCommandsTest, DumpPrintsWhatItReadAndSaysWhatItSkipped) {
    Bytes image = DSStoreWriter().encode({{"a", "cmmt", kTypeUstr, DSStoreValue::string("x")},
                                          {"b", "dscl", kTypeBool, DSStoreValue::boolean(true)},
                                          {"c", "dscl", kTypeBool, DSStoreValue::boolean(true)}});
    const std::size_t a = 0x4C, c = a + 20 + 15;  // records in the one leaf
    image[a + 18] = std::byte{0xD8};              // a's text: a lone surrogate
    image[c + 10] = std::byte{'x'};               // c's type: unknown
    home.writeFile(".DS_Store", image);
    const auto result = runCli(home, {"dsstore", "dump", store});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, R"({"filename":"a","code":"cmmt","type":"ustr","value":""}
{"filename":"b","code":"dscl","type":"bool","value":true}
)");
    EXPECT_EQ(result.err,
              "lumifold: 1 record could not be decoded and 1 record was read with altered text; "
              "writing these lines back would lose them\n");
}

TEST_F(DSStoreCommandsTest, UnreadableStoreFailsWithTheReadersMessage) {
    home.writeFile(".DS_Store", std::string(40, 'x'));
    const auto result = runCli(home, {"dsstore", "dump", store});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumifold: Invalid magic header\n");
    EXPECT_EQ(result.out, "");
}

TEST_F(DSStoreCommandsTest, WrongUsageExitsWithTwo) {
    EXPECT_EQ(runCli(home, {"dsstore"}).status, 2);
    EXPECT_EQ(runCli(home, {"dsstore", "dump"}).status, 2);
}

}  // namespace
}  // namespace lumifold
