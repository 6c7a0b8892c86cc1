#include <gtest/gtest.h>

#include "cli/CliSupport.h"
#include "core/common/Base64.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "core/plist/PropertyList.h"
#include "tests/cli/CliTestSupport.h"

// `lumifold dsstore`: writing and dumping record stores.
namespace lumifold {
namespace {

class DSStoreCommandsTest : public ::testing::Test {
  protected:
    testing::TempHome home;
    const std::string store = home / ".DS_Store";
};

// Lines in any order, a blank line, a CRLF ending, a line longer than the reading buffer and no
// final newline; dumped in tree order, --decode adding what a blob's property list holds.
TEST_F(DSStoreCommandsTest, WriteThenDumpRoundTripsInTreeOrder) {
    const Bytes plist = platform::toBinaryPropertyList(
        platform::PlistValue::dictionary({{"iconSize", platform::PlistValue::real(64)}}));
    const std::string b =
        R"({"filename":"b","code":"icvp","type":"blob","value":")" + base64Encode(plist) + "\"}";
    const std::string a = R"({"filename":"a","code":"cmmt","type":"ustr","value":"café"})";
    const std::string padding(100'000, ' ');
    ASSERT_EQ(
        runCli(home, {"dsstore", "write", store}, b + "\n\n" + padding + a + "\r\n" + b).status,
        cli::kExitSuccess);
    // Through a pipe, whose size is not known beforehand, the same store.
    const std::string piped = home / "piped";
    runShell(home,
             std::string("{ cat | '") + LUMIFOLD_CLI_PATH + "' dsstore write '" + piped + "'; }",
             b + "\n\n" + padding + a + "\r\n" + b);
    EXPECT_EQ(platform::readFile(piped), platform::readFile(store));
    const auto dumped = runCli(home, {"dsstore", "dump", store});
    EXPECT_EQ(dumped.status, cli::kExitSuccess);
    EXPECT_EQ(dumped.out, a + "\n" + b + "\n" + b + "\n");
    const std::string decoded = runCli(home, {"dsstore", "dump", "--decode", store}).out;
    EXPECT_EQ(decoded.find(b.substr(0, b.size() - 1) + R"(,"plist":{"iconSize":64.0}})"),
              a.size() + 1);
}

TEST_F(DSStoreCommandsTest, BadInputNamesTheLineAndTouchesNothing) {
    home.writeFile(".DS_Store", "keep me");
    const std::string good = R"({"filename": "a", "code": "Iloc", "type": "long", "value": 1})";
    for (const auto& [line, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"({"filename": "a", "code": "Iloc", "type": "blub", "value": 1})", "unknown type"},
             {"{\"filename\": \"\x9B\x07", "not valid JSON"},
             {std::string(3 << 20, ' '), "longer than 1 MiB"}}) {
        const auto result = runCli(home, {"dsstore", "write", store}, good + "\n" + line + "\n");
        EXPECT_EQ(result.status, cli::kExitFailure);
        EXPECT_TRUE(result.err.starts_with("lumifold: line 2: " + reason)) << result.err;
        // A library's message quotes the input: no control byte may reach the terminal.
        EXPECT_TRUE(std::all_of(result.err.begin(), result.err.end() - 1,
                                [](unsigned char c) { return c >= 0x20 && c < 0x7F; }));
        EXPECT_EQ(asText(platform::readFile(store)), "keep me");
    }
    // Input that cannot be read is not an empty input.
    const auto folder = runShell(
        home, std::string("{ '") + LUMIFOLD_CLI_PATH + "' dsstore write '" + store + "' < /; }");
    EXPECT_EQ(folder.status, cli::kExitFailure);
    EXPECT_EQ(folder.err, "lumifold: Could not read \"standard input\": Is a directory\n");
    EXPECT_EQ(asText(platform::readFile(store)), "keep me");
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
    EXPECT_EQ(result.status, cli::kExitNotCompliant);
    EXPECT_EQ(result.out, R"({"filename":"a","code":"cmmt","type":"ustr","value":""}
{"filename":"b","code":"dscl","type":"bool","value":true}
)");
    EXPECT_EQ(result.err, "lumifold: " + store +
                              ": 1 record could not be decoded and 1 record was read with altered "
                              "text; writing these lines back would lose them\n");
    home.writeFile("short", "x");
    EXPECT_EQ(
        runCli(home, {"dsstore", "dump", home / "short"}).err,
        "lumifold: \"" + home / "short" + "\" is not a readable .DS_Store store: File too small\n");
}

}  // namespace
}  // namespace lumifold
