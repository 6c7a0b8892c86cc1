// Stages over shares: the stores chosen for them, and a store Lumifold makes on a share, as
// root, staying the share's users' to change (checked through a real Samba server).
#include <unistd.h>

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/SambaServer.h"

namespace lumifold::testing {
namespace {

// Apply plans and then audits what it wrote: `auto` reads the Samba configuration once for both.
TEST_F(EngineTest, AutoChoosesTheStoresOncePerApply) {
    const std::string config = home.writeFile("smb.conf", "[global]\n");
    int runs = 0;
    engine = makeEngine(home.path(), [&](EngineOptions& options) {
        options.metadata.sambaConfigPath = config;
        options.metadata.runProcess = [&](const std::string&, const std::vector<std::string>&) {
            ++runs;
            return platform::ProcessResult{true, 0, "[global]\n", ""};
        };
    });
    home.writeFile("Documents/notes.txt", "n");
    const ApplyResult result = engine->apply(std::vector<std::string>{home / "Documents"}, false);
    EXPECT_FALSE(result.manifest.id.empty());  // it wrote, then audited
    EXPECT_EQ(runs, 1);
}

TEST_F(EngineTest, AGuestWritesOverAStoreLumifoldMadeInAShareOfNobodys) {
    platform::setPermissionBits(home.path(), 0755);  // nobody passes through to the share
    const std::string share = home.makeFolder("share");
    ASSERT_EQ(::chown(share.c_str(), 65534, 65534), 0);
    const SambaServer server(
        home.makeFolder("samba"),
        {{.name = "share", .path = share, .metadata = "stream", .asRoot = false}});
    if (server.failure()) GTEST_SKIP() << *server.failure();
    engine = makeEngine(home.path(), [](EngineOptions& options) { options.foldersOnly = true; });
    engine->apply(std::vector<std::string>{share}, false);
    ASSERT_TRUE(platform::fileExists(share + "/.DS_Store"));

    const auto [status, output] =
        server.run("share", "put " + home.writeFile("mine", "a Mac's store") + " .DS_Store");
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(asText(platform::readFile(share + "/.DS_Store")), "a Mac's store");
}

}  // namespace
}  // namespace lumifold::testing
