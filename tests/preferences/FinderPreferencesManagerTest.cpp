#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/preferences/FinderPreferencesManager.h"
#include "tests/support/LumifoldAssertions.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using platform::PlistDictionary;
using platform::PlistValue;
using platform::PreferencesService;
using Host = PreferencesService::Host;

constexpr const char* kPreferencesFile = "Library/Preferences/com.apple.finder.plist";
constexpr const char* kAny = PreferencesService::kAnyApplication;
constexpr const char* kShowAll = "AppleShowAllExtensions";
const std::string kPrefix = "StandardViewSettings.IconViewSettings.";
const FinderLayoutPreferences kPreferred = FinderLayoutPreferences::preferred(54.0);

std::string xmlPlist(const std::string& topLevel) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + topLevel +
           "</plist>\n";
}

std::string iconViewSettings(const std::string& entries) {
    return "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><dict>" + entries +
           "</dict></dict>";
}

SettingChange globalChange(std::string key, std::string oldValue, std::string newValue) {
    return SettingChange{"com.apple.finder.plist", std::move(key), std::move(oldValue),
                         std::move(newValue), "Global Preference"};
}

const PlistDictionary& dictionaryIn(const PlistDictionary& dictionary, const std::string& key) {
    return *dictionary.at(key).ifDictionary();
}

class FinderPreferencesManagerTest : public ::testing::Test {
  protected:
    std::string preferencesPath() const { return home / kPreferencesFile; }
    void writeFile(const std::string& text) { home.writeFile(kPreferencesFile, text); }
    void writeEntries(const std::string& entries) {
        writeFile(xmlPlist("<dict>" + entries + "</dict>"));
    }

    // A file as the Finder would read it: the preferences file by default.
    PlistDictionary readBack(const std::string& path = {}) const {
        return *platform::parsePropertyList(
                    platform::readFile(path.empty() ? preferencesPath() : path))
                    .ifDictionary();
    }

    // Sets a value in one of the user's preference domains, the way another program would.
    void setDomainValue(const std::string& application, Host host, bool value) {
        PreferencesService(home.path())
            .setValue(kShowAll, PlistValue::boolean(value), application,
                      PreferencesService::User::current, host);
    }

    PlistValue domainValue(const std::string& application) const {
        return readBack(*PreferencesService(home.path()).domainPath(application, Host::current))
            .at(kShowAll);
    }

    // Every name in the preferences folder, hidden ones included.
    std::vector<std::string> preferencesFolderNames() const {
        std::vector<std::string> names;
        for (const auto& entry :
             std::filesystem::directory_iterator(deletingLastPathComponent(preferencesPath()))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // A file that is there but cannot be used reads with the fallbacks, says why naming
    // itself, and is never overwritten.
    void expectReadsAsMissingAndIsKept() {
        EXPECT_FALSE(manager.loadPreferencesDictionary().has_value());
        EXPECT_EQ(manager.currentPreferences(), kPreferred);
        EXPECT_TRUE(manager.plistChanges(kPreferred).empty());
        EXPECT_FALSE(manager.showsAllExtensions());
        const auto problem = manager.readPreferencesFile().problem;
        ASSERT_TRUE(problem.has_value());
        EXPECT_NE(problem->find(preferencesPath()), std::string::npos) << *problem;
        const auto before = preferencesFolderNames();
        const auto bytes = platform::isRegularFile(preferencesPath())
                               ? platform::readFile(preferencesPath())
                               : Bytes();
        EXPECT_LUMIFOLD_ERROR_CODE(manager.writePreferences(kPreferred),
                                   FinderPreferencesManager::kDomain,
                                   FinderPreferencesManager::kUnreadablePreferences);
        EXPECT_EQ(preferencesFolderNames(), before);
        if (platform::isRegularFile(preferencesPath())) {
            EXPECT_EQ(platform::readFile(preferencesPath()), bytes);
        }
        EXPECT_FALSE(platform::fileExists(home / "Library/Preferences/ByHost"));
    }

    lumifold::testing::TempHome home;
    FinderPreferencesManager manager{std::nullopt, home.path()};
};

// Reading ---------------------------------------------------------------------------------

TEST_F(FinderPreferencesManagerTest, NoFileReadsAsThePreferredSetWithoutChanges) {
    // The service is not consulted without a file, so a global "shown" does not count.
    setDomainValue(kAny, Host::any, true);
    EXPECT_EQ(manager.plistURL(), preferencesPath());
    EXPECT_EQ(manager.currentPreferences(), kPreferred);
    EXPECT_TRUE(manager.plistChanges(kPreferred).empty());
}

TEST_F(FinderPreferencesManagerTest, ReadsEveryFieldAndListsChangesInOrder) {
    writeEntries(
        "<key>FXPreferredViewStyle</key><string>Nlsv</string>"
        "<key>FXArrangeGroupViewBy</key><string>Kind</string>"
        "<key>AppleShowAllExtensions</key><true/>" +
        iconViewSettings("<key>arrangeBy</key><string>name</string>"
                         "<key>iconSize</key><real>64.5</real>"
                         "<key>gridSpacing</key><real>70</real>"
                         "<key>textSize</key><real>13</real>"
                         "<key>labelOnBottom</key><false/>"
                         "<key>showItemInfo</key><true/>"
                         "<key>showIconPreview</key><false/>"
                         "<key>backgroundType</key><integer>1</integer>"));
    const auto current = manager.currentPreferences();
    EXPECT_EQ(current, (FinderLayoutPreferences{"Nlsv", "Kind", "name", 64.5, 70.0, 13.0, false,
                                                true, false, 1, false}));

    // gridSpacing and backgroundType differ too, but are never listed.
    EXPECT_EQ(manager.plistChanges(kPreferred),
              (std::vector<SettingChange>{
                  globalChange("FXPreferredViewStyle", "Nlsv", "icnv"),
                  globalChange("FXArrangeGroupViewBy", "Kind", "None"),
                  globalChange(kPrefix + "arrangeBy", "name", "kind"),
                  globalChange(kPrefix + "iconSize", "64.5", "44.0"),
                  globalChange(kPrefix + "textSize", "13.0", "12.0"),
                  globalChange(kPrefix + "labelOnBottom", "false", "true"),
                  globalChange(kPrefix + "showItemInfo", "true", "false"),
                  globalChange(kPrefix + "showIconPreview", "false", "true"),
                  globalChange("AppleShowAllExtensions", "true (shown)", "false (hidden)"),
              }));
    EXPECT_TRUE(manager.plistChanges(current).empty());
}

TEST_F(FinderPreferencesManagerTest, SizesReadAsRealsAndCompareWithoutTolerance) {
    for (const auto& [element, oldText] : {std::pair{"<integer>64</integer>", "64.0"},
                                           std::pair{"<real>44.0001</real>", "44.0001"}}) {
        writeEntries(iconViewSettings(std::string("<key>iconSize</key>") + element));
        EXPECT_EQ(
            manager.plistChanges(kPreferred),
            (std::vector<SettingChange>{globalChange(kPrefix + "iconSize", oldText, "44.0")}));
    }
}

TEST_F(FinderPreferencesManagerTest, ValuesOfTheWrongTypeFallBack) {
    writeEntries(
        "<key>FXPreferredViewStyle</key><integer>1</integer>"
        "<key>FXArrangeGroupViewBy</key><dict/>"
        "<key>AppleShowAllExtensions</key><string>YES</string>" +
        iconViewSettings("<key>arrangeBy</key><true/>"
                         "<key>iconSize</key><string>64</string>"
                         "<key>gridSpacing</key><true/>"
                         "<key>textSize</key><date>2020-01-01T00:00:00Z</date>"
                         "<key>labelOnBottom</key><integer>0</integer>"
                         "<key>showItemInfo</key><string>true</string>"
                         "<key>showIconPreview</key><real>0</real>"
                         "<key>backgroundType</key><real>1</real>"));
    EXPECT_EQ(manager.currentPreferences(), kPreferred);
    EXPECT_FALSE(manager.showsAllExtensions());
}

TEST_F(FinderPreferencesManagerTest, IconViewFieldsNeedBothDictionaries) {
    for (const std::string standardViewSettings : {
             "",
             "<key>StandardViewSettings</key><dict><key>ListViewSettings</key><dict/></dict>",
             "<key>StandardViewSettings</key><string>icons</string>",
             "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><array/></dict>",
         }) {
        writeEntries("<key>FXPreferredViewStyle</key><string>clmv</string>" + standardViewSettings +
                     // Never read: only the Finder windows' settings count.
                     "<key>DesktopViewSettings</key><dict><key>IconViewSettings</key><dict>"
                     "<key>iconSize</key><real>80</real></dict></dict>"
                     "<key>FK_StandardViewSettings</key><dict><key>IconViewSettings</key>"
                     "<dict><key>iconSize</key><real>16</real></dict></dict>");
        auto expected = kPreferred;
        expected.viewStyle = "clmv";
        EXPECT_EQ(manager.currentPreferences(), expected) << standardViewSettings;
    }
}

TEST_F(FinderPreferencesManagerTest, ExtensionVisibilityComesFromTheFileThenTheService) {
    // With no global value, showsAllExtensions falls back to the file.
    writeEntries("<key>AppleShowAllExtensions</key><true/>");
    EXPECT_TRUE(manager.showsAllExtensions());

    writeEntries("<key>FXPreferredViewStyle</key><string>icnv</string>");
    EXPECT_TRUE(manager.currentPreferences().hideFileExtensions);
    setDomainValue("com.apple.finder", Host::current, true);
    EXPECT_FALSE(manager.currentPreferences().hideFileExtensions);
    // showsAllExtensions asks only the global domain and the file.
    EXPECT_FALSE(manager.showsAllExtensions());
    setDomainValue(kAny, Host::any, false);
    EXPECT_TRUE(manager.currentPreferences().hideFileExtensions);

    // The file's own value comes first for the layout, the global domain for the answer.
    writeEntries("<key>AppleShowAllExtensions</key><true/>");
    EXPECT_FALSE(manager.currentPreferences().hideFileExtensions);
    EXPECT_FALSE(manager.showsAllExtensions());
    setDomainValue(kAny, Host::any, true);
    EXPECT_TRUE(manager.showsAllExtensions());
}

// Damaged files: reading never fails -------------------------------------------------------

TEST_F(FinderPreferencesManagerTest, DamagedFilesReadAsMissingAndAreNeverOverwritten) {
    const std::string xml =
        xmlPlist("<dict><key>AppleShowAllExtensions</key><true/>" +
                 iconViewSettings("<key>iconSize</key><integer>64</integer>") + "</dict>");
    const std::string binary(asText(platform::toBinaryPropertyList(
        PlistValue::dictionary({{kShowAll, PlistValue::boolean(true)},
                                {"FXPreferredViewStyle", PlistValue::string("Nlsv")}}))));
    int index = 0;
    for (const std::string& damaged :
         {xmlPlist("<array><string>icnv</string></array>"), std::string(), xml.substr(0, 10),
          xml.substr(0, xml.size() / 2), xml.substr(0, xml.size() - 10), binary.substr(0, 8),
          binary.substr(0, binary.size() / 2), binary.substr(0, binary.size() - 1),
          std::string("\xff\xfe\x00\x01garbage\x80\x81", 13),
          "bplist00" + std::string(200, '\xff')}) {
        SCOPED_TRACE(index++);
        writeFile(damaged);
        expectReadsAsMissingAndIsKept();
    }

    ::unlink(preferencesPath().c_str());
    home.makeFolder(kPreferencesFile);
    expectReadsAsMissingAndIsKept();
    ::rmdir(preferencesPath().c_str());
    // A FIFO would block a plain read until someone writes to it.
    ASSERT_EQ(::mkfifo(preferencesPath().c_str(), 0600), 0);
    expectReadsAsMissingAndIsKept();
    ::unlink(preferencesPath().c_str());
    ASSERT_EQ(::symlink("/dev/zero", preferencesPath().c_str()), 0);
    expectReadsAsMissingAndIsKept();
}

TEST_F(FinderPreferencesManagerTest, FiftyMegabyteFilesReadWithoutFailing) {
    constexpr std::size_t kSize = 50u * 1024 * 1024;
    std::string garbage = "bplist00";
    garbage.resize(kSize, '\x5a');
    writeFile(garbage);
    expectReadsAsMissingAndIsKept();

    // A well-formed one is read in full, or refused as too large and read as missing.
    home.writeFile(kPreferencesFile,
                   platform::toBinaryPropertyList(PlistValue::dictionary(
                       {{"FXPreferredViewStyle", PlistValue::string("Nlsv")},
                        {"Padding", PlistValue::data(Bytes(kSize, std::byte{0x5a}))}})));
    const auto current = manager.currentPreferences();
    EXPECT_TRUE(current.viewStyle == "Nlsv" || current.viewStyle == "icnv") << current.viewStyle;
}

// Writing ---------------------------------------------------------------------------------

TEST_F(FinderPreferencesManagerTest, WritingKeepsUnrelatedKeys) {
    const std::string keptIconView =
        "<dict><key>IconViewSettings</key><dict><key>customKey</key><string>keep me</string>";
    writeEntries(
        "<key>NSWindowFrame</key><string>0 0 800 600</string>"
        "<key>FXRecentFolders</key><array><data>AAEC</data></array>"
        "<key>FXPreferredViewStyle</key><string>Nlsv</string>"
        "<key>StandardViewSettings</key>" +
        keptIconView +
        "<key>iconSize</key><integer>64</integer></dict>"
        "<key>SettingsType</key><string>Standard</string></dict>"
        "<key>DesktopViewSettings</key>" +
        keptIconView + "</dict></dict><key>FK_StandardViewSettings</key>" + keptIconView +
        "</dict></dict>");
    const auto target = FinderLayoutPreferences::preferred(60.0);
    manager.writePreferences(target);

    const PlistDictionary written = readBack();
    EXPECT_EQ(written.at("NSWindowFrame"), PlistValue::string("0 0 800 600"));
    EXPECT_EQ(
        written.at("FXRecentFolders"),
        PlistValue::array({PlistValue::data(Bytes{std::byte{0}, std::byte{1}, std::byte{2}})}));
    EXPECT_EQ(dictionaryIn(written, "StandardViewSettings").at("SettingsType"),
              PlistValue::string("Standard"));
    const PlistDictionary expectedIconView = {
        {"customKey", PlistValue::string("keep me")},
        {"arrangeBy", PlistValue::string("kind")},
        {"iconSize", PlistValue::real(44.0)},
        {"gridSpacing", PlistValue::real(60.0)},
        {"textSize", PlistValue::real(12.0)},
        {"labelOnBottom", PlistValue::boolean(true)},
        {"showItemInfo", PlistValue::boolean(false)},
        {"showIconPreview", PlistValue::boolean(true)},
        {"backgroundType", PlistValue::integer(0)},
    };
    for (const char* key :
         {"StandardViewSettings", "FK_StandardViewSettings", "DesktopViewSettings"}) {
        EXPECT_EQ(dictionaryIn(dictionaryIn(written, key), "IconViewSettings"), expectedIconView)
            << key;
    }
    // Everything else written reads back (AppleShowAllExtensions from the file first).
    EXPECT_EQ(manager.currentPreferences(), target);
    EXPECT_TRUE(manager.plistChanges(target).empty());
    // Nothing but the preferences file itself (and no temporary file) is left in the folder.
    EXPECT_EQ(preferencesFolderNames(),
              (std::vector<std::string>{"ByHost", "com.apple.finder.plist"}));
}

TEST_F(FinderPreferencesManagerTest, WritingWithoutAFileCreatesOnlyTheWrittenKeys) {
    manager.writePreferences(kPreferred);
    const PlistDictionary written = readBack();
    std::vector<std::string> keys;
    for (const auto& [key, value] : written) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"AppleShowAllExtensions", "DesktopViewSettings",
                                              "FK_StandardViewSettings", "FXArrangeGroupViewBy",
                                              "FXPreferredViewStyle", "StandardViewSettings"}));
    EXPECT_EQ(dictionaryIn(dictionaryIn(written, "DesktopViewSettings"), "IconViewSettings").size(),
              8u);
    EXPECT_EQ(manager.currentPreferences(), kPreferred);
}

TEST_F(FinderPreferencesManagerTest, AFileChangedSincePlanningIsLeftAsItsWriterLeftIt) {
    writeEntries("<key>FXPreferredViewStyle</key><string>Nlsv</string>");
    const PreferencesFile planned = manager.readPreferencesFile();
    writeEntries("<key>FXPreferredViewStyle</key><string>clmv</string>");
    const Bytes changed = platform::readFile(preferencesPath());
    const PreferencesWrite written = manager.writePreferences(kPreferred, planned, {});
    EXPECT_FALSE(written.fileWritten);
    EXPECT_EQ(platform::readFile(preferencesPath()), changed);
}

TEST_F(FinderPreferencesManagerTest, WritingPushesExtensionVisibilityThroughTheService) {
    // Another program made extensions visible for every host; the current-host value written
    // below takes precedence over it.
    setDomainValue(kAny, Host::any, true);
    manager.writePreferences(kPreferred);
    EXPECT_EQ(readBack().at(kShowAll), PlistValue::boolean(false));
    EXPECT_EQ(domainValue(kAny), PlistValue::boolean(false));
    EXPECT_EQ(domainValue("com.apple.finder"), PlistValue::boolean(false));
    EXPECT_FALSE(manager.showsAllExtensions());

    auto showing = kPreferred;
    showing.hideFileExtensions = false;
    manager.writePreferences(showing);
    EXPECT_EQ(readBack().at(kShowAll), PlistValue::boolean(true));
    EXPECT_EQ(domainValue("com.apple.finder"), PlistValue::boolean(true));
    EXPECT_TRUE(manager.showsAllExtensions());
}

TEST_F(FinderPreferencesManagerTest, WritingToAnotherPathUsesItsNameAndLeavesTheDefaultAlone) {
    const std::string custom = home / "profiles/Finder.plist";
    FinderPreferencesManager other(custom, home.path());
    EXPECT_EQ(other.plistURL(), custom);
    auto target = kPreferred;
    target.viewStyle = "clmv";
    const auto changes = other.plistChanges(target);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].target, "Finder.plist");
    other.writePreferences(target);
    EXPECT_EQ(other.currentPreferences(), target);
    EXPECT_FALSE(platform::fileExists(preferencesPath()));
}

TEST_F(FinderPreferencesManagerTest, PreferencesKeptAsALinkAreWrittenThroughIt) {
    const std::string synced = home.writeFile("Sync/com.apple.finder.plist", "");
    writeEntries("<key>ShowPathbar</key><true/>");
    platform::copyFile(preferencesPath(), synced);
    ::unlink(preferencesPath().c_str());
    ASSERT_EQ(::symlink(synced.c_str(), preferencesPath().c_str()), 0);
    manager.writePreferences(kPreferred);
    EXPECT_TRUE(platform::isSymbolicLink(preferencesPath()));
    EXPECT_EQ(manager.currentPreferences(), kPreferred);
    EXPECT_TRUE(manager.loadPreferencesDictionary()->contains("ShowPathbar"));
    EXPECT_EQ(preferencesFolderNames(),
              (std::vector<std::string>{"ByHost", "com.apple.finder.plist"}));
}

TEST_F(FinderPreferencesManagerTest, UnwritableFolderRaisesAndKeepsTheFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    writeEntries("<key>FXPreferredViewStyle</key><string>Nlsv</string>");
    const std::string folder = deletingLastPathComponent(preferencesPath());
    platform::setPermissionBits(folder, 0500);
    EXPECT_LUMIFOLD_ERROR_CODE(manager.writePreferences(kPreferred), "POSIX", EACCES);
    platform::setPermissionBits(folder, 0700);
    EXPECT_EQ(manager.currentPreferences().viewStyle, "Nlsv");
    EXPECT_EQ(preferencesFolderNames(), (std::vector<std::string>{"com.apple.finder.plist"}));
}

}  // namespace
}  // namespace lumifold
