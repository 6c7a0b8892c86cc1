#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>
#include <utility>

#include "core/dsstore/DSStoreReader.h"
#include "core/platform/FileSystem.h"
#include "tests/cli/CliTestSupport.h"

// The watch service as its service manager runs it: a real process on real folders, waited for
// in real time (a second or two at --debounce 1).
namespace lumifold {
namespace {

constexpr auto kPatience = std::chrono::seconds(60);  // only a hung service takes this long

class WatchServiceTest : public ::testing::Test {
  protected:
    WatchServiceTest() {
        home.makeDefaultFolders();
        home.writeFile("Documents/report.pdf", "pdf");
    }
    ~WatchServiceTest() override {
        if (m_service > 0) {
            ::kill(m_service, SIGKILL);
            ::waitpid(m_service, nullptr, 0);
        }
    }

    int run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {LUMIFOLD_CLI_PATH, "--home", home.path()});
        return exitStatusOf(spawn(arguments));
    }
    // `prefix` runs the service (a shell command line's words ending in the program).
    void startService(std::vector<std::string> prefix = {LUMIFOLD_CLI_PATH},
                      const std::vector<std::string>& more = {}) {
        prefix.insert(prefix.end(), {"--home", home.path(), "watch", "--daemon", "--debounce", "1",
                                     "--no-relaunch"});
        prefix.insert(prefix.end(), more.begin(), more.end());
        m_service = spawn(prefix);
    }
    int stopService(int signal = SIGTERM) {
        if (m_service <= 0) return -1;  // kill(-1) would signal every process we may signal
        ::kill(m_service, signal);
        return exitStatusOf(std::exchange(m_service, -1));
    }
    // Waits until the service's log holds `count` lines containing `text`; returns the log.
    std::string awaitLog(const std::string& text, int count = 1,
                         const char* log = "out.log") const {
        for (const auto start = std::chrono::steady_clock::now();
             std::chrono::steady_clock::now() - start < kPatience;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            const std::string read = contentOf(home / log);
            int found = 0;
            for (auto at = read.find(text); at != std::string::npos; at = read.find(text, at + 1)) {
                ++found;
            }
            if (found >= count) return read;
        }
        ADD_FAILURE() << "the service never logged " << text;
        return {};
    }
    std::string documentsViewStyle(const std::string& folder = "Documents") const {
        for (const auto& entry : DSStoreReader().readEntries(home / (folder + "/.DS_Store"))) {
            if (entry.filename == "." && entry.code == "vstl") return entry.value.asFourCC();
        }
        return "";
    }

    testing::TempHome home;

  private:
    pid_t spawn(const std::vector<std::string>& arguments) const {
        const pid_t child = spawnLogged(arguments, home / "out.log", home / "err.log");
        if (child < 0) ADD_FAILURE() << "could not start " << arguments.front();
        return child;
    }
    pid_t m_service = -1;
};

// One outside change gives one apply; the quiet period Apply's own writes cause finds nothing.
// A restore pauses the service, so it does not undo what was rolled back, until resumed.
TEST_F(WatchServiceTest, PutsBackAnOutsideChangeOnceLeavesARestoreAloneAndStopsOnSigterm) {
    ASSERT_EQ(run({"apply", "--no-relaunch"}), 0);
    startService();
    awaitLog("Keep Consistent: Active (watching 6 of 6 folders, debounce: 1s)");
    home.writeFile("Documents/.DS_Store", viewStyleStore("Nlsv"));
    awaitLog("of quiet: snapshot");
    // Once at start, once after Apply's own writes.
    std::string log = awaitLog("the layout holds in", 2);
    EXPECT_EQ(documentsViewStyle(), "icnv");
    EXPECT_EQ(platform::listDirectory(home / ".lumifold/backups").size(), 2u) << log;
    EXPECT_NE(log.find("applying 1 change\n"), std::string::npos) << log;

    ASSERT_EQ(run({"restore"}), 0);
    awaitLog("Keep Consistent is paused since snapshot");
    EXPECT_EQ(documentsViewStyle(), "Nlsv");
    ASSERT_EQ(run({"watch", "resume"}), 0);
    home.writeFile("Documents/new.txt", "x");
    log = awaitLog("of quiet: snapshot", 2);
    EXPECT_EQ(stopService(), 0) << log;
    EXPECT_EQ(documentsViewStyle(), "icnv");
}

// A whole tree under a watch limit too small for it: the service says what it could not watch
// and how to mend it, and keeps what it could watch consistent, deep folders included. The login
// service is installed to run the same way.
TEST_F(WatchServiceTest, WatchesTreesAsFarAsTheLimitAllowsAndSaysSo) {
    const std::string limited = "echo 4 > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\"";
    if (std::system(("unshare -U -r sh -c '" + limited + "' true").c_str()) != 0) {
        GTEST_SKIP() << "needs user namespaces with their own watch limit";
    }
    home.makeFolder("Documents/P/a");
    startService({"/usr/bin/unshare", "-U", "-r", "sh", "-c", limited, LUMIFOLD_CLI_PATH},
                 {"--recursive"});
    const std::string errors =
        awaitLog("4 of the 8 folders in the watched trees are not watched", 1, "err.log");
    EXPECT_NE(errors.find("sudo sysctl -w fs.inotify.max_user_watches="), std::string::npos)
        << errors;
    awaitLog(
        "Keep Consistent: Active (watching 2 of 6 folders, debounce: 1s); 4 folders of their "
        "trees watched");
    awaitLog("of quiet: snapshot");  // once at start: the home was never applied
    home.writeFile("Documents/P/a/.DS_Store", viewStyleStore("Nlsv"));
    awaitLog("of quiet: snapshot", 2);
    EXPECT_EQ(documentsViewStyle("Documents/P/a"), "icnv");
    EXPECT_EQ(stopService(SIGHUP), 0);  // a closed terminal ends it as SIGTERM does
    awaitLog("Stopping on SIGHUP");

    ASSERT_EQ(run({"--metadata", "netatalk", "agent", "install", "--folders-only", "--folder",
                   home / "Documents", "--recursive", "--depth", "2", "--exclude", "*.tmp",
                   "--full-every", "3600"}),
              0);
    const std::string job =
        contentOf(home / "Library/LaunchAgents/com.quarnish.lumifold.watcher.plist");
    EXPECT_NE(job.find("<string>--metadata</string>\n\t\t<string>netatalk</string>"),
              std::string::npos)
        << job;
    EXPECT_NE(job.find("<string>--folders-only</string>\n\t\t<string>--recursive</string>\n\t\t"
                       "<string>--depth</string>\n\t\t"
                       "<string>2</string>\n\t\t<string>--exclude</string>\n\t\t"
                       "<string>*.tmp</string>\n\t\t<string>--full-every</string>\n\t\t"
                       "<string>3600</string>"),
              std::string::npos)
        << job;
}

}  // namespace
}  // namespace lumifold
