#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "core/common/Paths.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/inspection/DeviceInode.h"
#include "core/inspection/FolderScanner.h"
#include "core/inspection/FolderTree.h"
#include "core/platform/FileMetadata.h"
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
            DSStoreValue::data(platform::toBinaryPropertyList(PlistValue::dictionary(options)))};
}
DSStoreEntry blob(std::string filename, std::string code) {
    return {std::move(filename), std::move(code), kTypeBlob, DSStoreValue::data(Bytes(4))};
}
SettingChange change(std::string target, std::string key, std::string from, std::string to) {
    return {target, key, from, to, to == "removed" ? "Remove Override" : "Folder Override"};
}
// `entries` followed by the records a rewrite gives each of `names`.
std::vector<DSStoreEntry> withFreshRecords(std::vector<DSStoreEntry> entries,
                                           const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        entries.push_back(viewStyle(name, "icnv"));
        entries.push_back(iconView(name, kPreferred.iconViewOptionsDictionary()));
    }
    return entries;
}

class FolderScannerTest : public ::testing::Test {
  protected:
    std::string writeStore(const std::string& relative, const std::vector<DSStoreEntry>& entries) {
        return home.writeFile(appending(relative, ".DS_Store"), writer.encode(entries));
    }
    FolderViewSetting inspectOne(const std::string& path) const {
        const auto results = scanner.inspectFolders({path}, Layout(kPreferred));
        return results.size() == 1 ? results[0] : FolderViewSetting{};
    }
    ReconciliationPlanning plan(const std::vector<std::string>& folders) const {
        return scanner.planReconciliation(folders, Layout(kPreferred));
    }

    testing::TempHome home;
    DSStoreWriter writer;
    FolderScanner scanner{home.path(), platform::temporaryDirectory()};
};

TEST(FolderScannerPathsTest, ExclusionsHoldByComponentAndTemporaryPlacesEscapeOnlySystemRules) {
    const struct {
        const char* home;
        const char* temporary;
        const char* excluded;
        const char* kept;
    } cases[] = {
        {"/Users/a", "/var/folders/zz/T",
         "/Library /Library/Fonts /usr/local/x /private/var/db /var/db /System /etc/ssh /proc/1 "
         "/dev/shm /boot /Users/a/Library /Users/a/Library/Mail /Users/a/.Trash/x "
         "/Users/a/p/node_modules/x /Users/a/Tool.app /Users/a/Tool.app/Contents "
         "/Users/a/P/Photos.photoslibrary /Users/a/big.zip.download /Users/a/p/.git "
         "/Users/a/p/target/debug /Users/a/p/.venv /tmpX/node_modules /tmp/x/node_modules "
         "/tmp/Tool.app /var/folders/zz/T/Tool.app /private/var/folders/x/node_modules "
         "/var/foldersX /private/var/foldersX/y",
         "/Libraryx /Users/a/Documents / /tmp /tmp/x /private/tmp/x /var/folders/zz/T/x "
         "/private/var/folders/x/y /Users/a/p/Target /Users/a/Libraryx /Users/a/Documents/app "
         "/Users/a/Documents/x.apple /Users/a/.Trashcan"},
        // A home in a temporary place keeps its own rules.
        {"/tmp/h", "/tmp", "/tmp/h/Library /tmp/h/Library/Mail /tmp/h/.Trash/x",
         "/tmp/h /tmp/h/Documents /tmp/hx/Library"},
        // The scanner's own temporary directory, by whole component and however it is spelled,
        // escapes the system rules; inside the home's Library it is still the home's Library.
        {"/Users/a", "/var/tmp/T/", "/var/tmp/Tx /var/tmp /var/tmp/T/node_modules",
         "/var/tmp/T /var/tmp/T/x"},
        {"/Users/a", "/Users/a/Library/Caches/T", "/Users/a/Library/Caches/T/x", ""},
        // An empty or root one would otherwise switch every system rule off.
        {"/Users/a", "/", "/Library/Fonts /var/db", ""},
        {"/Users/a", "", "/Library/Fonts /var/db", ""},
    };
    for (const auto& [home, temporary, excluded, kept] : cases) {
        const FolderScanner scanner(home, temporary);
        std::istringstream excludedPaths(excluded);
        for (std::string path; excludedPaths >> path;) {
            EXPECT_TRUE(scanner.isExcludedPath(path)) << path << " (" << temporary << ")";
        }
        std::istringstream keptPaths(kept);
        for (std::string path; keptPaths >> path;) {
            EXPECT_FALSE(scanner.isExcludedPath(path)) << path << " (" << temporary << ")";
        }
    }
    EXPECT_TRUE(FolderScanner("/Users/a", "/var/folders/zz/T")
                    .isCloudPlaceholder("/Users/a/Library/Mobile Documents/com~apple~CloudDocs"));
    // Bad bytes become U+FFFD one by one: a stray byte, a surrogate, a cut sequence.
    EXPECT_EQ(FolderScanner::displayablePath("/Caf\xC3\xA9/b\377c\xED\xA0\x80\xF0\x9F\x98"),
              "/Caf\xC3\xA9/b\uFFFDc\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
    // Devices that differ only in their high bits stay apart.
    EXPECT_NE(DeviceInode::from({.device = 0x803, .inode = 12}),
              DeviceInode::from({.device = 0x100000803, .inode = 12}));
}

TEST_F(FolderScannerTest, ADesktopsOwnFolderListReplacesTheDefaultNames) {
    home.writeFile(
        ".config/user-dirs.dirs",
        "# by the desktop\nXDG_DESKTOP_DIR=\"$HOME/\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
        "XDG_MUSIC_DIR=\"/srv/shared \\\"music\\\"\"\nXDG_VIDEOS_DIR=not quoted\n");
    EXPECT_EQ(scanner.defaultFolders(),
              (std::vector<std::string>{home / "Documents", home / "Downloads", home / "Bilder",
                                        home / "Videos", "/srv/shared \"music\""}));
}

// The folder's own records win field by field over its parent's; malformed records say nothing,
// a store that cannot be read is named.
TEST_F(FolderScannerTest, OverridesComeFromTheOwnStoreThenTheParents) {
    const std::string music = home.makeFolder("Music");
    const std::tuple<Bytes, Bytes, std::vector<std::string>> cases[] = {
        {{}, {}, {}},
        {writer.encode({iconView(".", {{"iconSize", PlistValue::integer(64)}})}),
         writer.encode({iconView("Music", {{"iconSize", PlistValue::real(32)},
                                           {"arrangeBy", PlistValue::string("name")},
                                           {"showIconPreview", PlistValue::boolean(false)}}),
                        viewStyle("Music", "clmv")}),
         {"Folder view style override is 'clmv' (expected 'icnv')",
          "Folder sort by override is 'name' (expected 'kind')",
          "Folder icon size override is 64.0 (expected 44.0)",
          "Folder icon preview override is false (expected true)"}},
        {writer.encode({viewStyle("Music", "Nlsv"),
                        viewStyle("song.mp3", "clmv"),
                        {".", "vstl", kTypeUstr, DSStoreValue::string("Nlsv")},
                        {".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(8, std::byte{1}))}}),
         toBytes("not a store"),
         {"Could not read \"" + home / ".DS_Store" + "\": File too small"}},
    };
    for (const auto& [local, parent, reasons] : cases) {
        SCOPED_TRACE(reasons.empty() ? "no reasons" : reasons[0]);
        for (const auto& [path, image] :
             {std::pair{music + "/.DS_Store", local}, std::pair{home / ".DS_Store", parent}}) {
            ::unlink(path.c_str());
            if (!image.empty()) platform::writeFileAtomically(path, image);
        }
        const FolderViewSetting setting = inspectOne(music);
        EXPECT_EQ(setting.hasDSStore, !local.empty() || !parent.empty());
        EXPECT_EQ(setting.conflictReasons, reasons);
        EXPECT_EQ(setting.conflicting, !reasons.empty());
        EXPECT_EQ(setting.inaccessible, !parent.empty() && reasons.size() == 1);
        EXPECT_EQ(nlohmann::json(setting).get<FolderViewSetting>(), setting);
    }
}

TEST_F(FolderScannerTest, AFolderMetTwiceIsReportedOnceAndExcludedOnesNotAtAll) {
    const std::string real = home.makeFolder("Documents");
    const std::string viaLink = home.link(real, "Docs");
    const auto results =
        scanner.inspectFolders({viaLink, real, real + "/", viaLink}, Layout(kPreferred));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].path, viaLink);
    EXPECT_EQ(results[0].canonicalPath, real);
    EXPECT_TRUE(results[0].isSymlink);
    if (!platform::isDirectory("/usr/include")) GTEST_SKIP() << "no /usr/include";
    // Excluded by the resolved path, whatever the link is called.
    const std::string include = home.link("/usr/include", "include");
    EXPECT_TRUE(scanner.inspectFolders({"/usr/include", include}, Layout(kPreferred)).empty());
    EXPECT_TRUE(scanner.visibleExtensionFiles({"/usr/include", include}).empty());
}

// Items whose name is not UTF-8 or whose flag can never be set are reported, not listed.
TEST_F(FolderScannerTest, VisibleExtensionFilesAreTheOnesWhoseFlagCanBeSet) {
    const std::string a = home / "A", b = home / "B";
    for (const char* name : {"B/z.txt", "B/README", "B/.hidden.txt", "B/sub.folder/inner.txt",
                             "B/bad\xFF.txt", "A/m.jpg", "A/x\xFE.txt", "B/Tool.app/Contents/x"}) {
        home.writeFile(name, "x");
    }
    const std::string hidden = home.writeFile("B/hidden.pdf", "x");
    const std::string damaged = home.writeFile("B/damaged.txt", "x");
    if (::setxattr(damaged.c_str(), "user.com.apple.FinderInfo", "short", 5, 0) != 0) {
        GTEST_SKIP() << "no extended attributes here";
    }
    platform::setHasHiddenExtension(hidden, true);
    std::vector<std::string> unsettable{damaged, b + "/link.txt"};
    for (const char* pipe : {"/pipe0.txt", "/pipe1.txt", "/pipe2.txt", "/pipe3.txt"}) {
        ASSERT_EQ(::mkfifo((b + pipe).c_str(), 0600), 0);
        unsettable.push_back(b + pipe);  // in name order, whatever order the folder lists
    }
    home.link("z.txt", "B/link.txt");

    const std::string linkToB = home.link(b, "LinkToB");
    // The same from the listings a tree's walk kept as from listing each folder.
    for (const bool walked : {false, true}) {
        FolderListings listings;
        if (walked) (void)FolderTree(scanner, {}, &listings).expand({b, a}, nullptr);
        ScanNotes notes;
        EXPECT_EQ(scanner
                      .visibleExtensionFiles({linkToB, a, home / "Missing"}, &notes, nullptr,
                                             walked ? &listings : nullptr)
                      .paths(),
                  (std::vector<std::string>{a + "/m.jpg", b + "/z.txt"}));
        EXPECT_TRUE(notes.warnings.empty());  // a folder that is not there is no folder to list
        EXPECT_EQ(notes.undecodable.count, 2u);
        EXPECT_EQ(notes.undecodable.folders, (std::vector<std::string>{b, a}));
        EXPECT_EQ(notes.unsettable, unsettable);
    }
    // A kept listing serves once: the folder is not listed again, and later scans list it anew.
    FolderListings listings;
    (void)FolderTree(scanner, {}, &listings).expand({a}, nullptr);
    home.writeFile("A/new.txt", "x");
    EXPECT_EQ(scanner.visibleExtensionFiles({a}, nullptr, nullptr, &listings).size(), 1u);
    EXPECT_EQ(scanner.visibleExtensionFiles({a}, nullptr, nullptr, &listings).size(), 2u);
    EXPECT_EQ(inspectOne(b).conflictReasons,
              std::vector<std::string>{"1 file(s) have visible extensions (expected hidden)"});
}

using FolderScannerPlanningTest = FolderScannerTest;

// Layout records are compared key by key and, when any differs, all replaced by fresh ones.
TEST_F(FolderScannerPlanningTest, LayoutRecordsAreComparedKeyByKeyAndReplaced) {
    const std::string pictures = home.makeFolder("Pictures");
    const auto matching = [&](PlistValue size) {
        return iconView(".", {{"arrangeBy", PlistValue::string("kind")},
                              {"iconSize", std::move(size)},
                              {"showItemInfo", PlistValue::boolean(false)},
                              {"textSize", PlistValue::real(12)},
                              {"gridSpacing", PlistValue::real(100)}});
    };
    const DSStoreEntry badStyle{".", "vstl", kTypeUstr, DSStoreValue::string("Nlsv")},
        badIcons{".", "icvp", kTypeBlob, DSStoreValue::data(Bytes(6, std::byte{7}))};
    const auto icvp = [](std::string key, std::string from, std::string to) {
        return change("Pictures/.DS_Store", "Pictures/icvp." + key, from, to);
    };
    const std::pair<std::vector<DSStoreEntry>, std::vector<SettingChange>> cases[] = {
        {{viewStyle(".", "icnv"), matching(PlistValue::integer(44))}, {}},
        {{matching(PlistValue::real(44.005))}, {}},
        {{iconView(".", {{"showItemInfo", PlistValue::string("yes")}})},
         {icvp("arrangeBy", "", "kind"), icvp("iconSize", "0.0", "44.0")}},
        {{iconView(".", {{"arrangeBy", PlistValue::string("name")},
                         {"iconSize", PlistValue::real(44.02)},
                         {"textSize", PlistValue::integer(16)},
                         {"showItemInfo", PlistValue::boolean(true)},
                         {"showIconPreview", PlistValue::boolean(false)}})},
         {icvp("arrangeBy", "name", "kind"), icvp("iconSize", "44.02", "44.0"),
          icvp("textSize", "16.0", "12.0"), icvp("showItemInfo", "true", "false"),
          icvp("showIconPreview", "false", "true")}},
        {{badStyle, badIcons, blob(".", "lsvC")},
         {change("Pictures/.DS_Store", "Pictures/lsvC", "present", "removed")}},
    };
    for (const auto& [entries, changes] : cases) {
        SCOPED_TRACE(::testing::PrintToString(changes.size()) + " changes");
        writeStore("Pictures", entries);
        const auto planning = plan({pictures});
        // Inspect flags only what the planner rewrites.
        EXPECT_LE(inspectOne(pictures).conflicting, !planning.plans.empty());
        ASSERT_EQ(planning.plans.size(), changes.empty() ? 0u : 1u);
        if (changes.empty()) continue;
        EXPECT_EQ(planning.plans[0].localChanges, changes);
        EXPECT_EQ(planning.plans[0].newEntries, withFreshRecords({}, {"."}));
    }
}

// A store whose rewrite would lose something is reported and never planned; its neighbour is.
TEST_F(FolderScannerPlanningTest, StoresThatCannotBeRewrittenSafelyAreReportedNotPlanned) {
    const std::string fine = home.makeFolder("Fine");
    const DSStoreEntry comment = {"a.txt", "cmmt", kTypeUstr, DSStoreValue::string("keep")};
    const std::string fineStore = writeStore(
        "Fine", {viewStyle(".", "Nlsv"), blob(".", "lsvp"), blob("a.txt", "Iloc"), comment});
    const Bytes image = writer.encode({viewStyle(".", "Nlsv"), blob("Q", "Iloc")});
    const auto patched = [&](std::string_view from, std::string_view to) {
        Bytes bytes = image;
        const ByteView pattern = asBytes(from);
        std::ranges::copy(asBytes(to),
                          std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end()));
        return bytes;
    };
    using List = std::vector<std::string> ReconciliationPlanning::*;
    const std::tuple<std::string, Bytes, List> cases[] = {
        {"Unknown", patched("Ilocblob", "Iloczzzz"), &ReconciliationPlanning::undecodableStores},
        // "Q" becomes a lone surrogate: not UTF-16, so the name would be written back blank.
        {"Altered", patched(std::string("\0\0\0\1\0Q", 6), std::string("\0\0\0\1\xD8\0", 6)),
         &ReconciliationPlanning::undecodableStores},
        {"Odd\xFF", image, &ReconciliationPlanning::unnamableStores},
        {"Linked", {}, &ReconciliationPlanning::linkedStores},
    };
    for (const auto& [folder, store, list] : cases) {
        SCOPED_TRACE(folder);
        const std::string path = home / (folder + "/.DS_Store");
        home.makeFolder(folder);
        if (store.empty()) {
            home.link(home.writeFile("elsewhere", image), folder + "/.DS_Store");
        } else {
            platform::writeFileAtomically(path, store);
            const auto read = DSStoreReader().parse(store);  // each patch hit one record
            ASSERT_EQ(read.skippedRecords + read.alteredRecords,
                      std::size_t{folder == "Unknown" || folder == "Altered"});
        }
        const auto planning = plan({fine, home / folder, home.makeFolder("Empty"), home / "None"});
        EXPECT_EQ(planning.*list, std::vector<std::string>{FolderScanner::displayablePath(path)});
        ASSERT_EQ(planning.plans.size(), 1u);
        EXPECT_EQ(
            planning.plans[0].localChanges,
            (std::vector<SettingChange>{change("Fine/.DS_Store", "Fine/lsvp", "present", "removed"),
                                        change("Fine/.DS_Store", "Fine/vstl", "Nlsv", "icnv")}));
        EXPECT_EQ(planning.plans[0].newEntries,
                  withFreshRecords({blob("a.txt", "Iloc"), comment}, {"."}));
    }
}

// The walk behind --recursive: depth first by byte order, nothing hidden, linked, left alone by
// every stage or excluded, and each folder once.
TEST(FolderTreeTest, WalksByNameAndLeavesOutWhatItMust) {
    testing::TempHome home;
    for (const char* folder : {"P/a/x/y", "P/B/old", "P/a/.hidden", "P/a/Tool.app/Contents",
                               "P/a/node_modules", "P/a/skip-me", "P/c/old/2019", "Q"}) {
        home.makeFolder(folder);
    }
    home.writeFile("P/a/file.txt", "");
    home.link("..", "P/a/loop");
    home.link("/etc", "P/c/out");
    const FolderScanner scanner(home.path(), platform::temporaryDirectory());
    const auto walk = [&](FolderTreeOptions options, std::vector<std::string> roots) {
        std::vector<std::string> folders;
        for (auto& path : FolderTree(scanner, std::move(options)).expand(roots, nullptr)) {
            folders.push_back(path.substr(std::min(path.size(), home.path().size() + 1)));
        }
        return folders;
    };
    const std::string p = home / "P";
    using Folders = std::vector<std::string>;
    EXPECT_EQ(walk({}, {p}), (Folders{"P", "P/B", "P/B/old", "P/a", "P/a/skip-me", "P/a/x",
                                      "P/a/x/y", "P/c", "P/c/old", "P/c/old/2019"}));
    EXPECT_EQ(walk({2, {"skip-*", "c/old", "~/P/B"}}, {p}), (Folders{"P", "P/a", "P/a/x", "P/c"}));
    EXPECT_EQ(walk({0, {}}, {p, home / "Q", home / "P/a", home / "missing"}),
              (Folders{"P", "Q", "P/a", "missing"}));
    const FolderTree tree(scanner, {});
    EXPECT_FALSE(tree.child(*tree.rootOf(home / "P/a"), "loop", nullptr));
    // A folder met again in another chosen folder's tree is not walked twice.
    EXPECT_EQ(walk({1, {}}, {home / "P/a", p}),
              (Folders{"P/a", "P/a/skip-me", "P/a/x", "P", "P/B", "P/c"}));
}

}  // namespace
}  // namespace lumifold
