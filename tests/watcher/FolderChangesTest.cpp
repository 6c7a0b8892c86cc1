#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"
#include "core/inspection/FolderViewRecords.h"
#include "core/platform/FileSystem.h"
#include "core/watcher/KeepConsistent.h"
#include "tests/finder/FakeFinder.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestSeed.h"

// The folders a quiet period's events name, on a real tree with real inotify and a fake clock,
// and the plan made of them against the whole trees' plan.
namespace lumifold {
namespace {

using Folders = std::set<std::string>;

class FolderChangesTest : public ::testing::Test {
  protected:
    // With --folders-only a parent's store counts only inside the chosen folder.
    virtual bool foldersOnly() const { return false; }
    void SetUp() override {
        for (const char* folder : {"Documents/a/x", "Documents/a/y", "Documents/b"}) {
            home.makeFolder(folder);
        }
        EngineOptions options;
        options.homeDirectory = home.path();
        options.finderHost = finder.host();
        options.monotonicSeconds = [this] { return now.load(); };
        options.foldersOnly = foldersOnly();
        engine = std::make_unique<LumifoldEngine>(std::move(options));
        keep = std::make_unique<KeepConsistent>(
            *engine,
            KeepConsistentOptions{.folders = std::vector{home / "Documents"},
                                  .tree = FolderTreeOptions{},
                                  .relaunchFinder = false,
                                  .keepSnapshots = std::nullopt,
                                  .quietPeriod = 1},
            [this] { return now.load(); });
        watcher.emplace(keep->watchedFolders(), [this] { return now.load(); });
        watcher->setDebounceInterval(1);
        watcher->setFolderTree(FolderTree(engine->scanner(), {}));
        watcher->setOnReconciliationNeeded(
            [this](const FolderChanges& changes) { heard.push_back(changes); });
        watcher->start();
        watcher->waitUntilIdle();
    }
    // What the quiet period after the changes made so far hands over, if anything.
    FolderChanges settle() {
        watcher->waitUntilIdle();
        watcher->waitUntilIdle();  // folders made are walked one turn after their event
        heard.clear();
        now = now + 1;
        watcher->waitUntilIdle();
        return heard.empty() ? FolderChanges{} : heard.back();
    }
    void writeStore(const std::string& folder, const std::string& name, const char* style) {
        home.writeFile(folder.empty() ? ".DS_Store" : folder + "/.DS_Store",
                       DSStoreWriter().encode(
                           {{name, kViewStyleCode, kTypeType, DSStoreValue::fourCC(style)}}));
    }
    // A folder made outside the tree, with one below it and a file, moved in.
    void moveIn(const std::string& relative) {
        static int made = 0;
        const std::string outside = "outside" + std::to_string(++made);
        home.makeFolder(outside + "/deep");
        home.writeFile(outside + "/deep/notes.txt", "n");
        ASSERT_EQ(std::rename((home / outside).c_str(), (home / relative).c_str()), 0);
    }

    testing::TempHome home;
    testing::FakeFinder finder{.running = false};
    std::atomic<double> now = 100;
    std::unique_ptr<LumifoldEngine> engine;
    std::unique_ptr<KeepConsistent> keep;
    std::optional<ConsistencyWatcher> watcher;
    std::vector<FolderChanges> heard;  // on the queue; read after waitUntilIdle
};

TEST_F(FolderChangesTest, EachKindOfEventNamesItsFolders) {
    const std::string docs = home / "Documents";
    struct Case {
        const char* what;
        std::function<void()> change;
        Folders folders;
        Folders records;
    };
    const Case cases[] = {
        {"a file made", [&] { home.writeFile("Documents/a/f.txt", "f"); }, {docs + "/a"}, {}},
        {"a store written: its subfolders' records too",
         [&] { writeStore("Documents/a", "x", "clmv"); },
         {docs + "/a"},
         {docs + "/a/x", docs + "/a/y"}},
        {"a store removed",
         [&] { std::remove((docs + "/a/.DS_Store").c_str()); },
         {docs + "/a"},
         {docs + "/a/x", docs + "/a/y"}},
        {"a folder moved in brings its tree",
         [&] { moveIn("Documents/b/new"); },
         {docs + "/b/new", docs + "/b/new/deep"},
         {}},
        {"the folder's own attributes",
         [&] { ::chmod((docs + "/b").c_str(), 0750); },
         {docs + "/b"},
         {}},
        {"the store holding the chosen folder's record",
         [&] { writeStore("", "Documents", "Nlsv"); },
         {docs},
         {}},
        {"a hidden folder made", [&] { home.makeFolder("Documents/.git"); }, {}, {}},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        each.change();
        const FolderChanges changes = settle();
        EXPECT_EQ(heard.size(), 1u);
        EXPECT_EQ(changes.wholeTrees, std::nullopt);
        EXPECT_EQ(changes.folders, each.folders);
        EXPECT_EQ(changes.records, each.records);
        EXPECT_EQ(changes.quietSeconds, 1.0);
    }
}

// The whole trees at start (the first reconciliation), when asked, once a period, after lost
// events (ConsistencyWatcherTest) and past the bound; changes while paused are left alone.
TEST_F(FolderChangesTest, TheWholeTreesWhenDueOrPastTheBound) {
    EXPECT_EQ(keep->reconcile(FolderChanges{}).lines.front(),
              "Checking every folder watched: at start");
    watcher->requestFullReconcile("the layout changed");
    EXPECT_EQ(settle().wholeTrees, "the layout changed");
    now = now + debounce_limits::kFullReconcileDefault;
    watcher->waitUntilIdle();
    EXPECT_EQ(settle().wholeTrees, "the periodic check of the whole trees is due");

    FolderChanges many;
    for (std::size_t i = 0; i <= FolderChanges::kMostFolders; ++i) {
        many.addFolder("/f" + std::to_string(i));
    }
    EXPECT_EQ(many.wholeTrees, "more than 10000 folders changed");
    EXPECT_TRUE(many.folders.empty());

    watcher->pause();
    home.writeFile("Documents/b/while-paused.txt", "p");
    watcher->waitUntilIdle();
    watcher->resume();
    home.writeFile("Documents/a/after.txt", "a");
    EXPECT_EQ(settle().folders, Folders{home / "Documents/a"});
}

// From a tree the whole plan left consistent, random changes: the plan of the folders they name
// is the whole trees' plan, and carrying it out leaves the whole trees consistent.
class FolderChangesPlanTest : public FolderChangesTest, public ::testing::WithParamInterface<bool> {
    bool foldersOnly() const override { return GetParam(); }
};

TEST_P(FolderChangesPlanTest, TheChangedFoldersPlanWhatTheWholeTreesPlan) {
    const auto seed = testing::testSeed();
    SCOPED_TRACE(testing::seedTrace(seed));
    std::mt19937_64 random(seed);
    ASSERT_NE(keep->reconcile(FolderChanges{}).result, Reconciliation::Result::failed);
    std::vector<std::string> tree{"Documents", "Documents/a", "Documents/a/x", "Documents/a/y",
                                  "Documents/b"};
    const auto wholePlan = [&] {
        return engine->plan(engine->expandTrees(std::vector{home / "Documents"}, {}));
    };
    // What a plan would write, in no particular order.
    const auto writes = [](const ChangePlan& plan) {
        std::map<std::string, Bytes> stores;
        for (const auto& store : plan.stores) stores[store.plan.dsStorePath] = store.image;
        const auto files = plan.extensionFiles.paths();
        return std::pair(stores, std::set(files.begin(), files.end()));
    };
    // A parent's store holds a changed folder's record: it is in reach even when only the
    // folder itself changed (with --folders-only too, as the parent lies in the chosen tree).
    const std::string parentStore = home / "Documents/a/.DS_Store";
    std::vector<DSStoreEntry> records;
    if (platform::fileExists(parentStore)) records = DSStoreReader().readEntries(parentStore);
    records.push_back({"x", kViewStyleCode, kTypeType, DSStoreValue::fourCC("clmv")});
    home.writeFile("Documents/a/.DS_Store", DSStoreWriter().encode(records));
    FolderChanges onlyTheChild;
    onlyTheChild.folders = {home / "Documents/a/x"};
    EXPECT_EQ(writes(keep->plan(onlyTheChild)), writes(wholePlan()));
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (int n = 0; n < 3; ++n) {
            const std::string folder = tree[random() % tree.size()];
            const std::string name = "n" + std::to_string(round) + std::to_string(n);
            switch (random() % 4) {
                case 0:
                    home.writeFile(folder + "/" + name + ".txt", "t");
                    break;
                case 1:
                    writeStore(folder, random() % 2 ? "." : "x", "clmv");
                    break;
                case 2:
                    moveIn(folder + "/" + name);
                    tree.push_back(folder + "/" + name);
                    tree.push_back(folder + "/" + name + "/deep");
                    break;
                default:
                    std::remove((home / folder + "/.DS_Store").c_str());
                    break;
            }
        }
        const FolderChanges changes = settle();
        const ChangePlan whole = wholePlan();
        EXPECT_EQ(writes(keep->plan(changes)), writes(whole));
        EXPECT_EQ(keep->reconcile(changes).result, changeCount(whole) > 0
                                                       ? Reconciliation::Result::applied
                                                       : Reconciliation::Result::holds);
        EXPECT_EQ(keep->reconcile(settle()).result, Reconciliation::Result::holds);  // our own
        EXPECT_EQ(changeCount(wholePlan()), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(HomeAndFoldersOnly, FolderChangesPlanTest, ::testing::Bool());

}  // namespace
}  // namespace lumifold
