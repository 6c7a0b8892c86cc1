#include <gtest/gtest.h>

#include "core/inspection/MetadataStores.h"
#include "tests/support/TempHome.h"

namespace lumifold {
namespace {

using platform::MetadataStore;

TEST(MetadataStoresTest, ReadsSharesAsTestparmPrintsThemWithWhatTheyInherit) {
    const auto shares = parseSambaShares(
        "[global]\n\tvfs objects = catia fruit streams_xattr\n\tfruit:metadata = stream\n"
        "[homes]\n\tpath = /home\n[Macs]\n\tpath = /srv/macs\n"
        "[plain]\n\tpath = /srv/plain\n\tvfs objects = acl_xattr\n"
        "[old]\n\tPath = /srv/old\n\tFruit:Metadata = netatalk\n# [commented]\n");
    EXPECT_EQ(shares, (std::vector<SambaShare>{{"Macs", "/srv/macs", true, "stream"},
                                               {"plain", "/srv/plain", false, "stream"},
                                               {"old", "/srv/old", true, "netatalk"}}));
}

class MetadataChoiceTest : public ::testing::Test {
  protected:
    // Folders in a fruit share of each kind, in a share without fruit, and one with sidecars.
    MetadataStores choose(const std::string& testparmOutput, int status = 0) {
        MetadataChoice choice{.store = std::nullopt, .sambaConfigPath = config, .runProcess = {}};
        choice.runProcess = [&, status](const std::string&, const std::vector<std::string>& args) {
            ran = args;
            return platform::ProcessResult{true, status, testparmOutput, "line 3: bad\n"};
        };
        return MetadataStores::choose(choice, folders);
    }

    testing::TempHome home;
    std::string config = home.writeFile("smb.conf", "ignored: testparm is asked");
    std::vector<std::string> folders{home.makeFolder("stream/a"), home.makeFolder("stream/a/b"),
                                     home.makeFolder("natalk"),   home.makeFolder("odd"),
                                     home.makeFolder("plain"),    home.makeFolder("drive")};
    std::vector<std::string> ran;
    std::string shares =
        "[s]\npath = " + home / "stream" + "\nvfs objects = fruit\n" +
        "fruit:metadata = stream\n[n]\npath = " + home / "natalk" +
        "\nvfs objects = fruit\n[o]\npath = " + home / "odd" +
        "\nvfs objects = fruit\nfruit:metadata = sqlite\n[p]\npath = " + home / "plain" +
        "\n[gone]\npath = " + home / "gone" + "\nvfs objects = fruit\n";
};

TEST_F(MetadataChoiceTest, AutoTakesTheShareStoreThenSidecarsThenTheAttribute) {
    home.writeFile("drive/._photo.jpg", "sidecar");
    const MetadataStores stores = choose(shares);
    EXPECT_EQ(ran, (std::vector<std::string>{"-s", config}));
    ASSERT_EQ(stores.folders().size(), 5u) << "a subfolder of a chosen folder is no choice";
    EXPECT_EQ(stores.of(home / "stream/a/b/c")->store, MetadataStore::samba);
    EXPECT_EQ(stores.of(home / "natalk")->store, MetadataStore::netatalk);
    EXPECT_EQ(stores.of(home / "odd")->store, std::nullopt);
    EXPECT_NE(stores.of(home / "odd")->reason.find("sqlite"), std::string::npos);
    EXPECT_EQ(stores.of(home / "plain")->store, MetadataStore::xattr);
    EXPECT_EQ(stores.of(home / "drive")->store, MetadataStore::appledouble);
    EXPECT_EQ(stores.of(home / "elsewhere"), nullptr);
    ASSERT_EQ(stores.warnings().size(), 1u);
    EXPECT_NE(stores.warnings()[0].find(home / "gone"), std::string::npos);
}

TEST_F(MetadataChoiceTest, AConfigurationTestparmRefusesLeavesEveryFolderWithoutAStore) {
    const MetadataStores stores = choose(shares, 1);
    for (const FolderStore& folder : stores.folders()) {
        EXPECT_EQ(folder.store, std::nullopt);
        EXPECT_NE(folder.reason.find(config), std::string::npos) << folder.reason;
    }
    EXPECT_EQ(stores.warnings().size(), 1u);
}

TEST_F(MetadataChoiceTest, ANamedStoreServesEveryFolderAndAMissingConfigurationNone) {
    MetadataChoice named;
    named.store = MetadataStore::netatalk;
    const MetadataStores chosen = MetadataStores::choose(named, folders);
    for (const FolderStore& folder : chosen.folders()) {
        EXPECT_EQ(folder.store, MetadataStore::netatalk);
    }
    MetadataChoice missing;
    missing.sambaConfigPath = home / "none.conf";
    EXPECT_EQ(MetadataStores::choose(missing, folders).of(home / "stream/a")->store,
              MetadataStore::xattr);
}

}  // namespace
}  // namespace lumifold
