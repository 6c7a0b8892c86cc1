#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/platform/FileSystem.h"
#include "tests/support/TempHome.h"

// The watch service as its service manager runs it: a real process on real folders, waited for
// in real time (a second or two at --debounce 1).
namespace lumifold {
namespace {

constexpr auto kPatience = std::chrono::seconds(60);  // only a hung service takes this long

class WatchServiceTest : public ::testing::Test {
  protected:
    WatchServiceTest() {
        for (const char* name :
             {"Desktop", "Documents", "Downloads", "Pictures", "Movies", "Music"}) {
            home.makeFolder(name);
        }
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
        const pid_t child = spawn(arguments);
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        int status = 0;
        ::waitpid(m_service, &status, 0);
        m_service = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Waits until the service's log holds `count` lines containing `text`; returns the log.
    std::string awaitLog(const std::string& text, int count = 1,
                         const char* log = "out.log") const {
        for (const auto start = std::chrono::steady_clock::now();
             std::chrono::steady_clock::now() - start < kPatience;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            std::ostringstream read;
            read << std::ifstream(home / log).rdbuf();
            int found = 0;
            for (auto at = read.str().find(text); at != std::string::npos;
                 at = read.str().find(text, at + 1)) {
                ++found;
            }
            if (found >= count) return read.str();
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
        posix_spawn_file_actions_t files;
        ::posix_spawn_file_actions_init(&files);
        ::posix_spawn_file_actions_addopen(&files, 1, (home / "out.log").c_str(),
                                           O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::posix_spawn_file_actions_addopen(&files, 2, (home / "err.log").c_str(),
                                           O_WRONLY | O_CREAT | O_APPEND, 0600);
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid_t child = -1;
        if (::posix_spawn(&child, argv[0], &files, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "could not start " << argv[0];
            child = -1;
        }
        ::posix_spawn_file_actions_destroy(&files);
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
    home.writeFile(
        "Documents/.DS_Store",
        DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC("Nlsv")}}));
    awaitLog("Applied: snapshot");
    // Once at start, once after Apply's own writes.
    std::string log = awaitLog("the layout holds, nothing to apply", 2);
    EXPECT_EQ(documentsViewStyle(), "icnv");
    EXPECT_EQ(platform::listDirectory(home / ".lumifold/backups").size(), 2u) << log;
    EXPECT_NE(log.find("applying 1 change\n"), std::string::npos) << log;

    ASSERT_EQ(run({"restore"}), 0);
    awaitLog("Keep Consistent is paused since snapshot");
    EXPECT_EQ(documentsViewStyle(), "Nlsv");
    ASSERT_EQ(run({"watch", "resume"}), 0);
    home.writeFile("Documents/new.txt", "x");
    log = awaitLog("Applied: snapshot", 2);
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
    awaitLog("Applied: snapshot");  // once at start: the home was never applied
    home.writeFile(
        "Documents/P/a/.DS_Store",
        DSStoreWriter().encode({{".", "vstl", kTypeType, DSStoreValue::fourCC("Nlsv")}}));
    awaitLog("Applied: snapshot", 2);
    EXPECT_EQ(documentsViewStyle("Documents/P/a"), "icnv");
    EXPECT_EQ(stopService(SIGHUP), 0);  // a closed terminal ends it as SIGTERM does
    awaitLog("Stopping on SIGHUP");

    ASSERT_EQ(run({"agent", "install", "--recursive", "--depth", "2", "--exclude", "*.tmp"}), 0);
    std::ostringstream job;
    job << std::ifstream(home / "Library/LaunchAgents/com.quarnish.lumifold.watcher.plist").rdbuf();
    EXPECT_NE(job.str().find("<string>--recursive</string>\n\t\t<string>--depth</string>\n\t\t"
                             "<string>2</string>\n\t\t<string>--exclude</string>\n\t\t"
                             "<string>*.tmp</string>"),
              std::string::npos)
        << job.str();
}

}  // namespace
}  // namespace lumifold
