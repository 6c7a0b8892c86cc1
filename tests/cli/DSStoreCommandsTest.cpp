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

// Lines in any order, a blank line, a CRLF ending and no final newline; dumped in tree order.
TEST_F(DSStoreCommandsTest, WriteThenDumpRoundTripsInTreeOrder) {
    const std::string b = R"({"filename":"b","code":"Iloc","type":"blob","value":"AAAAUAAAABc="})";
    const std::string a = R"({"filename":"a","code":"cmmt","type":"ustr","value":"café"})";
    const auto written = runCli(home, {"dsstore", "write", store}, b + "\n\n" + a + "\r\n" + b);
    ASSERT_EQ(written.status, 0) << written.err;
    const auto dumped = runCli(home, {"dsstore", "dump", store});
    EXPECT_EQ(dumped.status, 0);
    EXPECT_EQ(dumped.err, "");
    EXPECT_EQ(dumped.out, a + "\n" + b + "\n" + b + "\n");
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
    const std::string good = R"({"filename": "a", "code": "Iloc", "type": "long", "value": 1})";
    for (const auto& [line, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"({"filename": "a", "code": "Iloc", "type": "blub", "value": 1})", "unknown type"},
             {"{\"filename\": \"\x9B\x07", "not valid JSON"}}) {
        SCOPED_TRACE(reason);
        const auto result = runCli(home, {"dsstore", "write", store}, good + "\n" + line + "\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.err.starts_with("lumifold: line 2: " + reason)) << result.err;
        // A library's message quotes the input: no control byte may reach the terminal.
        EXPECT_TRUE(std::all_of(result.err.begin(), result.err.end() - 1,
                                [](unsigned char c) { return c >= 0x20 && c < 0x7F; }));
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

TEST_F(DSStoreCommandsTest, WrongUsageExitsWithTwo) {
    EXPECT_EQ(runCli(home, {"dsstore"}).status, 2);
    EXPECT_EQ(runCli(home, {"dsstore", "dump"}).status, 2);
}

}  // namespace
}  // namespace lumifold
