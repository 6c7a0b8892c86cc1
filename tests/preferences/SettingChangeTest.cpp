#include <gtest/gtest.h>

#include "core/preferences/SettingChange.h"

namespace lumifold {
namespace {

TEST(SettingChangeTest, IdentityJoinsTargetAndKeyAndJsonDecodesStrictly) {
    const SettingChange change{"t.plist", "Key", "old", "new", "Global Preference"};
    SettingChange other = change;
    other.changeType = "Folder Override";
    EXPECT_EQ(other.identity(), "t.plist:Key");
    const nlohmann::json json = change;
    EXPECT_EQ(json, nlohmann::json::parse(R"({"target": "t.plist", "key": "Key",
        "oldValue": "old", "newValue": "new", "changeType": "Global Preference"})"));
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
    EXPECT_EQ(extra.get<SettingChange>(), change);
}

}  // namespace
}  // namespace lumifold
