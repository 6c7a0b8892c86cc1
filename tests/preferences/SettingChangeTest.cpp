#include <gtest/gtest.h>

#include "core/preferences/SettingChange.h"

namespace lumifold {
namespace {

const SettingChange kChange{"com.apple.finder.plist", "FXPreferredViewStyle", "Nlsv", "icnv",
                            "Global Preference"};

TEST(SettingChangeTest, IdentityJoinsTargetAndKeyOnly) {
    SettingChange other = kChange;
    other.changeType = "Folder Override";
    EXPECT_NE(other, kChange);
    EXPECT_EQ(other.identity(), "com.apple.finder.plist:FXPreferredViewStyle");
}

TEST(SettingChangeTest, JsonHasTheFiveStringFieldsAndDecodesStrictly) {
    const nlohmann::json json = kChange;
    EXPECT_EQ(json, nlohmann::json::parse(R"({"target": "com.apple.finder.plist",
        "key": "FXPreferredViewStyle", "oldValue": "Nlsv", "newValue": "icnv",
        "changeType": "Global Preference"})"));
    for (const auto& item : json.items()) {
        nlohmann::json missing = json;
        missing.erase(item.key());
        EXPECT_THROW(missing.get<SettingChange>(), nlohmann::json::out_of_range) << item.key();
        nlohmann::json wrong = json;
        wrong[item.key()] = 44;
        EXPECT_THROW(wrong.get<SettingChange>(), nlohmann::json::type_error) << item.key();
    }
    nlohmann::json extra = json;
    extra["note"] = "ignored";
    EXPECT_EQ(extra.get<SettingChange>(), kChange);
}

}  // namespace
}  // namespace lumifold
