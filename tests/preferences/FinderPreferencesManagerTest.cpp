#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/preferences/FinderPreferenceKeys.h"
#include "core/preferences/FinderPreferencesManager.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using platform::PlistDictionary;
using platform::PlistValue;
using platform::PreferencesService;
using Host = PreferencesService::Host;

constexpr const char* kPreferencesFile = finder_preferences::kRelativePath;
constexpr const char* kAny = PreferencesService::kAnyApplication;
constexpr const char* kShowAll = finder_preferences::kShowAllExtensionsKey;
constexpr const char* kFinder = finder_preferences::kApplicationId;
constexpr const char* kFileName = finder_preferences::kFileName;
const FinderLayoutPreferences kPreferred = FinderLayoutPreferences::preferred(54.0);

std::string iconView(const std::string& entries) {
    return "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><dict>" + entries +
           "</dict></dict>";
}

// Every field the layout reads, none as preferred; the sizes whole or not, real or integer.
const std::string kEveryField =
    "<key>FXPreferredViewStyle</key><string>Nlsv</string><key>FXArrangeGroupViewBy</key>"
    "<string>Kind</string><key>AppleShowAllExtensions</key><true/>" +
    iconView(
        "<key>arrangeBy</key><string>name</string><key>iconSize</key><real>44.0001</real>"
        "<key>gridSpacing</key><real>70</real><key>textSize</key><integer>13</integer>"
        "<key>labelOnBottom</key><false/><key>showItemInfo</key><true/>"
        "<key>showIconPreview</key><false/><key>backgroundType</key><integer>1</integer>");

const PlistDictionary& in(const PlistDictionary& dictionary, const std::string& key) {
    return *dictionary.at(key).ifDictionary();
}

class FinderPreferencesManagerTest : public ::testing::Test {
  protected:
    std::string path() const { return home / kPreferencesFile; }
    void writeEntries(const std::string& entries) {
        home.writeFile(kPreferencesFile,
                       "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>");
    }
    PlistDictionary readBack(const std::string& file) const {
        return *platform::parsePropertyList(platform::readFile(file)).ifDictionary();
    }
    std::vector<std::string> folderNames() const {
        return platform::listDirectory(deletingLastPathComponent(path()), true);
    }

    lumifold::testing::TempHome home;
    FinderPreferencesManager manager{std::nullopt, home.path()};
};

TEST_F(FinderPreferencesManagerTest, ReadsEachFieldAndFallsBackForWhatIsMissingOrMistyped) {
    auto columns = kPreferred;
    columns.viewStyle = "clmv";
    // Only the Finder windows' settings count, never the desktop's or another copy's.
    const std::string ignored =
        "<key>DesktopViewSettings</key><dict><key>IconViewSettings</key><dict>"
        "<key>iconSize</key><real>80</real></dict></dict><key>FK_StandardViewSettings</key>"
        "<dict><key>IconViewSettings</key><dict><key>iconSize</key><real>16</real></dict></dict>";
    const struct {
        std::string entries;
        FinderLayoutPreferences expected;
    } cases[] = {
        {kEveryField, {"Nlsv", "Kind", "name", 44.0001, 70.0, 13.0, false, true, false, 1, false}},
        // Every value of the wrong type.
        {"<key>FXPreferredViewStyle</key><integer>1</integer><key>FXArrangeGroupViewBy</key>"
         "<dict/><key>AppleShowAllExtensions</key><string>YES</string>" +
             iconView("<key>arrangeBy</key><true/><key>iconSize</key><string>64</string>"
                      "<key>gridSpacing</key><true/><key>textSize</key><date>2020-01-01T00:00:"
                      "00Z</date><key>labelOnBottom</key><integer>0</integer><key>showItemInfo"
                      "</key><string>true</string><key>showIconPreview</key><real>0</real>"
                      "<key>backgroundType</key><real>1</real>"),
         kPreferred},
        {"<key>FXPreferredViewStyle</key><string>clmv</string>" + ignored, columns},
        // Icon view settings that are no dictionary.
        {"<key>FXPreferredViewStyle</key><string>clmv</string><key>StandardViewSettings</key>"
         "<dict><key>IconViewSettings</key><array/></dict>" +
             ignored,
         columns},
    };
    for (const auto& [entries, expected] : cases) {
        SCOPED_TRACE(entries);
        writeEntries(entries);
        EXPECT_EQ(manager.currentPreferences(), expected);
        EXPECT_TRUE(manager.plistChanges(expected).empty());
    }
}

TEST_F(FinderPreferencesManagerTest, ListsChangesInOrderWithoutToleranceAndNeverTheGrid) {
    writeEntries(kEveryField);
    std::string keys;
    for (const auto& change : manager.plistChanges(kPreferred)) {
        keys += change.key.substr(change.key.rfind('.') + 1) +
                (change.oldValue + "," + change.newValue) + " ";
    }
    EXPECT_EQ(keys,
              "FXPreferredViewStyleNlsv,icnv FXArrangeGroupViewByKind,None arrangeByname,kind "
              "iconSize44.0001,44.0 textSize13.0,12.0 labelOnBottomfalse,true "
              "showItemInfotrue,false showIconPreviewfalse,true "
              "AppleShowAllExtensionstrue (shown),false (hidden) ");
}

// A file that is there but cannot be used reads as missing, says why naming itself, and is
// never overwritten.
TEST_F(FinderPreferencesManagerTest, DamagedFilesReadAsMissingAndAreNeverOverwritten) {
    const std::string binary(asText(platform::toBinaryPropertyList(
        PlistValue::dictionary({{kShowAll, PlistValue::boolean(true)}}))));
    const std::string xml = "<plist><dict><key>AppleShowAllExtensions</key><true/></dict></plist>";
    const auto file = [&](std::string text) {
        return [&, text] { home.writeFile(kPreferencesFile, text); };
    };
    const struct {
        const char* what;
        std::function<void()> damage;
    } cases[] = {
        {"no dictionary", file("<plist><array><string>icnv</string></array></plist>")},
        {"XML cut short", file(xml.substr(0, xml.size() - 10))},
        {"binary cut short", file(binary.substr(0, binary.size() - 1))},
        {"a folder", [&] { home.makeFolder(kPreferencesFile); }},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path().c_str(), 0600), 0); }},  // a read would block
        {"a link to a device", [&] { home.link("/dev/zero", kPreferencesFile); }},
    };
    for (const auto& [what, damage] : cases) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(path());
        home.makeFolder("Library/Preferences");
        damage();
        EXPECT_EQ(manager.currentPreferences(), kPreferred);
        EXPECT_NE(manager.readPreferencesFile().problem.value_or("").find(path()),
                  std::string::npos);
        const bool regular = platform::isRegularFile(path());
        const Bytes bytes = regular ? platform::readFile(path()) : Bytes();
        EXPECT_LUMIFOLD_ERROR_CODE(manager.writePreferences(kPreferred),
                                   FinderPreferencesManager::kDomain,
                                   FinderPreferencesManager::kUnreadablePreferences);
        EXPECT_EQ(folderNames(), std::vector<std::string>{kFileName});
        if (regular) {
            EXPECT_EQ(platform::readFile(path()), bytes);
        }
    }
}

TEST_F(FinderPreferencesManagerTest, WritingSetsEveryCopyOfTheIconViewAndKeepsOtherKeys) {
    const std::string kept =
        "<dict><key>IconViewSettings</key><dict><key>customKey</key>"
        "<string>keep me</string>";
    writeEntries(
        "<key>NSWindowFrame</key><string>0 0 800 600</string>"
        "<key>FXPreferredViewStyle</key><string>Nlsv</string>"
        "<key>StandardViewSettings</key>" +
        kept +
        "<key>iconSize</key><integer>64</integer></dict>"
        "<key>SettingsType</key><string>Standard</string></dict>"
        "<key>DesktopViewSettings</key>" +
        kept + "</dict></dict>");
    const auto target = FinderLayoutPreferences::preferred(60.0);
    manager.writePreferences(target);

    const PlistDictionary written = readBack(path());
    EXPECT_EQ(written.at("NSWindowFrame"), PlistValue::string("0 0 800 600"));
    EXPECT_EQ(in(written, "StandardViewSettings").at("SettingsType"),
              PlistValue::string("Standard"));
    // Created where it was missing, merged where it was there.
    for (const char* copy :
         {"StandardViewSettings", "DesktopViewSettings", "FK_StandardViewSettings"}) {
        const PlistDictionary& iconView = in(in(written, copy), "IconViewSettings");
        EXPECT_EQ(iconView.at("gridSpacing"), PlistValue::real(60.0)) << copy;
        EXPECT_EQ(iconView.at("backgroundType"), PlistValue::integer(0)) << copy;
        EXPECT_EQ(iconView.size(), copy[0] == 'F' ? 8u : 9u) << copy;  // "customKey" kept
    }
    EXPECT_EQ(manager.currentPreferences(), target);
    // No temporary file is left beside it.
    EXPECT_EQ(folderNames(), (std::vector<std::string>{"ByHost", kFileName}));
}

TEST_F(FinderPreferencesManagerTest, AFileChangedSincePlanningIsLeftAsItsWriterLeftIt) {
    writeEntries("<key>FXPreferredViewStyle</key><string>Nlsv</string>");
    const PreferencesFile planned = manager.readPreferencesFile();
    writeEntries("<key>FXPreferredViewStyle</key><string>clmv</string>");
    const Bytes changed = platform::readFile(path());
    EXPECT_FALSE(manager.writePreferences(kPreferred, planned, {}).fileWritten);
    EXPECT_EQ(platform::readFile(path()), changed);
}

TEST_F(FinderPreferencesManagerTest, WritingPushesExtensionVisibilityThroughTheService) {
    // Another program showed extensions for every host; the current-host value overrides it.
    PreferencesService service(home.path());
    service.setValue(kShowAll, PlistValue::boolean(true), kAny, PreferencesService::User::current,
                     Host::any);
    auto target = kPreferred;
    for (const bool show : {false, true}) {
        target.hideFileExtensions = !show;
        manager.writePreferences(target);
        EXPECT_EQ(readBack(path()).at(kShowAll), PlistValue::boolean(show));
        for (const char* domain : {kAny, kFinder}) {
            EXPECT_EQ(service.copyValue(kShowAll, domain, Host::current),
                      PlistValue::boolean(show));
        }
        EXPECT_EQ(manager.showsAllExtensions(), show);
    }
}

// Each value the domain held is recorded in a form that holds it: XML text where it can, binary
// otherwise; a value neither can hold is refused, naming its file and key.
TEST_F(FinderPreferencesManagerTest, OriginalValuesAreRecordedInAFormThatHoldsThem) {
    PreferencesService service(home.path());
    const PlistValue text = PlistValue::boolean(true);
    for (const PlistValue& value :
         {text, PlistValue::dictionary({{"CF$UID", PlistValue::integer(1)}}),
          PlistValue::date({1e13}) /* beyond the year 9999 */}) {
        service.setValue(kShowAll, value, kAny, PreferencesService::User::current, Host::current);
        const PushedPreference record = manager.plannedPushes(kPreferred).at(0).record;
        EXPECT_EQ(record.originalValue.has_value(), value == text);
        EXPECT_EQ(record.originalValueBinary.has_value(), value != text);
        EXPECT_EQ(originalValueOf(record), value);
    }
    PushedPreference record;
    record.key = kShowAll;
    EXPECT_LUMIFOLD_ERROR(recordOriginalValue(record, PlistValue::string("\xFF"), "/p/d.plist"),
                          platform::kPropertyListDomain, platform::kPropertyListUnwritable,
                          "Cannot keep the value of AppleShowAllExtensions in \"/p/d.plist\" for "
                          "Restore: Cannot write the property list: a string is not well-formed "
                          "UTF-8");
}

// The changes of another file are named by it, and a link at the path is written through.
TEST_F(FinderPreferencesManagerTest, AnotherPathIsNamedByItsFileAndALinkIsWrittenThrough) {
    FinderPreferencesManager other(home / "profiles/Finder.plist", home.path());
    auto target = kPreferred;
    target.viewStyle = "clmv";
    EXPECT_EQ(other.plistChanges(target).at(0).target, "Finder.plist");
    other.writePreferences(target);
    home.makeFolder("Library/Preferences");
    home.link(home / "profiles/Finder.plist", kPreferencesFile);
    manager.writePreferences(kPreferred);
    EXPECT_TRUE(platform::isSymbolicLink(path()));
    EXPECT_EQ(other.currentPreferences(), kPreferred);
    EXPECT_EQ(folderNames(), (std::vector<std::string>{"ByHost", kFileName}));
}

}  // namespace
}  // namespace lumifold
