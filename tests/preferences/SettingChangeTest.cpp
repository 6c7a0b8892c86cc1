#include <gtest/gtest.h>

#include "core/preferences/SettingChange.h"

namespace lumifold {
namespace {

const SettingChange kChange{"com.apple.finder.plist", "FXPreferredViewStyle", "Nlsv", "icnv",
                            "Global Preference"};

TEST(SettingChangeTest, IdentityJoinsTargetAndKey) {
    EXPECT_EQ(kChange.identity(), "com.apple.finder.plist:FXPreferredViewStyle");
}

TEST(SettingChangeTest, JsonHasTheFiveStringFieldsAndRoundTrips) {
    const nlohmann::json json = kChange;
    EXPECT_EQ(json, nlohmann::json::parse(R"({"target": "com.apple.finder.plist",
        "key": "FXPreferredViewStyle", "oldValue": "Nlsv", "newValue": "icnv",
        "changeType": "Global Preference"})"));
    EXPECT_EQ(json.get<SettingChange>(), kChange);
}

TEST(SettingChangeTest, JsonDecodingIsStrictAboutTheFiveFields) {
    const nlohmann::json valid = kChange;
    for (const auto& item : valid.items()) {
        nlohmann::json missing = valid;
        missing.erase(item.key());
        EXPECT_THROW(missing.get<SettingChange>(), nlohmann::json::out_of_range) << item.key();
        nlohmann::json wrong = valid;
        wrong[item.key()] = 44;
        EXPECT_THROW(wrong.get<SettingChange>(), nlohmann::json::type_error) << item.key();
    }
    nlohmann::json extra = valid;
    extra["note"] = "ignored";
    EXPECT_EQ(extra.get<SettingChange>(), kChange);
}

TEST(SettingChangeTest, EqualityNeedsAllFiveFields) {
    SettingChange other = kChange;
    EXPECT_EQ(other, kChange);
    other.changeType = "Folder Override";
    EXPECT_NE(other, kChange);
    EXPECT_EQ(other.identity(), kChange.identity());
}

}  // namespace
}  // namespace lumifold
