#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "core/inspection/DeviceInode.h"
#include "core/inspection/FolderScanner.h"
#include "core/platform/FileSystem.h"
#include "tests/inspection/InspectionTestSupport.h"

namespace lumifold {
namespace {

using platform::PlistValue;

const FinderLayoutPreferences kPreferred = FinderLayoutPreferences::preferred(54.0);
constexpr const char* kVisibleReasonSuffix = " file(s) have visible extensions (expected hidden)";

class FolderScannerTest : public ::testing::Test, protected testing::InspectionFixture {
  protected:
    FolderViewSetting inspectOne(const std::string& path,
                                 const FinderLayoutPreferences& target = kPreferred) const {
        const auto results = scanner.inspectFolders({path}, target);
        if (results.size() != 1) throw std::runtime_error("expected one result");
        return results.front();
    }

    FolderScanner scanner{home.path(), platform::temporaryDirectory()};
};

TEST(FolderScannerPathsTest, DefaultFoldersAreTheSixHomeFoldersInOrder) {
    const FolderScanner scanner("/Users/a", "/var/folders/zz/T");
    EXPECT_EQ(
        scanner.defaultFolders(),
        (std::vector<std::string>{"/Users/a/Desktop", "/Users/a/Documents", "/Users/a/Downloads",
                                  "/Users/a/Pictures", "/Users/a/Movies", "/Users/a/Music"}));
}

TEST(FolderScannerPathsTest, ExclusionTable) {
    const FolderScanner scanner("/Users/a", "/var/folders/zz/T");
    for (const char* path :
         {"/Library", "/Library/Fonts", "/usr/local/x", "/private/var/db", "/System",
          "/Users/a/Library", "/Users/a/Library/Mail", "/Users/a/.Trash", "/Users/a/.Trash/x",
          "/Users/a/code/node_modules/pkg", "/Users/a/Applications/Tool.app",
          "/Users/a/Tool.app/Contents", "/Users/a/Pictures/Photos Library.photoslibrary",
          "/Users/a/Downloads/big.zip.download", "/Users/a/p/.git", "/Users/a/p/target/debug",
          "/Users/a/p/.venv"}) {
        EXPECT_TRUE(scanner.isExcludedPath(path)) << path;
    }
    for (const char* path :
         {"/Libraryx", "/Users/a/Documents", "/tmp/node_modules", "/private/var/folders/x/y",
          "/var/folders/zz/T/Tool.app", "/Users/a/p/Target", "/", "/Users/a/Libraryx",
          "/Users/a/Documents/app", "/Users/a/Documents/x.apple", "/Users/a/.Trashcan"}) {
        EXPECT_FALSE(scanner.isExcludedPath(path)) << path;
    }
}

TEST(FolderScannerPathsTest, TheTemporaryDirectoryRuleComesFirst) {
    const FolderScanner scanner("/Users/a", "/Users/a/Library/Caches/T");
    EXPECT_FALSE(scanner.isExcludedPath("/Users/a/Library/Caches/T/build/node_modules"));
    EXPECT_TRUE(scanner.isExcludedPath("/Users/a/Library/Caches/Other"));
}

TEST(FolderScannerPathsTest, ARootTemporaryDirectoryDoesNotSwitchExclusionsOff) {
    for (const char* temporary : {"/", ""}) {
        const FolderScanner scanner("/Users/a", temporary);
        EXPECT_TRUE(scanner.isExcludedPath("/Library/Fonts")) << temporary;
        EXPECT_TRUE(scanner.isExcludedPath("/Users/a/p/node_modules")) << temporary;
    }
}

TEST(FolderScannerPathsTest, CloudDocumentsByPathOnly) {
    const FolderScanner scanner("/Users/a", "/var/folders/zz/T");
    EXPECT_TRUE(
        scanner.isCloudPlaceholder("/Users/a/Library/Mobile Documents/com~apple~CloudDocs/Notes"));
    EXPECT_FALSE(scanner.isCloudPlaceholder("/nonexistent/folder"));
}

TEST(FolderScannerPathsTest, DisplayablePathReplacesBadBytesOnly) {
    EXPECT_EQ(FolderScanner::displayablePath("/a/Caf\xC3\xA9/b\xFF"
                                             "c"),
              "/a/Caf\xC3\xA9/b\xEF\xBF\xBD"
              "c");
    EXPECT_EQ(FolderScanner::displayablePath("\xED\xA0\x80"),  // an encoded surrogate
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(FolderScanner::displayablePath("\xF0\x9F\x98"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(FolderScannerTest, AFolderMetTwiceIsReportedOnce) {
    const std::string real = folder("Documents");
    const std::string viaLink = link("Docs", real);
    const auto results = scanner.inspectFolders({viaLink, real, real + "/", viaLink}, kPreferred);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].path, viaLink);
    EXPECT_EQ(results[0].canonicalPath, real);
    EXPECT_TRUE(results[0].isSymlink);
    EXPECT_FALSE(scanner.inspectFolders({real}, kPreferred)[0].isSymlink);
}

TEST(DeviceInodeTest, DevicesThatDifferOnlyInTheirHighBitsStayApart) {
    const auto low = DeviceInode::from({.device = 0x0000000000000803, .inode = 12});
    const auto high = DeviceInode::from({.device = 0x0000000100000803, .inode = 12});
    EXPECT_EQ(low.dev, 0x803);
    EXPECT_NE(low, high);
    EXPECT_NE(low, DeviceInode::from({.device = 0x803, .inode = 13}));
    EXPECT_EQ(std::hash<DeviceInode>{}(low),
              std::hash<DeviceInode>{}(DeviceInode::from({.device = 0x803, .inode = 12})));
}

TEST_F(FolderScannerTest, TheFolderOwnStoreWinsFieldByField) {
    const std::string documents = folder("Documents");
    writeStore("Documents", {iconView(".", {{"iconSize", PlistValue::integer(64)}})});
    writeStore("", {iconView("Documents", {{"iconSize", PlistValue::real(32)},
                                           {"arrangeBy", PlistValue::string("name")},
                                           {"showItemInfo", PlistValue::boolean(true)}}),
                    viewStyle("Documents", "clmv")});
    const FolderViewSetting setting = inspectOne(documents);
    EXPECT_TRUE(setting.hasDSStore);
    EXPECT_EQ(setting.currentIconSize, 64.0);
    EXPECT_EQ(setting.currentSortBy, "name");
    EXPECT_EQ(setting.currentShowItemInfo, true);
    EXPECT_EQ(setting.currentViewStyle, "clmv");
    EXPECT_EQ(setting.currentTextSize, std::nullopt);
    EXPECT_EQ(setting.currentShowIconPreview, std::nullopt);
    EXPECT_TRUE(setting.conflicting);
    EXPECT_EQ(setting.conflictReasons,
              (std::vector<std::string>{"Folder view style override is 'clmv' (expected 'icnv')",
                                        "Folder sort by override is 'name' (expected 'kind')",
                                        "Folder icon size override is 64.0 (expected 44.0)",
                                        "Folder item info override is true (expected false)"}));
}

TEST_F(FolderScannerTest, SizesWithinAHundredthAreNotConflicts) {
    const std::string pictures = folder("Pictures");
    writeStore("Pictures", {iconView(".", {{"iconSize", PlistValue::real(44.005)},
                                           {"textSize", PlistValue::real(12.5)}})});
    EXPECT_EQ(inspectOne(pictures).conflictReasons,
              std::vector<std::string>{"Folder text size override is 12.5 (expected 12.0)"});

    writeStore("Pictures", {iconView(".", {{"iconSize", PlistValue::real(44.02)},
                                           {"showIconPreview", PlistValue::boolean(false)}})});
    EXPECT_EQ(inspectOne(pictures).conflictReasons,
              (std::vector<std::string>{"Folder icon size override is 44.02 (expected 44.0)",
                                        "Folder icon preview override is false (expected true)"}));
}

TEST_F(FolderScannerTest, AParentRecordAloneGivesTheViewStyle) {
    const std::string movies = folder("Movies");
    writeStore("", {viewStyle("Movies", "Nlsv"), blob("Movies", "lsvp")});
    const FolderViewSetting setting = inspectOne(movies);
    EXPECT_TRUE(setting.hasDSStore);
    EXPECT_EQ(setting.currentViewStyle, "Nlsv");
    EXPECT_EQ(setting.conflictReasons,
              std::vector<std::string>{"Folder view style override is 'Nlsv' (expected 'icnv')"});
}

TEST_F(FolderScannerTest, OnlyDotRecordsOfTheOwnStoreCount) {
    const std::string music = folder("Music");
    writeStore("Music", {viewStyle("Music", "Nlsv"),
                         viewStyle("song.mp3", "clmv"),
                         {".", "vstl", kTypeUstr, DSStoreValue::string("Nlsv")},
                         {".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(8, std::byte{1}))}});
    const FolderViewSetting setting = inspectOne(music);
    EXPECT_TRUE(setting.hasDSStore);
    EXPECT_EQ(setting.currentViewStyle, std::nullopt);
    EXPECT_EQ(setting.currentIconSize, std::nullopt);
    EXPECT_FALSE(setting.conflicting);
}

TEST_F(FolderScannerTest, AnUnreadableStoreStillCountsAsPresent) {
    const std::string desktop = folder("Desktop");
    home.writeFile("Desktop/.DS_Store", std::string("not a store"));
    const FolderViewSetting setting = inspectOne(desktop);
    EXPECT_TRUE(setting.hasDSStore);
    EXPECT_EQ(setting.currentViewStyle, std::nullopt);
    EXPECT_FALSE(setting.conflicting);
}

TEST_F(FolderScannerTest, AMissingFolderIsReportedWithWhatItsParentSays) {
    writeStore("", {viewStyle("Gone", "Flwv")});
    const FolderViewSetting setting = inspectOne(home / "Gone");
    EXPECT_EQ(setting.canonicalPath, home / "Gone");
    EXPECT_EQ(setting.currentViewStyle, "Flwv");
    EXPECT_EQ(setting.unhiddenExtensionFilesCount, 0);
}

TEST_F(FolderScannerTest, OnlyPlainFilesWithVisibleExtensionsCount) {
    const std::string mixed = folder("Mixed");
    file("Mixed/notes.txt");
    const std::string document = file("Mixed/report.pdf");
    file("Mixed/README");
    file("Mixed/.hidden.txt");
    folder("Mixed/Tool.app/Contents");
    folder("Mixed/sub.folder");
    file("Mixed/sub.folder/inner.txt");
    if (!hideExtension(document)) GTEST_SKIP() << "no extended attributes here";

    const FolderViewSetting setting = inspectOne(mixed);
    EXPECT_EQ(setting.unhiddenExtensionFilesCount, 1);
    EXPECT_EQ(setting.conflictReasons,
              std::vector<std::string>{std::string("1") + kVisibleReasonSuffix});
    EXPECT_EQ(scanner.filesWithVisibleExtensions({mixed}),
              std::vector<std::string>{mixed + "/notes.txt"});

    FinderLayoutPreferences showing = kPreferred;
    showing.hideFileExtensions = false;
    const FolderViewSetting shown = inspectOne(mixed, showing);
    EXPECT_EQ(shown.unhiddenExtensionFilesCount, 1);
    EXPECT_FALSE(shown.conflicting);
}

TEST_F(FolderScannerTest, VisibleExtensionsAreListedUnderTheResolvedFolderSortedByPath) {
    const std::string b = folder("B");
    const std::string a = folder("A");
    file("B/z.txt");
    file("B/a.md");
    file("A/m.jpg");
    const std::string viaLink = link("LinkToB", b);
    EXPECT_EQ(scanner.filesWithVisibleExtensions({viaLink, a, b}),
              (std::vector<std::string>{a + "/m.jpg", b + "/a.md", b + "/a.md", b + "/z.txt",
                                        b + "/z.txt"}));
    EXPECT_TRUE(scanner.filesWithVisibleExtensions({home / "Missing"}).empty());
}

TEST_F(FolderScannerTest, ExcludedFoldersAreNeitherInspectedNorListed) {
    if (!platform::isDirectory("/usr/include")) GTEST_SKIP() << "no /usr/include";
    EXPECT_TRUE(scanner.inspectFolders({"/usr/include"}, kPreferred).empty());
    EXPECT_TRUE(scanner.filesWithVisibleExtensions({"/usr/include"}).empty());
    // Excluded by its resolved path, whatever the link is called.
    const std::string viaLink = link("include", "/usr/include");
    EXPECT_TRUE(scanner.inspectFolders({viaLink}, kPreferred).empty());
}

TEST_F(FolderScannerTest, AnEmptyFolderListGivesNothing) {
    EXPECT_TRUE(scanner.inspectFolders({}, kPreferred).empty());
    EXPECT_TRUE(scanner.filesWithVisibleExtensions({}).empty());
}

TEST_F(FolderScannerTest, FileNamesThatAreNotUtf8AreLeftOutAndReported) {
    const std::string downloads = folder("Downloads");
    file("Downloads/good.txt");
    file("Downloads/bad\xFF.txt");
    file("Downloads/also\xC3(.pdf");
    const std::string other = folder("Other");
    file("Other/x\xFE.txt");

    UndecodableNames undecodable;
    EXPECT_EQ(scanner.filesWithVisibleExtensions({downloads, other}, &undecodable),
              std::vector<std::string>{downloads + "/good.txt"});
    EXPECT_EQ(undecodable.count, 3u);
    EXPECT_EQ(undecodable.folders, (std::vector<std::string>{downloads, other}));

    UndecodableNames fromInspection;
    const auto results = scanner.inspectFolders({downloads}, kPreferred, &fromInspection);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].unhiddenExtensionFilesCount, 1);
    EXPECT_NO_THROW((void)nlohmann::json(results).dump());
    EXPECT_EQ(fromInspection.count, 2u);
    // The out-parameter is optional.
    EXPECT_EQ(scanner.filesWithVisibleExtensions({other}), std::vector<std::string>{});
}

TEST(FolderViewSettingTest, JsonLeavesAbsentOptionalsOutAndReadsBack) {
    FolderViewSetting setting{.path = "/h/Docs",
                              .canonicalPath = "/h/Documents",
                              .isSymlink = true,
                              .hasDSStore = true,
                              .currentViewStyle = "Nlsv",
                              .currentIconSize = 64.0,
                              .currentShowItemInfo = false,
                              .unhiddenExtensionFilesCount = 2,
                              .conflicting = true,
                              .conflictReasons = {"a", "b"}};
    const nlohmann::json json = setting;
    EXPECT_EQ(json.size(), 11u);
    EXPECT_FALSE(json.contains("currentSortBy"));
    EXPECT_EQ(json.at("currentIconSize"), 64.0);
    EXPECT_EQ(json.get<FolderViewSetting>(), setting);
}

TEST(FolderViewSettingTest, JsonReadingIsStrict) {
    const nlohmann::json valid = FolderViewSetting{.path = "/p", .canonicalPath = "/p"};
    EXPECT_EQ(valid.get<FolderViewSetting>().path, "/p");

    nlohmann::json missing = valid;
    missing.erase("hasDSStore");
    EXPECT_THROW((void)missing.get<FolderViewSetting>(), nlohmann::json::out_of_range);

    nlohmann::json nullOptional = valid;
    nullOptional["currentSortBy"] = nullptr;
    EXPECT_THROW((void)nullOptional.get<FolderViewSetting>(), nlohmann::json::type_error);

    nlohmann::json fractionalCount = valid;
    fractionalCount["unhiddenExtensionFilesCount"] = 1.5;
    EXPECT_THROW((void)fractionalCount.get<FolderViewSetting>(), nlohmann::json::type_error);

    nlohmann::json badReason = valid;
    badReason["conflictReasons"] = nlohmann::json::array({"ok", 3});
    EXPECT_THROW((void)badReason.get<FolderViewSetting>(), nlohmann::json::type_error);
}

}  // namespace
}  // namespace lumifold
