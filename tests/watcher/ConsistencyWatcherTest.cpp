#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <semaphore>
#include <thread>

#include "core/inspection/FolderScanner.h"
#include "core/watcher/ConsistencyWatcher.h"
#include "tests/support/TempHome.h"

// Real folders and inotify; only the clock is fake, so no test sleeps through a debounce.
namespace lumifold {
namespace {

// inotify descriptors of this process and the watches they hold, from /proc/self/fdinfo.
std::pair<int, int> inotifyDescriptorsAndWatches() {
    int descriptors = 0, watches = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) != "anon_inode:inotify") continue;
        ++descriptors;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        for (std::string line; std::getline(info, line);)
            watches += line.starts_with("inotify wd:");
    }
    return {descriptors, watches};
}

class ConsistencyWatcherTest : public ::testing::Test {
  protected:
    ConsistencyWatcherTest() {
        watcher.emplace(home.makeDefaultFolders(), [this] { return now.load(); });
        watcher->setDebounceInterval(8.0);
        watcher->setOnReconciliationNeeded([this](const FolderChanges&) { ++callbacks; });
        watcher->setOnFolderGone([this](const std::string& folder) { gone.push_back(folder); });
    }
    void start() {
        watcher->start();
        watcher->waitUntilIdle();
    }
    // A change of the Desktop's entries, seen once the queue has read it.
    void change(const std::string& name = "file") {
        home.writeFile("Desktop/" + name, "x");
        watcher->waitUntilIdle();
    }
    void advance(double seconds) {
        now = now + seconds;
        watcher->waitUntilIdle();
    }

    testing::TempHome home;
    std::atomic<double> now = 1000.0;
    std::atomic<int> callbacks = 0;
    std::vector<std::string> gone;  // touched on the queue, read after waitUntilIdle
    std::optional<ConsistencyWatcher> watcher;
};

// The layout file is heard whether it is written in place or replaced; its neighbours are not.
// Each change reloads it, then one reconciliation follows the quiet period.
TEST_F(ConsistencyWatcherTest, AnEditedLayoutFileIsReloadedThenEveryFolderReconciled) {
    const std::string layout = home.writeFile(".config/lumifold/layout.toml", "icon-size = 64\n");
    int reloads = 0;
    watcher->setLayoutFile(layout, [&] { ++reloads; });
    start();
    std::ofstream(layout, std::ios::trunc) << "icon-size = 80\n";
    watcher->waitUntilIdle();
    EXPECT_GE(reloads, 1);
    advance(8);
    EXPECT_EQ(callbacks, 1);

    const int before = reloads;
    home.writeFile(".config/lumifold/notes.txt", "x");
    watcher->waitUntilIdle();
    EXPECT_EQ(reloads, before);
    std::filesystem::rename(home.writeFile(".config/lumifold/layout.toml.new", "view = \"list\"\n"),
                            layout);
    watcher->waitUntilIdle();
    EXPECT_GT(reloads, before);
    advance(8);
    EXPECT_EQ(callbacks, 2);
}

// One call one interval after the last event of a burst. A reconciliation that could not run
// (the lock was held) asks again with no change needed; never while paused.
TEST_F(ConsistencyWatcherTest, CallsBackOnceAfterABurstAndARetryOneIntervalLater) {
    watcher->setOnReconciliationNeeded([this](const FolderChanges&) {
        if (++callbacks == 1) watcher->retryLater();
    });
    start();
    change("a");
    advance(3);
    change("b");
    advance(7.9);
    EXPECT_EQ(callbacks, 0);
    advance(0.1);
    watcher->waitUntilIdle();  // the retry the callback asked for is enqueued
    EXPECT_EQ(callbacks, 1);
    advance(7.5);
    EXPECT_EQ(callbacks, 1);
    advance(0.5);
    EXPECT_EQ(callbacks, 2);
    advance(100);
    EXPECT_EQ(callbacks, 2);
    watcher->pause();
    watcher->retryLater();
    advance(100);
    EXPECT_EQ(callbacks, 2);
}

// Pause drops pending work and resume waits for a new event. Five folders and their parent (for
// its store and for the missing Music) take six watches; stop closes them all.
TEST_F(ConsistencyWatcherTest, PauseAndStopDropPendingWorkAndStopClosesEveryWatch) {
    const auto [before, none] = inotifyDescriptorsAndWatches();
    testing::removeTree(home / "Music");
    watcher->setDebounceInterval(2.9);
    start();
    change("a");
    watcher->pause();
    start();  // already running: stays paused
    EXPECT_EQ(watcher->statusText(), "Paused");
    change("b");
    watcher->resume();
    advance(10);
    EXPECT_EQ(callbacks, 0);
    EXPECT_EQ(inotifyDescriptorsAndWatches(), std::make_pair(before + 1, none + 6));
    EXPECT_EQ(watcher->statusText(), "Active (watching 5 of 6 folders, debounce: 2s)");
    change("c");
    watcher->stop();
    advance(10);
    EXPECT_EQ(inotifyDescriptorsAndWatches(), std::make_pair(before, none));
    EXPECT_EQ(watcher->statusText(), "Stopped");
    EXPECT_EQ(callbacks, 0);
    start();
    change("d");
    advance(2.9);
    EXPECT_EQ(inotifyDescriptorsAndWatches(), std::make_pair(before + 1, none + 6));
    EXPECT_EQ(callbacks, 1);
}

// What counts as a change: a chosen folder's entries and own attributes, its store rewritten in
// place, and its parent's store (which holds the folder's record); not what happens inside the
// other entries, the parent's other entries, or our own temporary files.
TEST_F(ConsistencyWatcherTest, CountsTheFoldersEntriesItselfAndTheStoresOnly) {
    const std::string desktop = home / "Desktop", other = desktop + "/.DS_Store.txt";
    home.writeFile("Desktop/.DS_Store", "old");
    home.writeFile("Desktop/notes.txt", "old");
    home.writeFile("Desktop/.DS_Store.txt", "old");
    const std::string temporary = desktop + "/..DS_Store.tmp.0F5C2A8E-1B2C-4D5E-8F90-A1B2C3D4E5F6";
    const struct {
        const char* what;
        std::function<void()> act;
        bool counts;
    } cases[] = {
        {"store written in place", [&] { std::ofstream(desktop + "/.DS_Store") << "new"; }, true},
        {"entry renamed",
         [&] { ::rename((desktop + "/notes.txt").c_str(), (desktop + "/n").c_str()); }, true},
        {"folder's mode", [&] { ::chmod(desktop.c_str(), 0700); }, true},
        {"entry removed", [&] { ::unlink((desktop + "/n").c_str()); }, true},
        {"another file's content", [&] { std::ofstream(other) << "x"; }, false},
        {"another file's mode", [&] { ::chmod(other.c_str(), 0600); }, false},
        {"another file's attribute", [&] { ::setxattr(other.c_str(), "user.x", "1", 1, 0); },
         false},
        {"parent's store written", [&] { home.writeFile(".DS_Store", "made"); }, true},
        {"parent's store rewritten in place", [&] { std::ofstream(home / ".DS_Store") << "again"; },
         true},
        {"parent's store removed", [&] { ::unlink((home / ".DS_Store").c_str()); }, true},
        {"parent's other entry", [&] { home.writeFile("notes.txt", "x"); }, false},
        {"our own temporary file",
         [&] {
             std::ofstream(temporary) << "x";
             ::unlink(temporary.c_str());
         },
         false},
    };
    start();
    int expected = 0;
    for (const auto& [what, act, counts] : cases) {
        act();
        watcher->waitUntilIdle();
        advance(8);
        EXPECT_EQ(callbacks, expected += counts) << what;
    }
}

// A chosen folder that goes, or was never there, is watched once a folder of its name appears
// (made, or moved in, with folders above it made first), and one reconciliation is asked for.
TEST_F(ConsistencyWatcherTest, AFolderGoneOrMissingIsWatchedOnceItAppears) {
    watcher.emplace(std::vector<std::string>{home / "Desktop", home / "Projects/Deep/A"},
                    [this] { return now.load(); });
    watcher->setOnReconciliationNeeded([this](const FolderChanges&) { ++callbacks; });
    watcher->setOnFolderGone([this](const std::string& folder) { gone.push_back(folder); });
    start();
    EXPECT_EQ(watcher->statusText(), "Active (watching 1 of 2 folders, debounce: 8s)");
    ASSERT_EQ(::rename((home / "Desktop").c_str(), (home / "Moved").c_str()), 0);
    watcher->waitUntilIdle();
    EXPECT_EQ(gone, std::vector<std::string>{home / "Desktop"});
    home.writeFile("Moved/a", "x");  // no longer the chosen folder
    advance(8);
    EXPECT_EQ(callbacks, 0);
    EXPECT_EQ(watcher->statusText(), "Active (watching 0 of 2 folders, debounce: 8s)");

    const auto appears = [&](const std::function<void()>& make, const char* status) {
        make();
        watcher->waitUntilIdle();
        watcher->waitUntilIdle();  // the folder is watched one turn after its event
        const int before = callbacks;
        advance(8);
        EXPECT_EQ(callbacks, before + 1) << status;  // planned once
        EXPECT_EQ(watcher->statusText(), status);
    };
    appears([&] { ASSERT_EQ(::rename((home / "Moved").c_str(), (home / "Desktop").c_str()), 0); },
            "Active (watching 1 of 2 folders, debounce: 8s)");
    appears([&] { home.makeFolder("Projects/Deep/A"); },
            "Active (watching 2 of 2 folders, debounce: 8s)");
    home.writeFile("Projects/Deep/A/file", "x");
    watcher->waitUntilIdle();
    advance(8);
    EXPECT_EQ(callbacks, 3);
}

// A tree is watched whole, and so are folders made or moved into it later, down to the depth.
TEST_F(ConsistencyWatcherTest, ATreeIsWatchedWholeAsItChanges) {
    home.makeFolder("Desktop/a/b");
    home.makeFolder("Desktop/.hidden");
    const FolderScanner scanner(home.path(), platform::temporaryDirectory());
    watcher->setFolderTree(FolderTree(scanner, {2, {}}));
    const int none = inotifyDescriptorsAndWatches().second;
    const auto watches = [&] {
        // A folder made is watched once the event that told of it has been handled.
        watcher->waitUntilIdle();
        watcher->waitUntilIdle();
        return inotifyDescriptorsAndWatches().second - none;
    };
    start();
    EXPECT_EQ(watches(), 9);  // the six, a and a/b, and their parent; not the hidden one
    home.makeFolder("Desktop/n/m");
    EXPECT_EQ(watches(), 11);
    home.makeFolder("Desktop/n/m/deep");
    EXPECT_EQ(watches(), 11);  // below the depth
    ASSERT_EQ(::rename((home / "Desktop/n").c_str(), (home / "Desktop/r").c_str()), 0);
    EXPECT_EQ(watches(), 11);
    EXPECT_EQ(watcher->watchedFolderCount(), 10u);  // m moved along, watched once
    advance(8);
    const int before = callbacks;
    home.writeFile("Desktop/r/m/file", "x");
    watcher->waitUntilIdle();
    advance(8);
    EXPECT_EQ(callbacks, before + 1);
    testing::removeTree(home / "Desktop/r");
    EXPECT_EQ(watches(), 9);
    EXPECT_TRUE(gone.empty());  // only a configured folder's going is told
}

// Events the kernel had to drop (its queue overflowed while ours was busy) may have been of
// folders made meanwhile: the trees are walked again and those folders watched.
TEST_F(ConsistencyWatcherTest, AfterLostEventsTheTreesAreWalkedAgain) {
    const FolderScanner scanner(home.path(), platform::temporaryDirectory());
    watcher->setFolderTree(FolderTree(scanner, {}));
    std::binary_semaphore busy(0);
    watcher->setOnReconciliationNeeded([&](const FolderChanges&) {
        if (++callbacks == 1) busy.acquire();  // the queue reads nothing meanwhile
    });
    start();
    change("wake");
    now = now + 8;  // the callback runs, and holds the queue
    std::thread advanceClock([&] { watcher->waitUntilIdle(); });
    // More events than the kernel keeps (16 384 by default), then a folder whose event is lost.
    const std::size_t limit = [] {
        std::size_t queued = 16384;
        std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
        return queued;
    }();
    if (limit > 100000) {
        busy.release();
        advanceClock.join();
        GTEST_SKIP() << "the kernel keeps " << limit << " events";
    }
    for (std::size_t i = 0; i <= limit; ++i) {
        const std::string name = home / ("Documents/f" + std::to_string(i));
        std::ofstream(name) << "";
    }
    home.makeFolder("Documents/made");
    busy.release();
    advanceClock.join();
    watcher->waitUntilIdle();
    advance(8);
    const int before = callbacks;
    home.writeFile("Documents/made/file", "x");
    watcher->waitUntilIdle();
    advance(8);
    EXPECT_EQ(callbacks, before + 1);
}

}  // namespace
}  // namespace lumifold
