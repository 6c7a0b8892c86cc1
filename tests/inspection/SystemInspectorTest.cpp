#include <gtest/gtest.h>

#include <regex>

#include "core/inspection/SystemInspector.h"
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
        SystemInspectorHost host;
        host.runProcess = [this, result](const std::string& path,
                                         const std::vector<std::string>& args) {
            calls.push_back({path, args});
            return result;
        };
        return SystemInspector(home.path(), std::move(host)).inspect(std::move(preferencesPath));
    }

    testing::TempHome home;
    std::vector<std::pair<std::string, std::vector<std::string>>> calls;
};

TEST_F(SystemInspectorTest, BuildVersionIsTheTrimmedUtf8OutputOfSwVersOrUnknown) {
    const std::pair<ProcessResult, const char*> cases[] = {
        {{true, 0, "23F79\n"}, "23F79"},
        {{true, 0, " \t22G120 \r\n"}, "22G120"},
        {{true, 1, "X1\n"}, "X1"},  // the exit status is not examined
        {{true, 0, ""}, "Unknown"},
        {{true, 0, " \n\n"}, "Unknown"},
        {{true, 0,
          "23F\xFF"
          "79\n"},
         "Unknown"},
        {{}, "Unknown"},  // sw_vers could not start
    };
    for (const auto& [result, expected] : cases) {
        EXPECT_EQ(inspectWith(result).buildVersion, expected) << result.standardOutput;
    }
    EXPECT_EQ(calls[0], (std::pair<std::string, std::vector<std::string>>{"/usr/bin/sw_vers",
                                                                          {"-buildVersion"}}));
}

TEST_F(SystemInspectorTest, TheRealSystemGivesAVersionAndAnArchitecture) {
    const SystemEnvironmentInfo info = SystemInspector(home.path()).inspect();
    EXPECT_FALSE(info.buildVersion.empty());
    EXPECT_TRUE(std::regex_match(info.osVersion, std::regex(R"(\d+\.\d+\.\d+)"))) << info.osVersion;
#if defined(__x86_64__)
    EXPECT_EQ(info.architecture, "Intel (x86_64)");
#elif defined(__aarch64__)
    EXPECT_EQ(info.architecture, "ARM (arm64)");
#endif
}

TEST_F(SystemInspectorTest, FinderDefaultsComeFromThePreferencesFileWithGridSpacingAsAReal) {
    const ProcessResult build{true, 0, "A1"};
    const auto fallback = inspectWith(build);
    EXPECT_EQ(fallback.currentFinderDefaults, FinderLayoutPreferences::preferred(54.0));
    EXPECT_EQ(fallback.defaultGridSpacing, 54.0);

    const PlistValue iconView = PlistValue::dictionary(
        {{"gridSpacing", PlistValue::integer(60)}, {"iconSize", PlistValue::real(64)}});
    const std::string xml = platform::toXmlPropertyList(PlistValue::dictionary(
        {{"StandardViewSettings", PlistValue::dictionary({{"IconViewSettings", iconView}})},
         {"FXPreferredViewStyle", PlistValue::string("Nlsv")}}));
    const auto info = inspectWith(build, home.writeFile("prefs/finder.plist", xml));
    EXPECT_EQ(info.defaultGridSpacing, 60.0);
    EXPECT_EQ(info.currentFinderDefaults.iconSize, 64.0);
    EXPECT_EQ(info.currentFinderDefaults.viewStyle, "Nlsv");

    // Without a path, the home directory's own preferences file is read.
    home.writeFile("Library/Preferences/com.apple.finder.plist", xml);
    EXPECT_EQ(inspectWith(build).defaultGridSpacing, 60.0);
}

TEST_F(SystemInspectorTest, EnvironmentJsonNeedsAllSevenKeys) {
    const auto info = inspectWith({true, 0, "A1"});
    const nlohmann::json json = info;
    EXPECT_EQ(json.size(), 7u);
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
