#include <gtest/gtest.h>

#include <set>

#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {
namespace {

using platform::PlistValue;

FinderLayoutPreferences unusualLayout() {
    return FinderLayoutPreferences{
        "Nlsv", "Date Modified", "dateModified", 128.0, 99.5, 16.0, false, true, false, 2, false};
}

TEST(FinderLayoutPreferencesTest, PreferredSetCarriesOnlyTheGivenGridSpacing) {
    const auto preferred = FinderLayoutPreferences::preferred(54.0);
    EXPECT_EQ(preferred, (FinderLayoutPreferences{"icnv", "None", "kind", 44.0, 54.0, 12.0, true,
                                                  false, true, 0, true}));
    auto wide = FinderLayoutPreferences::preferred(100.0);
    EXPECT_EQ(wide.gridSpacing, 100.0);
    EXPECT_NE(wide, preferred);
    wide.gridSpacing = 54.0;
    EXPECT_EQ(wide, preferred);
}

TEST(FinderLayoutPreferencesTest, IconViewOptionsOfThePreferredSet) {
    const platform::PlistDictionary expected = {
        {"arrangeBy", PlistValue::string("kind")},
        {"backgroundColorBlue", PlistValue::real(1.0)},
        {"backgroundColorGreen", PlistValue::real(1.0)},
        {"backgroundColorRed", PlistValue::real(1.0)},
        {"backgroundType", PlistValue::integer(0)},
        {"gridOffsetX", PlistValue::real(0.0)},
        {"gridOffsetY", PlistValue::real(0.0)},
        {"gridSpacing", PlistValue::real(54.0)},
        {"iconSize", PlistValue::real(44.0)},
        {"labelOnBottom", PlistValue::boolean(true)},
        {"scrollPositionX", PlistValue::real(0.0)},
        {"scrollPositionY", PlistValue::real(0.0)},
        {"showIconPreview", PlistValue::boolean(true)},
        {"showItemInfo", PlistValue::boolean(false)},
        {"textSize", PlistValue::real(12.0)},
        {"viewOptionsVersion", PlistValue::integer(1)},
    };
    // PlistValue equality also compares kinds, so whole sizes must be reals, not integers.
    EXPECT_EQ(FinderLayoutPreferences::preferred(54.0).iconViewOptionsDictionary(), expected);
}

TEST(FinderLayoutPreferencesTest, IconViewOptionsFollowTheFieldsAndKeepSixteenKeys) {
    const auto options = unusualLayout().iconViewOptionsDictionary();
    ASSERT_EQ(options.size(), 16u);
    EXPECT_EQ(options.at("arrangeBy"), PlistValue::string("dateModified"));
    EXPECT_EQ(options.at("iconSize"), PlistValue::real(128.0));
    EXPECT_EQ(options.at("gridSpacing"), PlistValue::real(99.5));
    EXPECT_EQ(options.at("textSize"), PlistValue::real(16.0));
    EXPECT_EQ(options.at("labelOnBottom"), PlistValue::boolean(false));
    EXPECT_EQ(options.at("showItemInfo"), PlistValue::boolean(true));
    EXPECT_EQ(options.at("showIconPreview"), PlistValue::boolean(false));
    EXPECT_EQ(options.at("backgroundType"), PlistValue::integer(2));

    FinderLayoutPreferences odd = unusualLayout();
    odd.sortBy = "";
    odd.viewStyle = "clmv";
    const auto oddOptions = odd.iconViewOptionsDictionary();
    EXPECT_EQ(oddOptions.size(), 16u);
    EXPECT_EQ(oddOptions.at("arrangeBy"), PlistValue::string(""));
}

TEST(FinderLayoutPreferencesTest, EqualityComparesSizesAsNumbersAndStringsExactly) {
    FinderLayoutPreferences a = FinderLayoutPreferences::preferred(54.0);
    FinderLayoutPreferences b = a;
    b.iconSize = 44;  // the integer 44 and the real 44.0 are one value
    EXPECT_EQ(a, b);
    b.groupBy = "none";
    EXPECT_NE(a, b);
    b = a;
    b.iconSize = 44.0001;
    EXPECT_NE(a, b);
}

TEST(FinderLayoutPreferencesTest, JsonRoundTripKeepsEveryField) {
    const nlohmann::json json = unusualLayout();
    std::set<std::string> keys;
    for (const auto& item : json.items()) keys.insert(item.key());
    EXPECT_EQ(keys,
              (std::set<std::string>{"viewStyle", "groupBy", "sortBy", "iconSize", "gridSpacing",
                                     "textSize", "labelOnBottom", "showItemInfo", "showIconPreview",
                                     "backgroundType", "hideFileExtensions"}));
    EXPECT_TRUE(json.at("backgroundType").is_number_integer());
    EXPECT_EQ(json.get<FinderLayoutPreferences>(), unusualLayout());
    // Dumped and parsed again, as it is stored on disk.
    EXPECT_EQ(nlohmann::json::parse(json.dump()).get<FinderLayoutPreferences>(), unusualLayout());
}

TEST(FinderLayoutPreferencesTest, JsonDecodingIgnoresExtraKeysAndAcceptsWholeSizes) {
    nlohmann::json json = FinderLayoutPreferences::preferred(54.0);
    json["futureSetting"] = "ignored";
    json["iconSize"] = 44;
    EXPECT_EQ(json.get<FinderLayoutPreferences>(), FinderLayoutPreferences::preferred(54.0));
}

TEST(FinderLayoutPreferencesTest, JsonDecodingRejectsMissingKeysAndWrongTypes) {
    const nlohmann::json valid = FinderLayoutPreferences::preferred(54.0);
    for (const auto& item : valid.items()) {
        nlohmann::json missing = valid;
        missing.erase(item.key());
        EXPECT_THROW(missing.get<FinderLayoutPreferences>(), nlohmann::json::out_of_range)
            << item.key();
    }
    const std::vector<std::pair<std::string, nlohmann::json>> wrongTypes = {
        {"viewStyle", 1},
        {"groupBy", nullptr},
        {"sortBy", true},
        {"iconSize", "44"},
        {"gridSpacing", nlohmann::json::array()},
        {"textSize", false},
        {"labelOnBottom", 1},
        {"showItemInfo", "false"},
        {"showIconPreview", nullptr},
        {"backgroundType", 0.5},
        {"backgroundType", 18446744073709551615ull},
        {"hideFileExtensions", 0},
    };
    for (const auto& [key, value] : wrongTypes) {
        nlohmann::json wrong = valid;
        wrong[key] = value;
        EXPECT_THROW(wrong.get<FinderLayoutPreferences>(), nlohmann::json::type_error)
            << key << " = " << value.dump();
    }
    EXPECT_THROW(nlohmann::json::array().get<FinderLayoutPreferences>(),
                 nlohmann::json::type_error);
}

}  // namespace
}  // namespace lumifold
