#include <gtest/gtest.h>

#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {
namespace {

using platform::PlistValue;

const FinderLayoutPreferences kUnusual{
    "Nlsv", "Date Modified", "dateModified", 128.0, 99.5, 16.0, false, true, false, 2, false};

TEST(FinderLayoutPreferencesTest, IconViewOptionsFollowTheFields) {
    // PlistValue equality also compares kinds, so whole sizes must be reals, not integers.
    const auto real = PlistValue::real;
    EXPECT_EQ(kUnusual.iconViewOptionsDictionary(),
              (platform::PlistDictionary{{"arrangeBy", PlistValue::string("dateModified")},
                                         {"backgroundColorBlue", real(1.0)},
                                         {"backgroundColorGreen", real(1.0)},
                                         {"backgroundColorRed", real(1.0)},
                                         {"backgroundType", PlistValue::integer(2)},
                                         {"gridOffsetX", real(0.0)},
                                         {"gridOffsetY", real(0.0)},
                                         {"gridSpacing", real(99.5)},
                                         {"iconSize", real(128.0)},
                                         {"labelOnBottom", PlistValue::boolean(false)},
                                         {"scrollPositionX", real(0.0)},
                                         {"scrollPositionY", real(0.0)},
                                         {"showIconPreview", PlistValue::boolean(false)},
                                         {"showItemInfo", PlistValue::boolean(true)},
                                         {"textSize", real(16.0)},
                                         {"viewOptionsVersion", PlistValue::integer(1)}}));
}

TEST(FinderLayoutPreferencesTest, JsonUsesTheFieldNamesAndDecodesStrictly) {
    const nlohmann::json json = kUnusual;
    EXPECT_EQ(json, nlohmann::json::parse(R"({"viewStyle": "Nlsv", "groupBy": "Date Modified",
        "sortBy": "dateModified", "iconSize": 128.0, "gridSpacing": 99.5, "textSize": 16.0,
        "labelOnBottom": false, "showItemInfo": true, "showIconPreview": false,
        "backgroundType": 2, "hideFileExtensions": false})"));
    EXPECT_TRUE(json.at("backgroundType").is_number_integer());
    nlohmann::json extra = json;
    extra["futureSetting"] = "ignored";
    extra["iconSize"] = 128;  // a whole size may come as a JSON integer
    EXPECT_EQ(extra.get<FinderLayoutPreferences>(), kUnusual);

    for (const auto& item : json.items()) {
        nlohmann::json missing = json;
        missing.erase(item.key());
        EXPECT_THROW(missing.get<FinderLayoutPreferences>(), nlohmann::json::out_of_range)
            << item.key();
    }
    // One per kind of reader, and the integer's two ways of not fitting.
    for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"viewStyle", 1},
             {"iconSize", "44"},
             {"labelOnBottom", 1},
             {"backgroundType", 0.5},
             {"backgroundType", 18446744073709551615ull}}) {
        nlohmann::json wrong = json;
        wrong[key] = value;
        EXPECT_THROW(wrong.get<FinderLayoutPreferences>(), nlohmann::json::type_error)
            << key << " = " << value.dump();
    }
    EXPECT_THROW(nlohmann::json::array().get<FinderLayoutPreferences>(),
                 nlohmann::json::type_error);
}

}  // namespace
}  // namespace lumifold
