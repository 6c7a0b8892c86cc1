#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
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

constexpr const char* kPreferencesFile = "Library/Preferences/com.apple.finder.plist";
constexpr const char* kPrefix = "StandardViewSettings.IconViewSettings.";

constexpr const char* kXmlHeader = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
)";

std::string xmlPlist(const std::string& topLevel) { return kXmlHeader + topLevel + "\n</plist>\n"; }

std::string xmlDictionary(const std::string& entries) { return "<dict>" + entries + "</dict>"; }

std::string iconViewSettings(const std::string& entries) {
    return "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><dict>" + entries +
           "</dict></dict>";
}

SettingChange globalChange(std::string key, std::string oldValue, std::string newValue) {
    return SettingChange{"com.apple.finder.plist", std::move(key), std::move(oldValue),
                         std::move(newValue), "Global Preference"};
}

class FinderPreferencesManagerTest : public ::testing::Test {
  protected:
    FinderPreferencesManager& manager() { return m_manager; }
    std::string preferencesPath() const { return home / kPreferencesFile; }

    void writeFile(const std::string& text) { home.writeFile(kPreferencesFile, text); }
    void writeEntries(const std::string& entries) { writeFile(xmlPlist(xmlDictionary(entries))); }
    void writeBytes(ByteView bytes) { home.writeFile(kPreferencesFile, bytes); }
    // For loops that rewrite the file many times: no atomic rename, no flush.
    void writeWithoutSync(ByteView bytes) {
        std::ofstream file(preferencesPath(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

    // The file as the Finder would read it.
    PlistDictionary readBack() const {
        PlistValue value = platform::parsePropertyList(platform::readFile(preferencesPath()));
        const PlistDictionary* dictionary = value.ifDictionary();
        if (dictionary == nullptr) throw std::runtime_error("top level is not a dictionary");
        return *dictionary;
    }

    static const PlistDictionary& dictionaryIn(const PlistDictionary& dictionary,
                                               const std::string& key) {
        const PlistDictionary* inner = dictionary.at(key).ifDictionary();
        if (inner == nullptr) throw std::runtime_error(key + " is not a dictionary");
        return *inner;
    }

    // Sets a value in one of the user's preference domains, the way another program would.
    void setDomainValue(const std::string& application, PreferencesService::Host host,
                        const std::string& key, bool value) {
        PreferencesService service(home.path());
        service.setValue(key, PlistValue::boolean(value), application,
                         PreferencesService::User::current, host);
    }

    std::optional<PlistValue> domainValue(const std::string& application,
                                          PreferencesService::Host host,
                                          const std::string& key) const {
        const PreferencesService service(home.path());
        const std::string path = *service.domainPath(application, host);
        if (!platform::fileExists(path)) return std::nullopt;
        PlistValue value = platform::parsePropertyList(platform::readFile(path));
        const auto& dictionary = *value.ifDictionary();
        const auto found = dictionary.find(key);
        if (found == dictionary.end()) return std::nullopt;
        return found->second;
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

    void expectReadsAsMissing() {
        EXPECT_FALSE(manager().loadPreferencesDictionary().has_value());
        EXPECT_EQ(manager().currentPreferences(), FinderLayoutPreferences::preferred(54.0));
        EXPECT_TRUE(manager().plistChanges(FinderLayoutPreferences::preferred(54.0)).empty());
        EXPECT_FALSE(manager().showsAllExtensions());
    }

    lumifold::testing::TempHome home;

  private:
    FinderPreferencesManager m_manager{std::nullopt, home.path()};
};

// Reading ---------------------------------------------------------------------------------

TEST_F(FinderPreferencesManagerTest, LocatesTheFileInTheGivenHome) {
    EXPECT_EQ(manager().plistURL(), preferencesPath());
    const FinderPreferencesManager custom("/elsewhere/Custom.plist", home.path());
    EXPECT_EQ(custom.plistURL(), "/elsewhere/Custom.plist");
}

TEST_F(FinderPreferencesManagerTest, NoFileReadsAsThePreferredSetWithoutChanges) {
    // The service is not consulted without a file, so a global "shown" does not count.
    setDomainValue(PreferencesService::kAnyApplication, PreferencesService::Host::any,
                   "AppleShowAllExtensions", true);
    EXPECT_FALSE(manager().loadPreferencesDictionary().has_value());
    const auto current = manager().currentPreferences();
    EXPECT_EQ(current, (FinderLayoutPreferences{"icnv", "None", "kind", 44.0, 54.0, 12.0, true,
                                                false, true, 0, true}));
    EXPECT_TRUE(manager().plistChanges(FinderLayoutPreferences::preferred(54.0)).empty());
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
    const auto current = manager().currentPreferences();
    EXPECT_EQ(current, (FinderLayoutPreferences{"Nlsv", "Kind", "name", 64.5, 70.0, 13.0, false,
                                                true, false, 1, false}));

    // gridSpacing and backgroundType differ too, but are never listed.
    const std::string p = kPrefix;
    EXPECT_EQ(manager().plistChanges(FinderLayoutPreferences::preferred(54.0)),
              (std::vector<SettingChange>{
                  globalChange("FXPreferredViewStyle", "Nlsv", "icnv"),
                  globalChange("FXArrangeGroupViewBy", "Kind", "None"),
                  globalChange(p + "arrangeBy", "name", "kind"),
                  globalChange(p + "iconSize", "64.5", "44.0"),
                  globalChange(p + "textSize", "13.0", "12.0"),
                  globalChange(p + "labelOnBottom", "false", "true"),
                  globalChange(p + "showItemInfo", "true", "false"),
                  globalChange(p + "showIconPreview", "false", "true"),
                  globalChange("AppleShowAllExtensions", "true (shown)", "false (hidden)"),
              }));
    EXPECT_TRUE(manager().plistChanges(current).empty());
}

TEST_F(FinderPreferencesManagerTest, IntegerIconSizeReadsAsReal) {
    writeEntries(iconViewSettings("<key>iconSize</key><integer>64</integer>"));
    EXPECT_EQ(manager().currentPreferences().iconSize, 64.0);
    EXPECT_EQ(manager().plistChanges(FinderLayoutPreferences::preferred(54.0)),
              (std::vector<SettingChange>{
                  globalChange(std::string(kPrefix) + "iconSize", "64.0", "44.0")}));
}

TEST_F(FinderPreferencesManagerTest, SizesCompareWithoutTolerance) {
    writeEntries(iconViewSettings("<key>iconSize</key><real>44.0001</real>"));
    const auto changes = manager().plistChanges(FinderLayoutPreferences::preferred(54.0));
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].oldValue, "44.0001");
}

TEST_F(FinderPreferencesManagerTest, ShownExtensionsGiveTheLastChange) {
    writeEntries("<key>AppleShowAllExtensions</key><true/>" +
                 iconViewSettings("<key>textSize</key><integer>16</integer>"));
    const auto changes = manager().plistChanges(FinderLayoutPreferences::preferred(54.0));
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes.back(),
              globalChange("AppleShowAllExtensions", "true (shown)", "false (hidden)"));
    EXPECT_EQ(changes.back().identity(), "com.apple.finder.plist:AppleShowAllExtensions");
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
    EXPECT_EQ(manager().currentPreferences(), FinderLayoutPreferences::preferred(54.0));
    EXPECT_FALSE(manager().showsAllExtensions());
}

TEST_F(FinderPreferencesManagerTest, IconViewFieldsNeedBothDictionaries) {
    const auto expectFallbacks = [&](const std::string& standardViewSettings) {
        writeEntries("<key>FXPreferredViewStyle</key><string>clmv</string>" + standardViewSettings +
                     // Never read: only the Finder windows' settings count.
                     "<key>DesktopViewSettings</key><dict><key>IconViewSettings</key><dict>"
                     "<key>iconSize</key><real>80</real></dict></dict>"
                     "<key>FK_StandardViewSettings</key><dict><key>IconViewSettings</key>"
                     "<dict><key>iconSize</key><real>16</real></dict></dict>");
        auto expected = FinderLayoutPreferences::preferred(54.0);
        expected.viewStyle = "clmv";
        EXPECT_EQ(manager().currentPreferences(), expected) << standardViewSettings;
    };
    expectFallbacks("");
    expectFallbacks(
        "<key>StandardViewSettings</key><dict><key>ListViewSettings</key><dict/></dict>");
    expectFallbacks("<key>StandardViewSettings</key><string>icons</string>");
    expectFallbacks(
        "<key>StandardViewSettings</key><dict><key>IconViewSettings</key><array/></dict>");
}

TEST_F(FinderPreferencesManagerTest, ExtensionVisibilityComesFromTheFileThenTheService) {
    writeEntries("<key>FXPreferredViewStyle</key><string>icnv</string>");
    EXPECT_TRUE(manager().currentPreferences().hideFileExtensions);

    setDomainValue("com.apple.finder", PreferencesService::Host::current, "AppleShowAllExtensions",
                   true);
    EXPECT_FALSE(manager().currentPreferences().hideFileExtensions);
    // showsAllExtensions asks only the global domain and the file.
    EXPECT_FALSE(manager().showsAllExtensions());

    setDomainValue(PreferencesService::kAnyApplication, PreferencesService::Host::any,
                   "AppleShowAllExtensions", false);
    EXPECT_TRUE(manager().currentPreferences().hideFileExtensions);
    EXPECT_FALSE(manager().showsAllExtensions());

    // The file's own value comes first for the layout, the global domain for the answer.
    writeEntries("<key>AppleShowAllExtensions</key><true/>");
    EXPECT_FALSE(manager().currentPreferences().hideFileExtensions);
    EXPECT_FALSE(manager().showsAllExtensions());
    setDomainValue(PreferencesService::kAnyApplication, PreferencesService::Host::any,
                   "AppleShowAllExtensions", true);
    EXPECT_TRUE(manager().showsAllExtensions());
}

TEST_F(FinderPreferencesManagerTest, ShowsAllExtensionsFallsBackToTheFile) {
    EXPECT_FALSE(manager().showsAllExtensions());
    writeEntries("<key>AppleShowAllExtensions</key><true/>");
    EXPECT_TRUE(manager().showsAllExtensions());
}

// Damaged files: reading never fails -------------------------------------------------------

TEST_F(FinderPreferencesManagerTest, TopLevelArrayReadsAsMissing) {
    writeFile(xmlPlist("<array><string>icnv</string></array>"));
    expectReadsAsMissing();
}

TEST_F(FinderPreferencesManagerTest, TruncatedAndGarbageFilesReadAsMissing) {
    const std::string xml =
        xmlPlist(xmlDictionary("<key>AppleShowAllExtensions</key><true/>" +
                               iconViewSettings("<key>iconSize</key><integer>64</integer>")));
    for (const std::size_t length :
         {std::size_t{0}, std::size_t{10}, xml.size() / 2, xml.size() - 10}) {
        writeFile(xml.substr(0, length));
        expectReadsAsMissing();
    }

    const PlistDictionary dictionary = {{"AppleShowAllExtensions", PlistValue::boolean(true)},
                                        {"FXPreferredViewStyle", PlistValue::string("Nlsv")}};
    const Bytes binary = platform::toBinaryPropertyList(PlistValue::dictionary(dictionary));
    for (const std::size_t length : {std::size_t{8}, binary.size() / 2, binary.size() - 1}) {
        writeBytes(ByteView(binary).first(length));
        expectReadsAsMissing();
    }

    writeFile(std::string("\xff\xfe\x00\x01garbage\x80\x81", 13));
    expectReadsAsMissing();
    writeFile("bplist00" + std::string(200, '\xff'));
    expectReadsAsMissing();
}

TEST_F(FinderPreferencesManagerTest, CorruptedBinaryFilesNeverFailToRead) {
    const PlistDictionary settings =
        FinderLayoutPreferences{"Nlsv", "Kind", "name", 64, 70, 13, false, true, false, 1, false}
            .iconViewOptionsDictionary();
    const Bytes original = platform::toBinaryPropertyList(PlistValue::dictionary(
        {{"FXPreferredViewStyle", PlistValue::string("Nlsv")},
         {"StandardViewSettings",
          PlistValue::dictionary({{"IconViewSettings", PlistValue::dictionary(settings)}})}}));
    const unsigned seed = 20240601;
    std::mt19937 random(seed);
    for (int round = 0; round < 200; ++round) {
        Bytes corrupted = original;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int flip = 0; flip < flips; ++flip) {
            corrupted[random() % corrupted.size()] = static_cast<std::byte>(random() & 0xff);
        }
        writeWithoutSync(corrupted);
        // Whatever survives the corruption, each call answers.
        EXPECT_NO_THROW({
            manager().currentPreferences();
            manager().plistChanges(FinderLayoutPreferences::preferred(54.0));
            manager().showsAllExtensions();
        }) << "seed "
           << seed << ", round " << round;
    }
}

TEST_F(FinderPreferencesManagerTest, NonRegularFilesReadAsMissing) {
    home.makeFolder("Library/Preferences/com.apple.finder.plist");
    expectReadsAsMissing();
    ::rmdir(preferencesPath().c_str());
    // A FIFO would block a plain read until someone writes to it.
    ASSERT_EQ(::mkfifo(preferencesPath().c_str(), 0600), 0);
    expectReadsAsMissing();
}

TEST_F(FinderPreferencesManagerTest, FiftyMegabyteFilesReadWithoutFailing) {
    constexpr std::size_t kSize = 50u * 1024 * 1024;
    std::string garbage = "bplist00";
    garbage.resize(kSize, '\x5a');
    writeFile(garbage);
    expectReadsAsMissing();

    // A well-formed one is read in full, or refused as too large and read as missing.
    writeBytes(platform::toBinaryPropertyList(
        PlistValue::dictionary({{"FXPreferredViewStyle", PlistValue::string("Nlsv")},
                                {"Padding", PlistValue::data(Bytes(kSize, std::byte{0x5a}))}})));
    const auto current = manager().currentPreferences();
    EXPECT_TRUE(current.viewStyle == "Nlsv" || current.viewStyle == "icnv") << current.viewStyle;
}

// Writing ---------------------------------------------------------------------------------

TEST_F(FinderPreferencesManagerTest, WritingKeepsUnrelatedKeys) {
    const std::string keep = "<key>customKey</key><string>keep me</string>";
    writeEntries(
        "<key>NSWindowFrame</key><string>0 0 800 600</string>"
        "<key>FXRecentFolders</key><array><data>AAEC</data></array>"
        "<key>FXPreferredViewStyle</key><string>Nlsv</string>"
        "<key>StandardViewSettings</key><dict><key>SettingsType</key><string>Standard"
        "</string><key>IconViewSettings</key><dict>" +
        keep + "<key>iconSize</key><integer>64</integer></dict></dict>" +
        "<key>DesktopViewSettings</key><dict><key>IconViewSettings</key><dict>" + keep +
        "</dict></dict>" + "<key>FK_StandardViewSettings</key><dict><key>" +
        "IconViewSettings</key><dict>" + keep + "</dict></dict>");
    const auto target = FinderLayoutPreferences::preferred(60.0);
    manager().writePreferences(target);

    const PlistDictionary written = readBack();
    EXPECT_EQ(written.at("NSWindowFrame"), PlistValue::string("0 0 800 600"));
    EXPECT_EQ(
        written.at("FXRecentFolders"),
        PlistValue::array({PlistValue::data(Bytes{std::byte{0}, std::byte{1}, std::byte{2}})}));
    EXPECT_EQ(written.at("FXPreferredViewStyle"), PlistValue::string("icnv"));
    EXPECT_EQ(written.at("FXArrangeGroupViewBy"), PlistValue::string("None"));
    EXPECT_EQ(written.at("AppleShowAllExtensions"), PlistValue::boolean(false));
    EXPECT_EQ(dictionaryIn(written, "StandardViewSettings").at("SettingsType"),
              PlistValue::string("Standard"));

    PlistDictionary expectedIconView = {
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

    EXPECT_EQ(manager().currentPreferences(), target);
    EXPECT_TRUE(manager().plistChanges(target).empty());
    // Nothing but the preferences file itself (and no temporary file) is left in the folder.
    EXPECT_EQ(preferencesFolderNames(),
              (std::vector<std::string>{"ByHost", "com.apple.finder.plist"}));
}

TEST_F(FinderPreferencesManagerTest, WritingInAFreshHomeCreatesOnlyTheWrittenKeys) {
    manager().writePreferences(FinderLayoutPreferences::preferred(54.0));
    PlistDictionary written = readBack();
    std::vector<std::string> keys;
    for (const auto& [key, value] : written) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"AppleShowAllExtensions", "DesktopViewSettings",
                                              "FK_StandardViewSettings", "FXArrangeGroupViewBy",
                                              "FXPreferredViewStyle", "StandardViewSettings"}));
    EXPECT_EQ(dictionaryIn(dictionaryIn(written, "DesktopViewSettings"), "IconViewSettings").size(),
              8u);
}

TEST_F(FinderPreferencesManagerTest, WritingReplacesATopLevelArray) {
    writeFile(xmlPlist("<array><string>NSWindowFrame</string></array>"));
    manager().writePreferences(FinderLayoutPreferences::preferred(54.0));
    const PlistDictionary written = readBack();
    EXPECT_EQ(written.size(), 6u);
    EXPECT_FALSE(written.contains("NSWindowFrame"));
    EXPECT_EQ(manager().currentPreferences(), FinderLayoutPreferences::preferred(54.0));
}

TEST_F(FinderPreferencesManagerTest, WritingPushesExtensionVisibilityThroughTheService) {
    using Host = PreferencesService::Host;
    // Another program made extensions visible for every host; the current-host value written
    // below takes precedence over it.
    setDomainValue(PreferencesService::kAnyApplication, Host::any, "AppleShowAllExtensions", true);
    manager().writePreferences(FinderLayoutPreferences::preferred(54.0));
    EXPECT_EQ(readBack().at("AppleShowAllExtensions"), PlistValue::boolean(false));
    EXPECT_EQ(
        domainValue(PreferencesService::kAnyApplication, Host::current, "AppleShowAllExtensions"),
        PlistValue::boolean(false));
    EXPECT_EQ(domainValue("com.apple.finder", Host::current, "AppleShowAllExtensions"),
              PlistValue::boolean(false));
    EXPECT_FALSE(manager().showsAllExtensions());

    auto showing = FinderLayoutPreferences::preferred(54.0);
    showing.hideFileExtensions = false;
    manager().writePreferences(showing);
    EXPECT_EQ(readBack().at("AppleShowAllExtensions"), PlistValue::boolean(true));
    EXPECT_EQ(domainValue("com.apple.finder", Host::current, "AppleShowAllExtensions"),
              PlistValue::boolean(true));
    EXPECT_TRUE(manager().showsAllExtensions());
}

TEST_F(FinderPreferencesManagerTest, WritingToAnotherPathUsesItsNameAndLeavesTheDefaultAlone) {
    const std::string custom = home / "profiles/Finder.plist";
    FinderPreferencesManager other(custom, home.path());
    auto target = FinderLayoutPreferences::preferred(54.0);
    target.viewStyle = "clmv";
    const auto changes = other.plistChanges(target);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].target, "Finder.plist");
    other.writePreferences(target);
    EXPECT_EQ(other.currentPreferences(), target);
    EXPECT_FALSE(platform::fileExists(preferencesPath()));
}

TEST_F(FinderPreferencesManagerTest, FailedReplacementRaisesAndLeavesTheTemporaryFile) {
    // A folder in the file's place cannot be replaced by a file.
    home.writeFile(std::string(kPreferencesFile) + "/inside", "x");
    EXPECT_LUMIFOLD_ERROR_CODE(manager().writePreferences(FinderLayoutPreferences::preferred(54.0)),
                               "POSIX", EISDIR);
    const std::regex temporaryName(
        R"(\.finder\.plist\.tmp\.[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})");
    std::vector<std::string> temporaries;
    for (const auto& name : preferencesFolderNames()) {
        if (std::regex_match(name, temporaryName)) temporaries.push_back(name);
    }
    EXPECT_EQ(temporaries.size(), 1u);
    // The service was not told anything.
    EXPECT_FALSE(platform::fileExists(home / "Library/Preferences/ByHost"));
}

TEST_F(FinderPreferencesManagerTest, UnwritableFolderRaisesAndKeepsTheFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    writeEntries("<key>FXPreferredViewStyle</key><string>Nlsv</string>");
    const std::string folder = deletingLastPathComponent(preferencesPath());
    platform::setPermissionBits(folder, 0500);
    EXPECT_LUMIFOLD_ERROR_CODE(manager().writePreferences(FinderLayoutPreferences::preferred(54.0)),
                               "POSIX", EACCES);
    platform::setPermissionBits(folder, 0700);
    EXPECT_EQ(manager().currentPreferences().viewStyle, "Nlsv");
    EXPECT_EQ(preferencesFolderNames(), (std::vector<std::string>{"com.apple.finder.plist"}));
}

}  // namespace
}  // namespace lumifold
