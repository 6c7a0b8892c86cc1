#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/backup/BackupManifest.h"
#include "core/backup/ManifestInput.h"
#include "core/common/Iso8601.h"
#include "tests/support/TestSeed.h"

namespace lumifold::testing {
namespace {

using nlohmann::json;

// The tree encoder the streaming one must equal: every record as a JSON tree (nlohmann keeps
// object keys sorted), dumped with an indent of 2, every "/" escaped. The key names are pinned
// here and by the reading tests below, which remove them one by one.
json treeOf(const BackupManifest& manifest) {
    json tree{{"id", manifest.id},
              {"createdAt", formatIso8601(manifest.createdAt)},
              {"finderPlistOriginalPath", manifest.finderPlistOriginalPath},
              {"finderPlistBackupPath", manifest.finderPlistBackupPath},
              {"finderPlistOriginalSHA256", manifest.finderPlistOriginalSHA256},
              {"dsStoreBackups", manifest.dsStoreBackups},
              {"appliedChanges", manifest.appliedChanges},
              {"fileExtensionBackups", manifest.fileExtensionBackups}};
    if (manifest.finderPlistPostSHA256)
        tree["finderPlistPostSHA256"] = *manifest.finderPlistPostSHA256;
    if (manifest.pushedPreferences) tree["pushedPreferences"] = *manifest.pushedPreferences;
    if (manifest.finderPlistNotWritten) tree["finderPlistNotWritten"] = true;
    if (manifest.finderPlistPlannedSHA256) {
        tree["finderPlistPlannedSHA256"] = *manifest.finderPlistPlannedSHA256;
    }
    if (manifest.finderPlistWasLink) tree["finderPlistWasLink"] = true;
    if (manifest.writtenFolders) tree["writtenFolders"] = *manifest.writtenFolders;
    if (manifest.applyFailed) tree["applyFailed"] = *manifest.applyFailed;
    if (manifest.layout) tree["layout"] = *manifest.layout;
    return tree;
}

std::string treeText(const BackupManifest& manifest) {
    std::string text;
    for (const char c : treeOf(manifest).dump(2)) {
        if (c == '/') text += '\\';
        text += c;
    }
    return text + "\n";
}

BackupManifest sampleManifest() {
    BackupManifest manifest;
    manifest.id = "2025-01-31T14-05-09Z";
    manifest.createdAt = *parseIso8601("2025-01-31T14:05:10Z");
    manifest.finderPlistOriginalPath = "/Users/a/Library/Preferences/com.apple.finder.plist";
    manifest.finderPlistBackupPath = "/b/2025-01-31T14-05-09Z/com.apple.finder.plist";
    manifest.finderPlistOriginalSHA256 = "aa";
    manifest.dsStoreBackups = {{"/Users/a/Desktop/.DS_Store", "files/0123456789ab_.DS_Store", "bb",
                                std::nullopt, 420, false, std::nullopt}};
    manifest.appliedChanges = {
        {"com.apple.finder", "FXPreferredViewStyle", "Nlsv", "icnv", "Global Preference"}};
    manifest.fileExtensionBackups = {{"/Users/a/Desktop/a.pdf", true},
                                     {"/srv/share/b.txt", false, platform::MetadataStore::samba}};
    return manifest;
}

// The streaming writer against the tree on manifests with every optional record present or not,
// and texts where escaping "/" meets every other escape.
TEST(BackupManifestTest, StreamedTextEqualsTheTreesByteForByte) {
    const auto seed = testSeed();
    SCOPED_TRACE(seedTrace(seed));
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    const auto maybe = [&](std::string text) {
        return random() % 2 ? std::optional<std::string>(std::move(text)) : std::nullopt;
    };
    const std::string escapes("/\\/\"\n/\t\0/\x7F\\", 11);
    for (int round = 0; round < 200; ++round) {
        BackupManifest manifest = sampleManifest();
        manifest.finderPlistOriginalPath =
            escapes.substr(random() % 11) + "\xC3\xA9/\xF0\x9F\x98\x80";
        manifest.appliedChanges[0].newValue = manifest.finderPlistOriginalPath + "//";
        manifest.finderPlistPostSHA256 = maybe("post/" + std::to_string(round));
        manifest.finderPlistNotWritten = random() % 2;
        manifest.finderPlistPlannedSHA256 = maybe("planned");
        manifest.finderPlistWasLink = random() % 2;
        manifest.dsStoreBackups.clear();
        for (auto i = random() % 3; i > 0; --i) {
            manifest.dsStoreBackups.push_back({"/a/" + std::to_string(i) + "/.DS_Store",
                                               "files/x_.DS_Store", "sum", maybe("after"),
                                               static_cast<std::uint16_t>(random() % 0777),
                                               random() % 2 == 0, maybe("planned")});
        }
        manifest.writtenFolders.reset();
        if (random() % 2) {
            manifest.writtenFolders.emplace();
            for (auto i = random() % 3; i > 0; --i) {
                manifest.writtenFolders->push_back(
                    {"/a/" + std::to_string(i), random(), std::uint64_t{random()} << 32});
            }
        }
        manifest.applyFailed.reset();
        if (random() % 2) manifest.applyFailed = FailedApply{"Could not \"/x\"", random() % 2 == 0};
        manifest.layout.reset();
        if (random() % 2) {
            manifest.layout = AppliedLayout{"/h/.config/l.toml", "sum", {{"view", "icon"}}};
            if (random() % 2) manifest.layout->target["icon-size"] = "64";
        }
        manifest.appliedChanges.resize(random() % 3, {"t/", "k", "o\"", "n\n", "c"});
        manifest.fileExtensionBackups.resize(random() % 3, {"/f/é.txt", random() % 2 == 0});
        if (random() % 2) {
            manifest.pushedPreferences.emplace();
            for (auto i = random() % 3; i > 0; --i) {
                manifest.pushedPreferences->push_back(
                    {"com.apple.finder", random() % 2 == 0, "AppleShowAllExtensions",
                     maybe("<true/>"), maybe("YnBsaXN0/w=="), maybe("<false/>"),
                     maybe("files/y_z.plist"), random() % 2 ? "sum" : "", maybe("post"),
                     random() % 2 == 0});
            }
        }
        const std::string text = encodeManifestFile(manifest);
        ASSERT_EQ(text, treeText(manifest)) << "round " << round;
        ASSERT_EQ(decodeManifestFile(text), manifest) << text;
    }
}

TEST(BackupManifestTest, TextThatIsNotUtf8CannotBeEncoded) {
    BackupManifest manifest = sampleManifest();
    manifest.finderPlistOriginalPath = "/Users/a/\xFF";
    EXPECT_THROW(encodeManifestFile(manifest), std::invalid_argument);
}

// Strict reading, one change to a valid manifest at a time.
class ManifestReadingTest : public ::testing::Test {
  protected:
    json valid = treeOf(sampleManifest());

    BackupManifest read(const json& document) const { return decodeManifestFile(document.dump()); }
};

TEST_F(ManifestReadingTest, OptionalKeysMayBeAbsentOrNullAndUnknownKeysAreIgnored) {
    json changed = valid;
    changed.erase("fileExtensionBackups");
    changed["finderPlistPostSHA256"] = nullptr;
    changed["dsStoreBackups"][0]["postModificationSHA256"] = nullptr;
    changed["comment"] = "ignored";
    BackupManifest expected = sampleManifest();
    expected.fileExtensionBackups.clear();
    EXPECT_EQ(read(changed), expected);
}

TEST_F(ManifestReadingTest, MissingNullOrMistypedValuesMakeTheManifestUnreadable) {
    const auto rejects = [&](const std::string& where, const json& value) {
        json changed = valid;
        changed[json::json_pointer(where)] = value;
        EXPECT_THROW(read(changed), json::exception) << where << " = " << value;
    };
    for (const char* key : {"id", "createdAt", "finderPlistOriginalPath", "finderPlistBackupPath",
                            "finderPlistOriginalSHA256", "dsStoreBackups", "appliedChanges"}) {
        json missing = valid;
        missing.erase(key);
        EXPECT_THROW(read(missing), json::exception) << key;
        rejects(std::string("/") + key, nullptr);
    }
    for (const char* key :
         {"originalPath", "backupRelativePath", "originalSHA256", "posixPermissions"}) {
        json missing = valid;
        missing["dsStoreBackups"][0].erase(key);
        EXPECT_THROW(read(missing), json::exception) << key;
    }
    rejects("/id", 7);
    rejects("/finderPlistPostSHA256", 1);
    rejects("/fileExtensionBackups", "none");
    rejects("/dsStoreBackups", json::object());
    for (const json& bits : {json("420"), json(420.5), json(-1), json(65536)}) {
        rejects("/dsStoreBackups/0/posixPermissions", bits);
    }
    rejects("/dsStoreBackups/0/postModificationSHA256", false);
    rejects("/fileExtensionBackups/0/originalHasHiddenExtension", 1);
    rejects("/fileExtensionBackups/1/store", "sqlite");  // a store restore could not write
    rejects("/appliedChanges/0/key", nullptr);
    rejects("/createdAt", "2025-01-31T14:05:10.000Z");  // the strict form only
    EXPECT_THROW(decodeManifestFile("{"), json::exception);
    EXPECT_THROW(decodeManifestFile("[]"), json::exception);
}

TEST_F(ManifestReadingTest, NestingDeeperThanEightLevelsIsRefused) {
    // Seven levels below the document, five below the document, a list and its item.
    for (const auto& [where, allowed] : {std::pair{"/x", 7}, std::pair{"/appliedChanges/0/x", 5}}) {
        for (const bool arrays : {true, false}) {
            json value = 1;
            json changed = valid;
            for (int i = 0; i < allowed; ++i)
                value = arrays ? json::array({value}) : json{{"y", value}};
            changed[json::json_pointer(where)] = value;
            EXPECT_EQ(read(changed), sampleManifest()) << changed;
            changed[json::json_pointer(where)] = json::array({value});
            EXPECT_THROW(read(changed), json::parse_error) << changed;
        }
    }
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File fileHolding(std::string_view text) {
    File file(std::tmpfile(), &std::fclose);
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::rewind(file.get());
    return file;
}

// What the parser is given: the characters of a ManifestInput over `text` in a file, which must
// be those of one over `text` in memory.
std::string parserText(std::string_view text) {
    const auto read = [](ManifestInput&& input) {
        std::string out;
        for (auto at = input.begin(); at != input.end(); ++at) out += *at;
        return out;
    };
    const File file = fileHolding(text);
    const std::string out = read(ManifestInput(file.get()));
    EXPECT_EQ(read(ManifestInput(text)), out);
    return out;
}

TEST(ManifestInputTest, WhiteSpaceOutsideStringsReachesTheParserAsOneSpace) {
    const std::string padding(ManifestInput::kBlockSize - 3, 'p');
    const std::string rawSpace = "\"a \t\n b\"";  // the parser refuses these; the input keeps them
    const struct {
        std::string text, parsed;
    } cases[] = {
        {"\n {\r\n\t \"a\" :\n\n  1 }\t", " { \"a\" : 1 } "},
        {"[" + rawSpace + R"(, "\"  x",   "\\"   ,"\\\"  "])",
         "[" + rawSpace + R"(, "\"  x", "\\" ,"\\\"  "])"},
        {R"(["\u0022  "  ])", R"(["\u0022  " ])"},
        {"{\f\v}", "{\f\v}"},  // not JSON's white space: the parser must still refuse it
        // An escape, a string's end and a run of white space across a file's block boundary.
        {"[\"" + padding + "\\\"  x\"  \n, 1]", "[\"" + padding + "\\\"  x\" , 1]"},
        {"[\"" + padding + "\\\\\"  \n, 1]", "[\"" + padding + "\\\\\" , 1]"},
        {"[\"" + padding.substr(1) + "\"" + std::string(5, ' ') + "]",
         "[\"" + padding.substr(1) + "\" ]"},
    };
    for (const auto& [text, parsed] : cases) EXPECT_EQ(parserText(text), parsed) << text;
}

TEST(BackupManifestTest, WhiteSpaceInStringsIsKeptAndOutsideChangesNothing) {
    BackupManifest manifest = sampleManifest();
    manifest.finderPlistOriginalPath = "/Users/a/My \"  Folder\t\t \\\"   x\\";
    const std::string text = encodeManifestFile(manifest);
    EXPECT_EQ(decodeManifestFile(text), manifest);
    // 64 MiB of white space, which the parser's token buffer once held whole.
    const File file = fileHolding("{" + std::string(64 << 20, ' ') + "\t\r\n" + text.substr(1));
    EXPECT_EQ(decodeManifestFile(file.get()), manifest);
}

// Where the file has it, though the parser saw each run of white space as one space; a level
// too deep is refused as it opens, not at the end of the text.
TEST(BackupManifestTest, RefusalsNameTheirByteOfTheFile) {
    const std::string bad = "{" + std::string(ManifestInput::kBlockSize + 100, ' ') + "x";
    const std::string cut = "{\"x\":" + std::string(ManifestInput::kBlockSize, '\n');
    const std::string deep = "{\"x\":" + std::string(100, '\n') + std::string(1'000'000, '[');
    for (const auto& [text, message] :
         {std::pair{bad, "at byte " + std::to_string(bad.size()) + ": syntax error"},
          std::pair{cut, "at byte " + std::to_string(cut.size()) + ": syntax error"},
          std::pair{deep, std::string("at byte 113: a manifest nests no deeper than 8 levels")}}) {
        const File file = fileHolding(text);
        for (const bool fromFile : {false, true}) {
            try {
                fromFile ? decodeManifestFile(file.get()) : decodeManifestFile(text);
                ADD_FAILURE() << "read " << message;
            } catch (const json::parse_error& error) {
                EXPECT_THAT(error.what(), ::testing::HasSubstr(message));
            }
        }
    }
}

}  // namespace
}  // namespace lumifold::testing
