#include <gtest/gtest.h>

#include "core/preferences/FinderLayoutPreferences.h"

namespace lumifold {
namespace {

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

}  // namespace
}  // namespace lumifold
