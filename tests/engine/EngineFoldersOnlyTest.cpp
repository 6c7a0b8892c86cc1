// Folders only: a file server's shares, where the Finder's preferences are each Mac user's.
#include <unistd.h>

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/SambaServer.h"

namespace lumifold::testing {
namespace {

class FoldersOnlyTest : public EngineTest {
  protected:
    FoldersOnlyTest() {
        engine =
            makeEngine(home.path(), [](EngineOptions& options) { options.foldersOnly = true; });
    }
};

TEST_F(FoldersOnlyTest, SaysTheLayoutInTheFoldersOwnStoresAndRestoreRemovesThoseItMade) {
    writeUserPreferences();
    // The share's own parent holds a record for it, which is not Lumifold's to write.
    writeStore("srv", {viewStyle("share", "Nlsv")});
    const std::string share = home.makeFolder("srv/share");
    const std::string sub = writeStore("srv/share/a", {viewStyle(".", "icnv"), blob("x", "Iloc")});
    home.writeFile("srv/share/a/report.pdf", "pdf");
    const std::vector<std::string> folders{share, share + "/a"};
    // A folder that says nothing itself is not shown as the layout, though nothing overrides it.
    const std::vector<std::string> plain{home.makeFolder("plain")};
    EXPECT_TRUE(engine->inspect(plain).second.at(0).conflicting);
    const Fingerprint before = fingerprint();

    const VerificationReport unset = engine->verify(folders);
    EXPECT_TRUE(unset.discrepancies.empty());  // the preferences are not judged
    EXPECT_FALSE(unset.folderResults.at(0).isCompliant()) << unset.folderResults[0].notes;

    const ApplyResult result = engine->apply(folders, true);
    EXPECT_TRUE(result.verification.isFullyCompliant())
        << result.verification.folderResults[0].notes;
    EXPECT_FALSE(engine->inspect(folders).second.at(0).conflicting);  // /srv's store aside
    EXPECT_TRUE(holds(share + "/.DS_Store", viewStyle(".", "icnv")));
    EXPECT_TRUE(holds(sub, viewStyle(".", "icnv")));
    EXPECT_TRUE(holds(sub, blob("x", "Iloc")));
    // Only the folders' own stores and the flag changed: neither the preferences nor the
    // store above the share.
    Fingerprint after = fingerprint(), unchanged = before;
    for (const std::string& changed : {share + "/.DS_Store", sub, share + "/a/report.pdf"}) {
        after.erase(changed);
        unchanged.erase(changed);
    }
    EXPECT_EQ(after, unchanged);
    if (flagsWork()) {
        EXPECT_TRUE(hiddenExtension(share + "/a/report.pdf"));
    }

    // The preferences were never Apply's: a change to them since is no drift, and stays.
    const std::string preferences = writeUserPreferences(70.0);
    Fingerprint restored = before;
    restored[preferences] = fingerprint()[preferences];
    EXPECT_TRUE(engine->restore(std::nullopt, false, {share}).restored);
    EXPECT_EQ(fingerprint(), restored);
}

// A store Lumifold makes on a share, as root, stays the share's users' to change: checked through
// a real Samba server, a guest client writing over it.
TEST_F(FoldersOnlyTest, AGuestWritesOverAStoreLumifoldMadeInAShareOfNobodys) {
    platform::setPermissionBits(home.path(), 0755);  // nobody passes through to the share
    const std::string share = home.makeFolder("share");
    ASSERT_EQ(::chown(share.c_str(), 65534, 65534), 0);
    const SambaServer server(
        home.makeFolder("samba"),
        {{.name = "share", .path = share, .metadata = "stream", .asRoot = false}});
    if (server.failure()) GTEST_SKIP() << *server.failure();
    engine->apply(std::vector<std::string>{share}, false);
    ASSERT_TRUE(platform::fileExists(share + "/.DS_Store"));

    const auto [status, output] =
        server.run("share", "put " + home.writeFile("mine", "a Mac's store") + " .DS_Store");
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(asText(platform::readFile(share + "/.DS_Store")), "a Mac's store");
}

}  // namespace
}  // namespace lumifold::testing
