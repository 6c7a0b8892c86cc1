// A store Lumifold makes on a share, as root, stays the share's users' to change: checked
// through a real Samba server, a guest client writing over it.
#include <unistd.h>

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/SambaServer.h"

namespace lumifold::testing {
namespace {

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
