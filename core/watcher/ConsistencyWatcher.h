#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/dsstore/DSStoreFormat.h"
#include "core/inspection/FolderTree.h"
#include "core/platform/Clock.h"
#include "core/platform/DirectoryEvents.h"
#include "core/platform/SerialQueue.h"
#include "core/watcher/DebounceLimits.h"

namespace lumifold {

// Keep Consistent's watcher: watches a fixed list of folders (or their whole trees) and, once they
// have been quiet for the debounce interval after a change, asks for one reconciliation. It never
// reads the folders' content; reconciling is the owner's business.
//
// Every state change and every handler runs on the watcher's own queue; start, stop, pause and
// resume only enqueue their work. The owner sets the callbacks before start and leaves them alone
// while the watcher runs; the interval may change at any time and counts from the next change.
class ConsistencyWatcher final {
  public:
    static constexpr const char* kQueueLabel = "com.quarnish.lumifold.watcher";
    static constexpr double kDefaultDebounceInterval = debounce_limits::kDefault;

    // Opens nothing. Time is read only through `monotonicSeconds`.
    explicit ConsistencyWatcher(
        std::vector<std::string> watchedPaths,
        std::function<double()> monotonicSeconds = platform::monotonicSeconds);
    ConsistencyWatcher(const ConsistencyWatcher&) = delete;
    ConsistencyWatcher& operator=(const ConsistencyWatcher&) = delete;
    // Lets a running callback finish, drops a pending one and closes every source; nothing runs
    // after it returns.
    ~ConsistencyWatcher();

    // Seconds of quiet before the callback: finite and not negative (others are taken as 0).
    // Read when a wait begins, so a change counts from the next event on.
    double debounceInterval() const { return m_debounceInterval; }
    void setDebounceInterval(double seconds);
    // Called on the watcher's queue, once per quiet period. A callback that touches another
    // thread's state hops there itself.
    void setOnReconciliationNeeded(std::function<void()> callback);
    // Told, on the queue, of a watched folder deleted or moved away: it is watched again, and a
    // reconciliation asked for, once a folder of its name appears again (as for a folder missing
    // at start). And of a folder start could not watch, with the reason.
    void setOnFolderGone(std::function<void(const std::string& folder)> callback);
    void setOnFolderSkipped(
        std::function<void(const std::string& folder, const std::string& reason)> callback);
    // Told, on the queue, what a tree's walk passed over (mount points, folders it could not
    // list) and when the system's limit of watches leaves folders unwatched.
    void setOnWarning(std::function<void(const std::string& message)> callback);
    // Watches each folder's tree as `tree` walks it, and the folders made or moved into a
    // watched tree later. Before start.
    void setFolderTree(FolderTree tree) { m_tree.emplace(std::move(tree)); }
    // Watches the layout file at `path` too (its folder, for that one entry, replaced or
    // written in place): a change runs `onChange` on the queue, then one reconciliation of
    // every folder follows the quiet period. A file whose folder is missing at start is not
    // watched. Before start.
    void setLayoutFile(std::string path, std::function<void()> onChange);

    void start();
    void stop();
    void pause();
    void resume();
    // Asks for the callback again one quiet period from now (or after `seconds`), with no change
    // needed: for a reconciliation that could not run (another Lumifold process held the lock)
    // or failed. A change meanwhile restarts the wait as usual.
    void retryLater();
    void retryAfter(double seconds);
    // Blocks until the operations enqueued so far have run, and a callback the clock says is due
    // has been called. Not from the callback itself.
    void waitUntilIdle() { m_queue.sync(); }

    // "Stopped", "Paused" or "Active (watching N of M folders, debounce: Ss)", N the configured
    // folders watched now (one missing is watched again once it appears); may lag the queued
    // operations by one step.
    std::string statusText() const;
    const std::vector<std::string>& watchedPaths() const { return m_watchedPaths; }
    // Folders watched now, subfolders of trees included; may lag like statusText.
    std::size_t watchedFolderCount() const { return m_watchedCount; }

  private:
    // A folder being watched: a configured one, or a folder of its tree.
    struct Watched {
        std::string path;
        std::size_t configured = 0;  // index into m_watchedPaths
        std::optional<TreeFolder> tree;
        platform::DirectoryEvents::SourceId source = 0;
    };
    // A configured folder: watched, or awaited in the nearest folder above it that exists; and
    // its parent's .DS_Store, which holds the folder's own record.
    struct Configured {
        bool watched = false;
        std::optional<platform::DirectoryEvents::SourceId> awaiting;
    };
    void openSources();
    void closeSources();
    // Watches configured folder `index` (with its tree) when it exists, else awaits it; true
    // when it is watched now.
    bool watchConfigured(std::size_t index);
    void awaitConfigured(std::size_t index);
    void watchParentStore(std::size_t index);
    // After lost events: every folder that should be watched and is not, and the trees' new
    // folders.
    void rewalk();
    // Adds the source; false when the folder could not be watched (reported, or counted).
    bool watch(Watched folder);
    void forget(std::size_t key);
    void handle(std::size_t key, const platform::DirectoryEvent& event);
    // Watches the subfolder `name` of a watched tree folder, and what lies below it; a folder
    // watched already (moved within the tree) only learns its new place.
    void watchSubtree(const TreeFolder& parent, const std::string& name, std::size_t configured);
    void warn(const std::vector<std::string>& messages) const;
    void reportUnwatched();
    void scheduleReconciliation();
    // After a change of the layout file every folder's target may differ, not only those
    // whose folders changed: the next reconciliation covers them all.
    void scheduleFullReconciliation() { scheduleReconciliation(); }
    void watchLayoutFile();
    void debounceElapsed();
    void cancelDebounce();

    const std::vector<std::string> m_watchedPaths;
    std::atomic<double> m_debounceInterval = kDefaultDebounceInterval;
    std::atomic<bool> m_isRunning = false;
    std::atomic<bool> m_isPaused = false;
    std::function<void()> m_onReconciliationNeeded;
    std::function<void(const std::string&)> m_onFolderGone;
    std::function<void(const std::string&, const std::string&)> m_onFolderSkipped;
    std::function<void(const std::string&)> m_onWarning;
    std::optional<FolderTree> m_tree;
    std::atomic<std::size_t> m_watchedCount = 0;

    // The queue is declared before what its handlers touch and shut down first.
    platform::SerialQueue m_queue;
    // A folder's store written in place is a change of its view.
    platform::DirectoryEvents m_events{m_queue, dsstore_format::kFileName};
    std::map<std::size_t, Watched> m_watched;  // by a key of our own, known to its handler
    std::map<platform::FileIdentity, std::size_t> m_treeKeys;  // tree folders by identity
    std::size_t m_nextKey = 0;
    std::size_t m_unwatched = 0;  // folders the watch limit left out since start
    std::size_t m_unwatchedReported = 0;
    std::vector<Configured> m_configured;
    std::map<std::string, platform::DirectoryEvents::SourceId> m_parentStores;  // by parent
    std::atomic<std::size_t> m_configuredWatched = 0;
    std::optional<platform::SerialQueue::TimerId> m_debounceTimer;
    std::string m_layoutFile;
    std::function<void()> m_onLayoutChanged;
    // Its own events, since the file's name is the one entry they hear written in place.
    std::optional<platform::DirectoryEvents> m_layoutEvents;
    std::optional<platform::DirectoryEvents::SourceId> m_layoutSource;
};

}  // namespace lumifold
