#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/common/Base64.h"
#include "core/dsstore/DSStoreReader.h"
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
};

constexpr const char* kLines =
    "{\"filename\": \".\", \"code\": \"vstl\", \"type\": \"type\", \"value\": \"icnv\"}\n"
    "{\"filename\": \"b\", \"code\": \"Iloc\", \"type\": \"blob\", \"value\": \"AAAAUAAAABc=\"}\n"
    "\n"
    "{\"filename\": \"a\", \"code\": \"dscl\", \"type\": \"bool\", \"value\": true}\n"
    "{\"filename\": \"a\", \"code\": \"moDD\", \"type\": \"dutc\", \"value\": "
    "18446744073709551615}\n"
    "{\"filename\": \"a\", \"code\": \"cmmt\", \"type\": \"ustr\", \"value\": \"caf\u00e9\"}\n"
    "{\"filename\": \"a\", \"code\": \"fwvh\", \"type\": \"shor\", \"value\": 4294967295}\n";

TEST_F(DSStoreCommandsTest, WriteThenDumpRoundTripsInTreeOrder) {
    const std::string store = home / ".DS_Store";
    const auto written = runCli(home, {"dsstore", "write", store}, kLines);
    ASSERT_EQ(written.status, 0) << written.err;
    const auto dumped = runCli(home, {"dsstore", "dump", store});
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    EXPECT_EQ(
        dumped.out,
        "{\"filename\":\".\",\"code\":\"vstl\",\"type\":\"type\",\"value\":\"icnv\"}\n"
        "{\"filename\":\"a\",\"code\":\"cmmt\",\"type\":\"ustr\",\"value\":\"caf\u00e9\"}\n"
        "{\"filename\":\"a\",\"code\":\"dscl\",\"type\":\"bool\",\"value\":true}\n"
        "{\"filename\":\"a\",\"code\":\"fwvh\",\"type\":\"shor\",\"value\":4294967295}\n"
        "{\"filename\":\"a\",\"code\":\"moDD\",\"type\":\"dutc\",\"value\":18446744073709551615}\n"
        "{\"filename\":\"b\",\"code\":\"Iloc\",\"type\":\"blob\",\"value\":\"AAAAUAAAABc=\"}\n");
}

TEST_F(DSStoreCommandsTest, DumpMatchesTheCorpusDecoding) {
    const std::filesystem::path corpus =
        std::filesystem::path(LUMIFOLD_SHARED_CORPUS_DIR) / "dsstore";
    if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "The store corpus is absent.";
    const auto dumped =
        runCli(home, {"dsstore", "dump", (corpus / "real/caius__iTerm__1.DS_Store").string()});
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    std::istringstream ours(dumped.out);
    std::ifstream expected(corpus / "expected/caius__iTerm__1.jsonl");
    std::string a, b;
    int lines = 0;
    while (std::getline(expected, b)) {
        ASSERT_TRUE(std::getline(ours, a));
        EXPECT_EQ(nlohmann::json::parse(a), nlohmann::json::parse(b));
        ++lines;
    }
    EXPECT_FALSE(std::getline(ours, a));
    EXPECT_GT(lines, 0);
}

TEST_F(DSStoreCommandsTest, DecodeShowsPropertyListBlobsAsJson) {
    platform::PlistDictionary options;
    options["iconSize"] = platform::PlistValue::real(64.0);
    options["arrangeBy"] = platform::PlistValue::string("name");
    options["viewOptionsVersion"] = platform::PlistValue::integer(1);
    const Bytes plist = platform::toBinaryPropertyList(platform::PlistValue::dictionary(options));
    const std::string store = home / ".DS_Store";
    DSStoreWriter().write({{".", "icvp", kTypeBlob, DSStoreValue::data(plist)},
                           {"a", "Iloc", kTypeBlob, DSStoreValue::data(Bytes(16, std::byte{1}))}},
                          store);
    const auto dumped = runCli(home, {"dsstore", "dump", "--decode", store});
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    std::istringstream lines(dumped.out);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    const auto icvp = nlohmann::json::parse(first);
    EXPECT_EQ(icvp["plist"],
              nlohmann::json::parse(
                  R"({"arrangeBy": "name", "iconSize": 64.0, "viewOptionsVersion": 1})"));
    EXPECT_EQ(icvp["value"],
              base64Encode(plist));  // the bytes stay, so the line can be written back
    EXPECT_FALSE(nlohmann::json::parse(second).contains("plist"));
}

TEST_F(DSStoreCommandsTest, BadInputNamesTheLineAndTouchesNothing) {
    const std::string store = home.writeFile(".DS_Store", "keep me");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"blob\", \"value\": \"@@\"}",
         "base64"},
        {"{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"long\", \"value\": -1}",
         "whole number"},
        {"{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"long\", \"value\": 4294967296}",
         "whole number"},
        {"{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"long\", \"value\": 1.5}",
         "whole number"},
        {"{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"blub\", \"value\": 1}",
         "unknown type"},
        {"{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"bool\"}", "missing key \"value\""},
        {"{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"bool\", \"value\": true, \"x\": 1}",
         "unknown key"},
        {"{\"filename\": 3, \"code\": \"Iloc\", \"type\": \"bool\", \"value\": true}",
         "must be a string"},
        {"{not json", "not valid JSON"},
        {"[1, 2]", "expected a JSON object"},
    };
    for (const auto& [line, reason] : cases) {
        SCOPED_TRACE(line);
        const auto result =
            runCli(home, {"dsstore", "write", store},
                   "{\"filename\": \"a\", \"code\": \"Iloc\", \"type\": \"long\", \"value\": 1}\n" +
                       line + "\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("line 2: "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
        EXPECT_EQ(asText(platform::readFile(store)), "keep me");
    }
}

TEST_F(DSStoreCommandsTest, WriterErrorsFailWithoutWriting) {
    const std::string store = home / ".DS_Store";
    const auto result =
        runCli(home, {"dsstore", "write", store},
               "{\"filename\": \"a\", \"code\": \"Ilo\", \"type\": \"long\", \"value\": 1}\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumifold: Invalid code\n");
    EXPECT_FALSE(platform::fileExists(store));
}

TEST_F(DSStoreCommandsTest, MalformedStoreFailsWithTheReadersMessage) {
    const std::string store = home.writeFile("bad", std::string(40, 'x'));
    const auto result = runCli(home, {"dsstore", "dump", store});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumifold: Invalid magic header\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(runCli(home, {"dsstore", "dump", home / "missing"}).status, 1);
}

TEST_F(DSStoreCommandsTest, WrongUsageExitsWithTwo) {
    EXPECT_EQ(runCli(home, {}).status, 2);
    EXPECT_EQ(runCli(home, {"dsstore"}).status, 2);
    EXPECT_EQ(runCli(home, {"dsstore", "dump"}).status, 2);
    EXPECT_EQ(runCli(home, {"no-such-command"}).status, 2);
    EXPECT_EQ(runCli(home, {"--help"}).status, 0);
}

}  // namespace
}  // namespace lumifold
