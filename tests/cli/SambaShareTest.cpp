#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "core/platform/FileSystem.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/SambaServer.h"

// Lumifold on Samba shares, with smbclient playing the Mac: the AFP_AfpInfo stream a client
// reads and writes is the record Lumifold keeps, in both of fruit's metadata stores.
namespace lumifold {
namespace {

class SambaShareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (server.failure()) GTEST_SKIP() << *server.failure();
    }
    CliResult lumifold(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(),
                         {"--home", home / "home", "--samba-config", server.configPath()});
        return runCli(home, arguments);
    }
    // smbclient's exit status.
    int client(const std::string& share, const std::string& command) const {
        return server.run(share, command).first;
    }
    // The flag a client reads; nullopt when it gets no AfpInfo.
    std::optional<bool> clientSees(const std::string& share, const std::string& file) const {
        const std::string got = home / "got";
        std::remove(got.c_str());
        client(share, "get " + file + ":AFP_AfpInfo " + got);
        const std::string bytes = contentOf(got);
        if (bytes.size() != 60 || bytes.compare(0, 4, std::string("AFP\0", 4)) != 0) {
            return std::nullopt;
        }
        return (bytes[16 + 9] & 0x10) != 0;
    }
    // Hides the extension as a Mac does: an AfpInfo (signature, version 1.0, the FinderInfo at
    // 16) with the flag.
    void clientHides(const std::string& share, const std::string& file) const {
        std::string afpInfo("AFP\0\0\0\1\0", 8);
        afpInfo.resize(60, '\0');
        afpInfo[16 + 9] = '\x10';
        std::ofstream(home / "afp", std::ios::binary) << afpInfo;
        ASSERT_EQ(client(share, "put " + home / "afp" + " " + file + ":AFP_AfpInfo"), 0);
    }
    // Polls until `done`, giving up after 60 s only as a guard against a hang.
    template <typename Done>
    static void await(const Done& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    testing::TempHome home;
    std::string stream = home.makeFolder("stream"), natalk = home.makeFolder("natalk");
    std::string sandbox = home.makeFolder("home");
    testing::SambaServer server{home.path(),
                                {{"stream", stream, "stream"}, {"natalk", natalk, "netatalk"}}};
};

TEST_F(SambaShareTest, FlagsGoBothWaysThroughEitherStoreAndRestoreGivesBackEveryByte) {
    for (const auto& [share, folder, store] :
         {std::tuple{"stream", stream, "samba"}, std::tuple{"natalk", natalk, "netatalk"}}) {
        SCOPED_TRACE(share);
        home.writeFile(std::string(share) + "/a.txt", "a");
        const CliResult inspected = lumifold({"inspect", "--folder", folder});
        EXPECT_NE(inspected.out.find(std::string("Finder records: ") + store), std::string::npos)
            << inspected.out;
        ASSERT_EQ(lumifold({"apply", "--folder", folder}).status, 0);
        EXPECT_EQ(clientSees(share, "a.txt"), true) << "a flag Lumifold set is the client's";

        // A file the client hides itself is no file to hide; one it does not, is.
        home.writeFile(std::string(share) + "/b.txt", "b");
        home.writeFile(std::string(share) + "/c.txt", "c");
        clientHides(share, "b.txt");
        const CliResult verified = lumifold({"verify", "--folder", folder});
        EXPECT_EQ(verified.status, 3);
        EXPECT_NE(verified.out.find("1 file(s) have visible extensions"), std::string::npos)
            << verified.out;

        ASSERT_EQ(lumifold({"restore", "--force", "--folder", folder}).status, 0);
        EXPECT_EQ(clientSees(share, "a.txt"), std::nullopt) << "no record, as before Apply";
        EXPECT_EQ(clientSees(share, "b.txt"), true);
    }
}

TEST_F(SambaShareTest, SidecarsLumifoldWritesAreReadByAnIndependentReaderAndByFruit) {
    home.writeFile("stream/photo.jpg", "jpg");
    ASSERT_EQ(lumifold({"--metadata", "appledouble", "apply", "--folder", stream}).status, 0);
    // AppleDouble 2 from its public description: magic, version, entries; 9 is the FinderInfo.
    const std::string sidecar = contentOf(stream + "/._photo.jpg");
    ASSERT_GE(sidecar.size(), 26u);
    EXPECT_EQ(sidecar.substr(0, 8), std::string("\0\5\x16\7\0\2\0\0", 8));
    const auto at = [&](std::size_t i) -> std::size_t {
        return static_cast<unsigned char>(sidecar.at(i));
    };
    bool flagged = false;
    for (std::size_t entry = 0; entry < at(25); ++entry) {
        const std::size_t d = 26 + 12 * entry;
        if (at(d + 3) == 9) flagged = (at(at(d + 6) * 256 + at(d + 7) + 9) & 0x10) != 0;
    }
    EXPECT_TRUE(flagged);
    // Restore takes away the sidecar it made, then Apply makes it again.
    ASSERT_EQ(lumifold({"restore", "--force", "--folder", stream}).status, 0);
    EXPECT_FALSE(platform::fileExists(stream + "/._photo.jpg"));
    ASSERT_EQ(lumifold({"--metadata", "appledouble", "apply", "--folder", stream}).status, 0);
    // This Samba's fruit reads a sidecar: the first open of the stream moves its FinderInfo into
    // the stream (fruit:convert_appledouble) and finds none yet; from then on the client sees it.
    (void)clientSees("stream", "photo.jpg");
    EXPECT_EQ(clientSees("stream", "photo.jpg"), true);
}

TEST_F(SambaShareTest, KeepConsistentHidesTheExtensionOfAFileAClientPuts) {
    const pid_t watcher =
        spawnLogged({LUMIFOLD_CLI_PATH, "--home", home / "home", "--samba-config",
                     server.configPath(), "watch", "--debounce", "1", "--folder", stream},
                    home / "watch.log", home / "watch.log");
    ASSERT_GT(watcher, 0);
    await([&] { return contentOf(home / "watch.log").find("Active") != std::string::npos; });
    std::ofstream(home / "local.txt") << "from a Mac";
    ASSERT_EQ(client("stream", "put " + home / "local.txt" + " put.txt"), 0);
    await([&] { return clientSees("stream", "put.txt") == true; });
    EXPECT_EQ(clientSees("stream", "put.txt"), true) << contentOf(home / "watch.log");
    ::kill(watcher, SIGTERM);
    exitStatusOf(watcher);
}

}  // namespace
}  // namespace lumifold
