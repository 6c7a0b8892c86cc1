#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PreferencesService.h"
#include "core/plist/PropertyList.h"
#include "tests/cli/CliTestSupport.h"

// Another writer acting at the very moment the program renames its file into place. strace
// holds each rename for a while (the program is otherwise untouched), and a racer in this
// process acts as soon as the program's temporary file for the target appears.
namespace lumifold {
namespace {

using platform::PlistValue;
using platform::PreferencesService;

constexpr const char* kHoldMicroseconds = "150000";

// Runs `arguments` to its end, standard output and error into `log`; its exit status.
int run(const std::vector<std::string>& arguments, const std::string& log) {
    return exitStatusOf(spawnLogged(arguments, log, log));
}

// A racer: once a file whose name starts with `prefix` appears in `folder` (or once `ready`
// says so), calls `act` once. Polls every millisecond; gives up with the program.
class Racer final {
  public:
    Racer(std::function<bool()> ready, std::function<void()> act)
        : m_thread([this, ready = std::move(ready), act = std::move(act)] {
              while (!m_stop) {
                  if (ready()) {
                      act();
                      m_acted = true;
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    ~Racer() { stop(); }
    bool stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return m_acted;
    }
    static std::function<bool()> temporaryFileIn(const std::string& folder,
                                                 const std::string& target) {
        return [=] {
            for (const auto& name : platform::listDirectory(folder, true)) {
                if (name.starts_with("." + target + ".tmp.")) return true;
            }
            return false;
        };
    }

  private:
    std::atomic<bool> m_stop = false;
    std::atomic<bool> m_acted = false;
    std::thread m_thread;
};

class ConcurrentWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (run({"strace", "-f", "-o", "/dev/null", "true"}, home / ".probe") != 0) {
            GTEST_SKIP() << "strace cannot trace here (missing, or ptrace refused)";
        }
        makeHome();
    }
    // Preferences, both per-host domains and a store that Apply rewrites, and a file to flag.
    void makeHome() {
        for (const auto& name : platform::listDirectory(home.path(), true)) {
            platform::removeTree(home / name);
        }
        home.writeFile("Library/Preferences/com.apple.finder.plist",
                       "<plist><dict><key>FXPreferredViewStyle</key><string>Nlsv</string>"
                       "<key>AppleShowAllExtensions</key><true/></dict></plist>");
        PreferencesService service(home.path());
        for (const char* domain : {PreferencesService::kAnyApplication, "com.apple.finder"}) {
            service.setValue("Kept", PlistValue::integer(7), domain,
                             PreferencesService::User::current, PreferencesService::Host::current);
        }
        desktopStore = home.writeFile("Desktop/.DS_Store", viewStyleStore("Nlsv"));
        home.writeFile("Desktop/report.pdf", "pdf");
    }
    // The program under strace, holding every rename for a while at `when` (delay_enter or
    // delay_exit); its exit status.
    int runHeld(const std::vector<std::string>& arguments, const char* when) {
        // The leak checker of a sanitizer build cannot work under ptrace, and says so by
        // failing the program at its end.
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        const std::string asan = std::string("ASAN_OPTIONS=") +
                                 (sanitizer ? std::string(sanitizer) + ":" : "") + "detect_leaks=0";
        const std::string renames = "rename,renameat,renameat2";
        const std::string inject = "inject=" + renames + ":" + when + "=" + kHoldMicroseconds;
        // Options with their values attached, as getopt reads them.
        std::vector<std::string> command{"env",         asan,
                                         "strace",      "-f",
                                         "-o/dev/null", "-etrace=" + renames,
                                         "-e" + inject, LUMIFOLD_CLI_PATH,
                                         "--home",      home.path()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return run(command, home / ".log");
    }
    std::string log() const { return contentOf(home / ".log"); }
    std::string domainPath(const char* domain) const {
        return *PreferencesService(home.path())
                    .domainPath(domain, PreferencesService::Host::current);
    }

    testing::TempHome home;
    std::string desktopStore;
};

// A file another program writes while Apply swaps its own in keeps what that program wrote,
// whichever of Apply's files it is; Apply says so and records it as not written.
TEST_F(ConcurrentWriterTest, AnOutsideWriteAtTheRenameIsNeverLost) {
    const std::string finderPlist = home / "Library/Preferences/com.apple.finder.plist";
    for (const std::string& target : {finderPlist, domainPath(PreferencesService::kAnyApplication),
                                      domainPath("com.apple.finder"), desktopStore}) {
        SCOPED_TRACE(target);
        const std::string theirs = "written by another program\n";
        Racer racer(
            Racer::temporaryFileIn(deletingLastPathComponent(target), lastPathComponent(target)),
            [&] { std::ofstream(target) << theirs; });
        const int status =
            runHeld({"apply", "--no-relaunch", "--folder", home / "Desktop"}, "delay_enter");
        ASSERT_TRUE(racer.stop()) << log();
        EXPECT_NE(status, 1) << log();
        EXPECT_EQ(contentOf(target), theirs);
        EXPECT_NE(log().find("\"" + target + "\" was changed by another program while Apply ran"),
                  std::string::npos)
            << log();
        makeHome();
    }
}

// Restore gives a store its bits before the store takes its name: a link renamed over the store
// just after never has its target's mode changed.
TEST_F(ConcurrentWriterTest, ALinkPutOverARestoredStoreNeverHasItsTargetChanged) {
    ASSERT_EQ(run({LUMIFOLD_CLI_PATH, "--home", home.path(), "apply", "--no-relaunch", "--folder",
                   home / "Desktop"},
                  home / ".log"),
              0)
        << log();
    const testing::TempHome elsewhere;
    const std::string victim = elsewhere.writeFile("victim", "victim");
    platform::setPermissionBits(victim, 0600);
    Racer racer(
        [&] {
            // The restored store is in place: its content is the snapshot's again.
            return platform::entryType(desktopStore) == platform::EntryType::regular &&
                   contentOf(desktopStore) == std::string(asText(viewStyleStore("Nlsv")));
        },
        [&] {
            const std::string link = home / "Desktop/.link";
            ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
            std::filesystem::rename(link, desktopStore);
        });
    const int status = runHeld({"restore", "--force"}, "delay_exit");
    ASSERT_TRUE(racer.stop()) << log();
    EXPECT_EQ(status, 0) << log();
    EXPECT_EQ(platform::permissionBits(victim), 0600u);
    EXPECT_EQ(contentOf(victim), "victim");
}

}  // namespace
}  // namespace lumifold
