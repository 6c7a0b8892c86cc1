#include <gtest/gtest.h>

#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {
namespace {

using platform::PlistValue;

const FinderLayoutPreferences kUnusual{
    "Nlsv", "Date Modified", "dateModified", 128.0, 99.5, 16.0, false, true, false, 2, false};

TEST(FinderLayoutPreferencesTest, PreferredSetCarriesOnlyTheGivenGridSpacing) {
    EXPECT_EQ(FinderLayoutPreferences::preferred(54.0),
              (FinderLayoutPreferences{"icnv", "None", "kind", 44.0, 54.0, 12.0, true, false, true,
                                       0, true}));
    auto wide = FinderLayoutPreferences::preferred(100.0);
    EXPECT_EQ(wide.gridSpacing, 100.0);
    wide.gridSpacing = 54.0;
    EXPECT_EQ(wide, FinderLayoutPreferences::preferred(54.0));
}

TEST(FinderLayoutPreferencesTest, IconViewOptionsFollowTheFields) {
    // PlistValue equality also compares kinds, so whole sizes must be reals, not integers.
    EXPECT_EQ(kUnusual.iconViewOptionsDictionary(),
              (platform::PlistDictionary{
                  {"arrangeBy", PlistValue::string("dateModified")},
                  {"backgroundColorBlue", PlistValue::real(1.0)},
                  {"backgroundColorGreen", PlistValue::real(1.0)},
                  {"backgroundColorRed", PlistValue::real(1.0)},
                  {"backgroundType", PlistValue::integer(2)},
                  {"gridOffsetX", PlistValue::real(0.0)},
                  {"gridOffsetY", PlistValue::real(0.0)},
                  {"gridSpacing", PlistValue::real(99.5)},
                  {"iconSize", PlistValue::real(128.0)},
                  {"labelOnBottom", PlistValue::boolean(false)},
                  {"scrollPositionX", PlistValue::real(0.0)},
                  {"scrollPositionY", PlistValue::real(0.0)},
                  {"showIconPreview", PlistValue::boolean(false)},
                  {"showItemInfo", PlistValue::boolean(true)},
                  {"textSize", PlistValue::real(16.0)},
                  {"viewOptionsVersion", PlistValue::integer(1)},
              }));
}

TEST(FinderLayoutPreferencesTest, JsonUsesTheFieldNamesAndRoundTrips) {
    const nlohmann::json json = kUnusual;
    EXPECT_EQ(json, nlohmann::json::parse(R"({"viewStyle": "Nlsv", "groupBy": "Date Modified",
        "sortBy": "dateModified", "iconSize": 128.0, "gridSpacing": 99.5, "textSize": 16.0,
        "labelOnBottom": false, "showItemInfo": true, "showIconPreview": false,
        "backgroundType": 2, "hideFileExtensions": false})"));
    EXPECT_TRUE(json.at("backgroundType").is_number_integer());
    EXPECT_EQ(nlohmann::json::parse(json.dump()).get<FinderLayoutPreferences>(), kUnusual);

    nlohmann::json extra = FinderLayoutPreferences::preferred(54.0);
    extra["futureSetting"] = "ignored";
    extra["iconSize"] = 44;  // a whole size may come as a JSON integer
    EXPECT_EQ(extra.get<FinderLayoutPreferences>(), FinderLayoutPreferences::preferred(54.0));
}

TEST(FinderLayoutPreferencesTest, JsonDecodingRejectsMissingKeysAndWrongTypes) {
    const nlohmann::json valid = FinderLayoutPreferences::preferred(54.0);
    for (const auto& item : valid.items()) {
        nlohmann::json missing = valid;
        missing.erase(item.key());
        EXPECT_THROW(missing.get<FinderLayoutPreferences>(), nlohmann::json::out_of_range)
            << item.key();
    }
    // One per kind of reader, and the integer's two ways of not fitting.
    const std::vector<std::pair<std::string, nlohmann::json>> wrongTypes = {
        {"viewStyle", 1},
        {"iconSize", "44"},
        {"labelOnBottom", 1},
        {"backgroundType", 0.5},
        {"backgroundType", 18446744073709551615ull},
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
