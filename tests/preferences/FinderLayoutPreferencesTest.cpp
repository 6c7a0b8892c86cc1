#include <gtest/gtest.h>

#include "core/preferences/FinderLayoutPreferences.h"
#include "core/preferences/SettingChange.h"

namespace lumifold {
namespace {

using nlohmann::json;

// Every key is required with its JSON type, other keys are ignored, and each value reads back.
template <typename T>
void expectStrictRoundTrip(const T& value, const std::vector<std::pair<std::string, json>>& wrong) {
    const json valid = value;
    json extra = valid;
    extra["futureSetting"] = "ignored";
    EXPECT_EQ(extra.get<T>(), value);
    for (const auto& item : valid.items()) {
        json missing = valid;
        missing.erase(item.key());
        EXPECT_THROW(missing.get<T>(), json::out_of_range) << item.key();
    }
    for (const auto& [key, bad] : wrong) {
        json changed = valid;
        changed[key] = bad;
        EXPECT_THROW(changed.get<T>(), json::type_error) << key << " = " << bad.dump();
    }
    EXPECT_THROW(json::array().get<T>(), json::type_error);
}

TEST(FinderLayoutPreferencesTest, JsonUsesTheFieldNamesAndDecodesStrictly) {
    const FinderLayoutPreferences unusual{
        "Nlsv", "Date Modified", "dateModified", 128.0, 99.5, 16.0, false, true, false, 2, false};
    EXPECT_EQ(json(unusual), json::parse(R"({"viewStyle": "Nlsv", "groupBy": "Date Modified",
        "sortBy": "dateModified", "iconSize": 128.0, "gridSpacing": 99.5, "textSize": 16.0,
        "labelOnBottom": false, "showItemInfo": true, "showIconPreview": false,
        "backgroundType": 2, "hideFileExtensions": false})"));
    json whole = unusual;
    whole["iconSize"] = 128;  // a whole size may come as a JSON integer
    EXPECT_EQ(whole.get<FinderLayoutPreferences>(), unusual);
    // One per kind of reader, and the integer's two ways of not fitting.
    expectStrictRoundTrip(unusual, {{"viewStyle", 1},
                                    {"iconSize", "44"},
                                    {"labelOnBottom", 1},
                                    {"backgroundType", 0.5},
                                    {"backgroundType", 18446744073709551615ull}});
}

// The folder's icon-view record: each field in its place, sizes as reals even when whole.
TEST(FinderLayoutPreferencesTest, IconViewOptionsFollowTheFields) {
    using platform::PlistValue;
    const auto options =
        FinderLayoutPreferences{"icnv", "None", "name", 128, 99.5, 16, false, true, false, 2, true}
            .iconViewOptionsDictionary();
    EXPECT_EQ(options.size(), 16u);
    for (const auto& [key, value] : std::vector<std::pair<std::string, PlistValue>>{
             {"arrangeBy", PlistValue::string("name")},
             {"iconSize", PlistValue::real(128)},
             {"gridSpacing", PlistValue::real(99.5)},
             {"textSize", PlistValue::real(16)},
             {"labelOnBottom", PlistValue::boolean(false)},
             {"showItemInfo", PlistValue::boolean(true)},
             {"showIconPreview", PlistValue::boolean(false)},
             {"backgroundType", PlistValue::integer(2)}}) {
        EXPECT_EQ(options.at(key), value) << key;
    }
}

TEST(SettingChangeTest, IdentityJoinsTargetAndKeyAndJsonDecodesStrictly) {
    const SettingChange change{"t.plist", "Key", "old", "new", "Global Preference"};
    EXPECT_EQ(change.identity(), "t.plist:Key");
    const json valid = change;
    EXPECT_EQ(valid, json::parse(R"({"target": "t.plist", "key": "Key",
        "oldValue": "old", "newValue": "new", "changeType": "Global Preference"})"));
    std::vector<std::pair<std::string, json>> wrong;
    for (const auto& item : valid.items()) wrong.emplace_back(item.key(), 44);
    expectStrictRoundTrip(change, wrong);
}

}  // namespace
}  // namespace lumifold
