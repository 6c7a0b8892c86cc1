#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/common/Paths.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/inspection/DeviceInode.h"
#include "core/inspection/FolderScanner.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "tests/dsstore/DSStoreTestSupport.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using platform::PlistValue;

const FinderLayoutPreferences kPreferred = FinderLayoutPreferences::preferred(54.0);

DSStoreEntry viewStyle(std::string filename, std::string code) {
    return {std::move(filename), "vstl", kTypeType, DSStoreValue::fourCC(std::move(code))};
}

DSStoreEntry iconView(std::string filename, platform::PlistDictionary options) {
    return {std::move(filename), "icvp", kTypeBlob,
            DSStoreValue::data(
                platform::toBinaryPropertyList(PlistValue::dictionary(std::move(options))))};
}

DSStoreEntry blob(std::string filename, std::string code) {
    return {std::move(filename), std::move(code), kTypeBlob,
            DSStoreValue::data(Bytes(4, std::byte{0x5A}))};
}

SettingChange folderOverride(std::string target, std::string key, std::string oldValue,
                             std::string newValue) {
    return {std::move(target), std::move(key), std::move(oldValue), std::move(newValue),
            FolderScanner::kFolderOverrideChange};
}

SettingChange removal(std::string target, std::string key) {
    return {std::move(target), std::move(key), "present", "removed",
            FolderScanner::kRemoveOverrideChange};
}

// `entries` followed by the icon-view records a rewrite gives each of `names`.
std::vector<DSStoreEntry> withFreshRecords(std::vector<DSStoreEntry> entries,
                                           const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        entries.push_back(viewStyle(name, "icnv"));
        entries.push_back(iconView(name, kPreferred.iconViewOptionsDictionary()));
    }
    return entries;
}

// Hides the file's extension; false when this file system keeps no extended attributes.
bool hideExtension(const std::string& path) {
    try {
        platform::setHasHiddenExtension(path, true);
        return platform::hasHiddenExtension(path) == std::optional<bool>(true);
    } catch (const Error&) {
        return false;
    }
}

// Folders in a temporary home holding real stores written by the store writer.
class FolderScannerTest : public ::testing::Test {
  protected:
    std::string writeStore(const std::string& relative, const std::vector<DSStoreEntry>& entries) {
        return home.writeFile(relative + "/.DS_Store", writer.encode(entries));
    }
    std::string folder(const std::string& relative) const { return home.makeFolder(relative); }
    std::string file(const std::string& relative) const { return home.writeFile(relative, "x"); }
    std::string link(const std::string& relative, const std::string& to) const {
        if (::symlink(to.c_str(), (home / relative).c_str()) != 0)
            throw std::runtime_error("symlink");
        return home / relative;
    }

    FolderViewSetting inspectOne(const std::string& path,
                                 const FinderLayoutPreferences& target = kPreferred) const {
        const auto results = scanner.inspectFolders({path}, target);
        if (results.size() != 1) throw std::runtime_error("expected one result");
        return results.front();
    }
    ReconciliationPlanning plan(const std::vector<std::string>& folders) const {
        return scanner.planReconciliation(folders, kPreferred);
    }
    DSStoreReconciliationPlan onlyPlan(const std::vector<std::string>& folders) const {
        auto planning = plan(folders);
        if (planning.plans.size() != 1) throw std::runtime_error("expected one plan");
        return planning.plans.front();
    }

    testing::TempHome home;
    DSStoreWriter writer;
    FolderScanner scanner{home.path(), platform::temporaryDirectory()};
};

TEST_F(FolderScannerTest, ADesktopsOwnFolderListReplacesTheDefaultNames) {
    const std::vector<std::string> usual{home / "Desktop",  home / "Documents", home / "Downloads",
                                         home / "Pictures", home / "Movies",    home / "Music"};
    EXPECT_EQ(scanner.defaultFolders(), usual);
    home.writeFile(".config/user-dirs.dirs",
                   "# written by the desktop\n"
                   "XDG_DESKTOP_DIR=\"$HOME/\"\n"
                   "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
                   "XDG_MUSIC_DIR=\"/srv/shared \\\"music\\\"\"\n"
                   "XDG_VIDEOS_DIR=not quoted\n");
    EXPECT_EQ(scanner.defaultFolders(),
              (std::vector<std::string>{home / "Documents", home / "Downloads", home / "Bilder",
                                        home / "Videos", "/srv/shared \"music\""}));
}

TEST(FolderScannerPathsTest, ExclusionsHoldByWholeComponentAndNeverUnderTheTemporaryFolder) {
    const FolderScanner scanner("/Users/a", "/var/folders/zz/T");
    for (const char* path : {"/Library",
                             "/Library/Fonts",
                             "/usr/local/x",
                             "/private/var/db",
                             "/System",
                             "/Users/a/Library",
                             "/Users/a/Library/Mail",
                             "/Users/a/.Trash",
                             "/Users/a/.Trash/x",
                             "/Users/a/code/node_modules/pkg",
                             "/Users/a/Applications/Tool.app",
                             "/Users/a/Tool.app/Contents",
                             "/Users/a/Pictures/Photos Library.photoslibrary",
                             "/Users/a/Downloads/big.zip.download",
                             "/Users/a/p/.git",
                             "/Users/a/p/target/debug",
                             "/Users/a/p/.venv",
                             "/etc/ssh",
                             "/proc/1",
                             "/sys/kernel",
                             "/dev/shm",
                             "/boot"}) {
        EXPECT_TRUE(scanner.isExcludedPath(path)) << path;
    }
    for (const char* path :
         {"/Libraryx", "/Users/a/Documents", "/tmp/node_modules", "/private/var/folders/x/y",
          "/var/folders/zz/T/Tool.app", "/Users/a/p/Target", "/", "/Users/a/Libraryx",
          "/Users/a/Documents/app", "/Users/a/Documents/x.apple", "/Users/a/.Trashcan"}) {
        EXPECT_FALSE(scanner.isExcludedPath(path)) << path;
    }
    // The temporary folder wins over the library rule; a root one switches nothing off.
    const FolderScanner cached("/Users/a", "/Users/a/Library/Caches/T");
    EXPECT_FALSE(cached.isExcludedPath("/Users/a/Library/Caches/T/build/node_modules"));
    EXPECT_TRUE(cached.isExcludedPath("/Users/a/Library/Caches/Other"));
    for (const char* temporary : {"/", ""}) {
        EXPECT_TRUE(FolderScanner("/Users/a", temporary).isExcludedPath("/Library/Fonts"));
    }
    EXPECT_TRUE(
        scanner.isCloudPlaceholder("/Users/a/Library/Mobile Documents/com~apple~CloudDocs/Notes"));
    EXPECT_FALSE(scanner.isCloudPlaceholder("/nonexistent/folder"));
}

TEST(FolderScannerPathsTest, DisplayablePathReplacesBadBytesOnly) {
    EXPECT_EQ(FolderScanner::displayablePath("/a/Caf\xC3\xA9/b\377c"),
              "/a/Caf\xC3\xA9/b\357\277\275c");
    for (const char* bad : {"\xED\xA0\x80", "\xF0\x9F\x98"}) {  // a surrogate, a cut sequence
        EXPECT_EQ(FolderScanner::displayablePath(bad), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    }
}

TEST(DeviceInodeTest, DevicesThatDifferOnlyInTheirHighBitsStayApart) {
    const auto low = DeviceInode::from({.device = 0x0000000000000803, .inode = 12});
    EXPECT_NE(low, DeviceInode::from({.device = 0x0000000100000803, .inode = 12}));
    EXPECT_NE(low, DeviceInode::from({.device = 0x803, .inode = 13}));
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
    EXPECT_EQ(setting.currentTextSize, std::nullopt);
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

    // A size that is not a number is never within the tolerance.
    writeStore("Pictures", {iconView(".", {{"iconSize", PlistValue::real(std::nan(""))}})});
    EXPECT_EQ(inspectOne(pictures).conflictReasons,
              std::vector<std::string>{"Folder icon size override is nan (expected 44.0)"});
}

TEST_F(FolderScannerTest, AParentRecordAloneGivesTheViewStyleAndAMissingFolderStillHasIt) {
    const std::string movies = folder("Movies");
    writeStore("",
               {viewStyle("Movies", "Nlsv"), blob("Movies", "lsvp"), viewStyle("Gone", "Flwv")});
    const FolderViewSetting setting = inspectOne(movies);
    EXPECT_TRUE(setting.hasDSStore);
    EXPECT_EQ(setting.conflictReasons,
              std::vector<std::string>{"Folder view style override is 'Nlsv' (expected 'icnv')"});

    const FolderViewSetting gone = inspectOne(home / "Gone");
    EXPECT_EQ(gone.canonicalPath, home / "Gone");
    EXPECT_EQ(gone.currentViewStyle, "Flwv");
    EXPECT_EQ(gone.unhiddenExtensionFilesCount, 0);
}

TEST_F(FolderScannerTest, OnlyWellFormedDotRecordsOfTheOwnStoreCountButAnyStoreIsPresent) {
    const std::string music = folder("Music");
    const Bytes foreign =
        writer.encode({viewStyle("Music", "Nlsv"),
                       viewStyle("song.mp3", "clmv"),
                       {".", "vstl", kTypeUstr, DSStoreValue::string("Nlsv")},
                       {".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(8, std::byte{1}))}});
    for (const ByteView image : {ByteView(foreign), asBytes("not a store")}) {
        home.writeFile("Music/.DS_Store", image);
        const FolderViewSetting setting = inspectOne(music);
        EXPECT_TRUE(setting.hasDSStore);
        EXPECT_EQ(setting.currentViewStyle, std::nullopt);
        EXPECT_EQ(setting.currentIconSize, std::nullopt);
        EXPECT_FALSE(setting.conflicting);
    }
}

TEST_F(FolderScannerTest, OnlyPlainFilesWithVisibleExtensionsCount) {
    const std::string mixed = folder("Mixed");
    file("Mixed/notes.txt");
    const std::string document = file("Mixed/report.pdf");
    file("Mixed/README");
    file("Mixed/.hidden.txt");
    folder("Mixed/Tool.app/Contents");
    file("Mixed/sub.folder/inner.txt");
    if (!hideExtension(document)) GTEST_SKIP() << "no extended attributes here";

    const FolderViewSetting setting = inspectOne(mixed);
    EXPECT_EQ(setting.unhiddenExtensionFilesCount, 1);
    EXPECT_EQ(setting.conflictReasons,
              std::vector<std::string>{"1 file(s) have visible extensions (expected hidden)"});
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
    EXPECT_EQ(scanner.filesWithVisibleExtensions({link("LinkToB", b), a, b, home / "Missing"}),
              (std::vector<std::string>{a + "/m.jpg", b + "/a.md", b + "/a.md", b + "/z.txt",
                                        b + "/z.txt"}));
}

TEST_F(FolderScannerTest, ExcludedFoldersAreNeitherInspectedNorListed) {
    if (!platform::isDirectory("/usr/include")) GTEST_SKIP() << "no /usr/include";
    EXPECT_TRUE(scanner.inspectFolders({"/usr/include"}, kPreferred).empty());
    EXPECT_TRUE(scanner.filesWithVisibleExtensions({"/usr/include"}).empty());
    // Excluded by its resolved path, whatever the link is called.
    EXPECT_TRUE(scanner.inspectFolders({link("include", "/usr/include")}, kPreferred).empty());
}

TEST_F(FolderScannerTest, FilesWhoseNameOrFlagCannotBeHandledAreLeftOutAndReported) {
    const std::string downloads = folder("Downloads");
    file("Downloads/good.txt");
    file("Downloads/bad\xFF.txt");
    file("Downloads/also\xC3(.pdf");
    const std::string other = folder("Other");
    file("Other/x\xFE.txt");
    // Items whose flag can never be set: planned, they would be planned again forever.
    ASSERT_EQ(::mkfifo((downloads + "/pipe.txt").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("good.txt", (downloads + "/link.txt").c_str()), 0);
    const std::string damaged = file("Downloads/damaged.txt");
    const bool attributes =
        ::setxattr(damaged.c_str(), "user.com.apple.FinderInfo", "short", 5, 0) == 0;

    ScanNotes notes;
    const std::vector<std::string> visible =
        attributes ? std::vector<std::string>{downloads + "/good.txt"}
                   : std::vector<std::string>{damaged, downloads + "/good.txt"};
    EXPECT_EQ(scanner.filesWithVisibleExtensions({downloads, other}, &notes), visible);
    EXPECT_EQ(notes.undecodable.count, 3u);
    EXPECT_EQ(notes.undecodable.folders, (std::vector<std::string>{downloads, other}));
    std::vector<std::string> unsettable{downloads + "/link.txt", downloads + "/pipe.txt"};
    if (attributes) unsettable.insert(unsettable.begin(), damaged);
    EXPECT_EQ(notes.unsettable, unsettable);

    ScanNotes fromInspection;
    const auto results = scanner.inspectFolders({downloads}, kPreferred, &fromInspection);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].unhiddenExtensionFilesCount, attributes ? 1 : 2);
    EXPECT_NO_THROW((void)nlohmann::json(results).dump());
    EXPECT_EQ(fromInspection.undecodable.count, 2u);
    EXPECT_EQ(scanner.filesWithVisibleExtensions({other}), std::vector<std::string>{});
}

TEST(FolderViewSettingTest, JsonLeavesAbsentOptionalsOutAndReadsBackStrictly) {
    FolderViewSetting setting{.path = "/h/Docs", .canonicalPath = "/h/Documents"};
    setting.currentIconSize = 64.0;
    setting.conflictReasons = {"a", "b"};
    const nlohmann::json json = setting;
    EXPECT_EQ(json.size(), 9u);
    EXPECT_FALSE(json.contains("currentSortBy"));
    EXPECT_EQ(json.get<FolderViewSetting>(), setting);
    // JSON has no NaN: such a size is left out rather than written as null.
    setting.currentTextSize = std::nan("");
    EXPECT_EQ(nlohmann::json(setting), json);

    nlohmann::json missing = json;
    missing.erase("hasDSStore");
    EXPECT_THROW((void)missing.get<FolderViewSetting>(), nlohmann::json::out_of_range);
    const std::pair<const char*, nlohmann::json> wrongTypes[] = {
        {"currentSortBy", nullptr},
        {"unhiddenExtensionFilesCount", 1.5},
        {"conflictReasons", nlohmann::json::array({"ok", 3})}};
    for (const auto& [key, value] : wrongTypes) {
        nlohmann::json wrong = json;
        wrong[key] = value;
        EXPECT_THROW((void)wrong.get<FolderViewSetting>(), nlohmann::json::type_error) << key;
    }
}

// The planner shares the scanner's fixture.
using FolderScannerPlanningTest = FolderScannerTest;

TEST_F(FolderScannerPlanningTest, ListViewFolderIsRewrittenToTheIconView) {
    const std::string documents = folder("Documents");
    const DSStoreEntry comment = {"a.txt", "cmmt", kTypeUstr, DSStoreValue::string("keep")};
    const std::string store =
        writeStore("Documents", {viewStyle(".", "Nlsv"), blob(".", "lsvp"), blob("a.txt", "Iloc"),
                                 comment, blob(".", "bwsp")});
    const DSStoreReconciliationPlan result = onlyPlan({documents});
    EXPECT_EQ(result.dsStoreURL, store);
    EXPECT_EQ(result.targetLabel, "Documents/.DS_Store");
    EXPECT_EQ(result.localChanges,
              (std::vector<SettingChange>{
                  removal("Documents/.DS_Store", "Documents/lsvp"),
                  folderOverride("Documents/.DS_Store", "Documents/vstl", "Nlsv", "icnv")}));
    EXPECT_EQ(result.newEntries,
              withFreshRecords({blob(".", "bwsp"), blob("a.txt", "Iloc"), comment}, {"."}));
    EXPECT_EQ(result.preservedSummary,
              (std::map<std::string, std::int64_t>{{"Iloc", 1}, {"bwsp", 1}, {"cmmt", 1}}));
    EXPECT_NO_THROW((void)writer.encode(result.newEntries));
}

TEST_F(FolderScannerPlanningTest, AMatchingStoreOrNoStoreNeedsNoPlan) {
    const std::string desktop = folder("Desktop");
    // An icon size within a hundredth matches, whether stored as an integer or a real.
    for (const PlistValue& size : {PlistValue::integer(44), PlistValue::real(44.005)}) {
        writeStore("Desktop", {viewStyle(".", "icnv"),
                               iconView(".", {{"arrangeBy", PlistValue::string("kind")},
                                              {"iconSize", size},
                                              {"showItemInfo", PlistValue::boolean(false)},
                                              {"showIconPreview", PlistValue::boolean(true)},
                                              {"textSize", PlistValue::real(12)},
                                              {"gridSpacing", PlistValue::real(100)}}),
                               blob(".", "Iloc")});
        const auto planning = plan({desktop, folder("Empty"), home / "Missing"});
        EXPECT_TRUE(planning.plans.empty());
        EXPECT_TRUE(planning.undecodableStores.empty());
    }
    EXPECT_TRUE(plan({}).plans.empty());
}

TEST_F(FolderScannerPlanningTest, IconViewOptionsAreComparedKeyByKey) {
    const std::string pictures = folder("Pictures");
    const std::string label = "Pictures/.DS_Store";
    writeStore("Pictures", {iconView(".", {{"showItemInfo", PlistValue::string("yes")}})});
    EXPECT_EQ(onlyPlan({pictures}).localChanges,
              (std::vector<SettingChange>{
                  folderOverride(label, "Pictures/icvp.arrangeBy", "", "kind"),
                  folderOverride(label, "Pictures/icvp.iconSize", "0.0", "44.0")}));

    writeStore("Pictures", {iconView(".", {{"arrangeBy", PlistValue::string("name")},
                                           {"iconSize", PlistValue::real(44.02)},
                                           {"textSize", PlistValue::integer(16)},
                                           {"showItemInfo", PlistValue::boolean(true)},
                                           {"showIconPreview", PlistValue::boolean(false)}})});
    // Every value Inspect flags is one the planner rewrites.
    EXPECT_EQ(onlyPlan({pictures}).localChanges,
              (std::vector<SettingChange>{
                  folderOverride(label, "Pictures/icvp.arrangeBy", "name", "kind"),
                  folderOverride(label, "Pictures/icvp.iconSize", "44.02", "44.0"),
                  folderOverride(label, "Pictures/icvp.textSize", "16.0", "12.0"),
                  folderOverride(label, "Pictures/icvp.showItemInfo", "true", "false"),
                  folderOverride(label, "Pictures/icvp.showIconPreview", "false", "true")}));
}

TEST_F(FolderScannerPlanningTest, MalformedOverridesGiveNoChangeButAreDroppedOnRewrite) {
    const std::string movies = folder("Movies");
    const std::vector<DSStoreEntry> malformed = {
        {".", "vstl", kTypeUstr, DSStoreValue::string("Nlsv")},
        {".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(6, std::byte{7}))}};
    writeStore("Movies", malformed);
    EXPECT_TRUE(plan({movies}).plans.empty());

    writeStore("Movies", {malformed[0], malformed[1], blob(".", "lsvC")});
    const auto result = onlyPlan({movies});
    EXPECT_EQ(result.localChanges,
              std::vector<SettingChange>{removal("Movies/.DS_Store", "Movies/lsvC")});
    EXPECT_EQ(result.newEntries, withFreshRecords({}, {"."}));
    EXPECT_TRUE(result.preservedSummary.empty());
}

TEST_F(FolderScannerPlanningTest, TwoFoldersWithOneParentShareOnePlan) {
    const std::string desktop = folder("Desktop");
    const std::string music = folder("Music");
    folder("Other");
    const std::string parentStore = writeStore(
        "", {viewStyle("Desktop", "clmv"), blob("Desktop", "Iloc"), viewStyle("Music", "icnv"),
             blob("Music", "lsvP"), viewStyle("Other", "Nlsv"), blob("Other", "lsvp")});
    const auto result = onlyPlan({desktop, music});
    EXPECT_EQ(result.dsStoreURL, parentStore);
    const std::string label = lastPathComponent(home.path()) + "/.DS_Store";
    EXPECT_EQ(result.targetLabel, label);
    EXPECT_EQ(result.localChanges,
              (std::vector<SettingChange>{folderOverride(label, "Desktop/vstl", "clmv", "icnv"),
                                          removal(label, "Music/lsvP")}));
    EXPECT_EQ(result.newEntries, withFreshRecords({blob("Desktop", "Iloc"), blob("Other", "lsvp"),
                                                   viewStyle("Other", "Nlsv")},
                                                  {"Desktop", "Music"}));
    EXPECT_EQ(result.preservedSummary,
              (std::map<std::string, std::int64_t>{{"Iloc", 1}, {"lsvp", 1}, {"vstl", 1}}));
}

TEST_F(FolderScannerPlanningTest, PreservedRecordsAreCountedPerRewrittenStore) {
    std::vector<std::string> folders;
    const std::pair<const char*, int> stores[] = {{"A", 5}, {"B", 2}, {"C", 0}, {"D", 4}};
    for (const auto& [name, icons] : stores) {
        folders.push_back(folder(name));
        std::vector<DSStoreEntry> entries = {viewStyle(".", *name == 'D' ? "icnv" : "Nlsv")};
        for (int i = 0; i < icons; ++i) entries.push_back(blob("f" + std::to_string(i), "Iloc"));
        writeStore(name, entries);
    }
    const auto planning = plan(folders);
    ASSERT_EQ(planning.plans.size(), 3u);  // D already matches
    EXPECT_EQ(planning.plans[0].preservedSummary.at("Iloc"), 5);
    EXPECT_EQ(planning.plans[1].preservedSummary.at("Iloc"), 2);
    EXPECT_EQ(planning.plans[2].preservedSummary.count("Iloc"), 0u);
}

TEST_F(FolderScannerPlanningTest, AFolderThroughALinkIsMatchedByItsResolvedPath) {
    const std::string real = folder("Real/Documents");
    writeStore("Real", {viewStyle("Documents", "Nlsv")});
    writeStore("Real/Documents", {viewStyle(".", "clmv")});
    const std::string viaLink = link("Docs", real);

    const auto result = onlyPlan({viaLink});  // the link's parent (the home) has no store
    EXPECT_EQ(result.dsStoreURL, viaLink + "/.DS_Store");
    EXPECT_EQ(result.localChanges, std::vector<SettingChange>{folderOverride(
                                       "Docs/.DS_Store", "Docs/vstl", "clmv", "icnv")});

    // Through a linked parent, the parent's record under the resolved name is found too.
    const std::string linkedParent = link("RealLink", home / "Real");
    const auto throughParent = plan({linkedParent + "/Documents"});
    ASSERT_EQ(throughParent.plans.size(), 2u);
    EXPECT_EQ(throughParent.plans[0].dsStoreURL, linkedParent + "/.DS_Store");
    EXPECT_EQ(throughParent.plans[0].localChanges[0].key, "Documents/vstl");
    EXPECT_EQ(throughParent.plans[1].dsStoreURL, linkedParent + "/Documents/.DS_Store");

    // One file reached by two paths is planned once.
    EXPECT_EQ(plan({real, viaLink}).plans.size(), 2u);  // Real's store and the one of Documents
    // The parent's record for a folder given through a link is the one under the link's own
    // name, as Inspect reads it.
    writeStore("", {viewStyle("Docs", "Nlsv")});
    const auto inParent = plan({viaLink}).plans;
    ASSERT_EQ(inParent.size(), 2u);
    EXPECT_EQ(inParent[0].localChanges[0].key, "Docs/vstl");
    EXPECT_EQ(inspectOne(viaLink).currentViewStyle, "clmv");
}

TEST_F(FolderScannerPlanningTest, AStoreWithUndecodableRecordsIsLeftAlone) {
    const std::string broken = folder("Broken");
    const std::string fine = folder("Fine");
    Bytes image = writer.encode({viewStyle(".", "Nlsv"), blob(".", "lsvp")});
    // The second record's type code (the leaf starts at 0x44, each record here is 4 + 2 + 8 +
    // 4 bytes of header and value) becomes one the reader does not know.
    const std::size_t firstRecord = 0x44 + 8;
    const std::size_t secondRecord = firstRecord + 4 + 2 + 8 + 4 + 4;
    testing::putText(image, secondRecord + 4 + 2 + 4, "zzzz");
    ASSERT_FALSE(DSStoreReader().parse(image).isComplete());
    const std::string brokenStore = home.writeFile("Broken/.DS_Store", image);
    writeStore("Fine", {viewStyle(".", "Nlsv")});

    const auto planning = plan({broken, fine});
    EXPECT_EQ(planning.undecodableStores, std::vector<std::string>{brokenStore});
    ASSERT_EQ(planning.plans.size(), 1u);
    EXPECT_EQ(planning.plans[0].targetLabel, "Fine/.DS_Store");
    EXPECT_EQ(platform::readFile(brokenStore), image);
}

TEST_F(FolderScannerPlanningTest, AFolderNameThatIsNotUtf8GetsNoPlan) {
    const std::string odd = folder("Odd\xFF");
    const std::string fine = folder("Fine");
    writeStore("Odd\xFF", {viewStyle(".", "Nlsv")});
    writeStore("Fine", {viewStyle(".", "Nlsv")});
    writeStore("", {viewStyle("Fine", "clmv"), blob("Other", "Iloc")});

    const auto planning = plan({odd, fine});
    EXPECT_EQ(planning.unnamableStores,
              std::vector<std::string>{home.path() + "/Odd\xEF\xBF\xBD/.DS_Store"});
    ASSERT_EQ(planning.plans.size(), 2u);
    for (const auto& result : planning.plans) {
        EXPECT_NO_THROW((void)writer.encode(result.newEntries));
        for (const auto& change : result.localChanges) {
            EXPECT_NO_THROW((void)nlohmann::json(change).dump());
        }
    }
    EXPECT_EQ(planning.plans[1].targetLabel, "Fine/.DS_Store");
}

TEST_F(FolderScannerPlanningTest, AStoreTheReaderRejectsFailsThePlanning) {
    writeStore("Desktop", {viewStyle(".", "Nlsv")});
    home.writeFile("Music/.DS_Store", std::string(64, 'x'));
    EXPECT_LUMIFOLD_ERROR_CODE(plan({home / "Desktop", home / "Music"}), DSStoreReader::kDomain,
                               DSStoreReader::kInvalidMagic);
}

TEST_F(FolderScannerPlanningTest, AStoreThatCannotBeReadFailsThePlanning) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    ::chmod(writeStore("Desktop", {viewStyle(".", "Nlsv")}).c_str(), 0);
    EXPECT_LUMIFOLD_ERROR_CODE(plan({home / "Desktop"}), "POSIX", EACCES);
}

}  // namespace
}  // namespace lumifold
