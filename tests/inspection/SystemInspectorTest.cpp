#include <gtest/gtest.h>

#include <regex>

#include "core/inspection/SystemInspector.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PropertyList.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using platform::PlistValue;
using platform::ProcessResult;

class SystemInspectorTest : public ::testing::Test {
  protected:
    // An inspector whose sw_vers gives `result`, recording how it was asked.
    SystemEnvironmentInfo inspectWith(ProcessResult result,
                                      std::optional<std::string> preferencesPath = std::nullopt) {
        SystemInspectorHost host = SystemInspectorHost::system();
        host.runProcess = [this, result](const std::string& path,
                                         const std::vector<std::string>& args) {
            calls.push_back({path, args});
            return result;
        };
        return SystemInspector(home.path(), std::move(host)).inspect(std::move(preferencesPath));
    }

    static ProcessResult printed(std::string output) {
        return {.started = true, .exitStatus = 0, .standardOutput = std::move(output)};
    }

    testing::TempHome home;
    std::vector<std::pair<std::string, std::vector<std::string>>> calls;
};

TEST_F(SystemInspectorTest, BuildVersionIsTheTrimmedOutputOfSwVers) {
    EXPECT_EQ(inspectWith(printed("23F79\n")).buildVersion, "23F79");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, "/usr/bin/sw_vers");
    EXPECT_EQ(calls[0].second, std::vector<std::string>{"-buildVersion"});
    EXPECT_EQ(inspectWith(printed(" \t22G120 \r\n")).buildVersion, "22G120");
    // The exit status is not examined.
    EXPECT_EQ(
        inspectWith({.started = true, .exitStatus = 1, .standardOutput = "X1\n"}).buildVersion,
        "X1");
}

TEST_F(SystemInspectorTest, BuildVersionIsUnknownWithoutUsableOutput) {
    EXPECT_EQ(inspectWith(printed("")).buildVersion, "Unknown");
    EXPECT_EQ(inspectWith(printed(" \n\n")).buildVersion, "Unknown");
    EXPECT_EQ(inspectWith(printed("23F\xFF"
                                  "79\n"))
                  .buildVersion,
              "Unknown");
    EXPECT_EQ(inspectWith(ProcessResult{}).buildVersion, "Unknown");
}

TEST_F(SystemInspectorTest, TheRealSwVersIsAskedOrMissing) {
    const SystemEnvironmentInfo info = SystemInspector(home.path()).inspect();
    if (!platform::fileExists(SystemInspector::kSwVersPath)) {
        EXPECT_EQ(info.buildVersion, "Unknown");
    }
    EXPECT_FALSE(info.buildVersion.empty());
    EXPECT_TRUE(std::regex_match(info.osVersion, std::regex(R"(\d+\.\d+\.\d+)"))) << info.osVersion;
#if defined(__x86_64__)
    EXPECT_EQ(info.architecture, "Intel (x86_64)");
#elif defined(__aarch64__)
    EXPECT_EQ(info.architecture, "ARM (arm64)");
#endif
}

TEST_F(SystemInspectorTest, WithoutAPreferencesFileTheFallbackDefaultsAreShown) {
    const auto info = inspectWith(printed("A1"));
    EXPECT_EQ(info.currentFinderDefaults, FinderLayoutPreferences::preferred(54.0));
    EXPECT_EQ(info.defaultGridSpacing, 54.0);
}

TEST_F(SystemInspectorTest, AnIntegerGridSpacingIsReadAsAReal) {
    platform::PlistDictionary iconView = {{"gridSpacing", PlistValue::integer(60)},
                                          {"iconSize", PlistValue::real(64)}};
    platform::PlistDictionary standard = {{"IconViewSettings", PlistValue::dictionary(iconView)}};
    platform::PlistDictionary root = {{"StandardViewSettings", PlistValue::dictionary(standard)},
                                      {"FXPreferredViewStyle", PlistValue::string("Nlsv")}};
    const std::string xml = platform::toXmlPropertyList(PlistValue::dictionary(root));
    const std::string custom = home.writeFile("prefs/finder.plist", xml);

    const auto info = inspectWith(printed("A1"), custom);
    EXPECT_EQ(info.defaultGridSpacing, 60.0);
    EXPECT_EQ(info.currentFinderDefaults.iconSize, 64.0);
    EXPECT_EQ(info.currentFinderDefaults.viewStyle, "Nlsv");

    // Without a path, the home directory's own preferences file is read.
    home.writeFile("Library/Preferences/com.apple.finder.plist", xml);
    EXPECT_EQ(inspectWith(printed("A1")).defaultGridSpacing, 60.0);
}

TEST_F(SystemInspectorTest, TheReferenceListsAreFixed) {
    const auto info = inspectWith(printed("A1"));
    ASSERT_EQ(info.supportedAPIsSummary.size(), 8u);
    ASSERT_EQ(info.undocumentedFieldsSummary.size(), 8u);
    EXPECT_EQ(info.supportedAPIsSummary[1],
              "FXPreferredViewStyle: global view style (icnv = icon, clmv = column, Nlsv = list, "
              "Flwv = gallery)");
    EXPECT_EQ(info.supportedAPIsSummary[7],
              "URLResourceKey.hasHiddenExtensionKey: per-file extension visibility flag in file "
              "system metadata");
    EXPECT_EQ(info.undocumentedFieldsSummary[0],
              ".DS_Store binary buddy allocator & B-tree format (Apple proprietary Desktop "
              "Services Store)");
    EXPECT_EQ(info.undocumentedFieldsSummary[7],
              "dilc (blob): desktop icon layout coordinates (MUST BE PRESERVED)");
}

TEST_F(SystemInspectorTest, EnvironmentJsonNeedsAllSevenKeys) {
    const auto info = inspectWith(printed("A1"));
    const nlohmann::json json = info;
    EXPECT_EQ(json.size(), 7u);
    EXPECT_EQ(json.at("currentFinderDefaults").at("viewStyle"), "icnv");
    EXPECT_EQ(json.get<SystemEnvironmentInfo>(), info);
    for (const auto& [key, value] : json.items()) {
        nlohmann::json missing = json;
        missing.erase(key);
        EXPECT_THROW((void)missing.get<SystemEnvironmentInfo>(), nlohmann::json::exception) << key;
    }
    nlohmann::json wrongList = json;
    wrongList["supportedAPIsSummary"] = "one";
    EXPECT_THROW((void)wrongList.get<SystemEnvironmentInfo>(), nlohmann::json::type_error);
}

}  // namespace
}  // namespace lumifold
