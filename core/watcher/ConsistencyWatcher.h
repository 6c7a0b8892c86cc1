#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/Clock.h"
#include "core/platform/DirectoryEvents.h"
#include "core/platform/SerialQueue.h"

namespace lumifold {

// Keep Consistent's watcher: watches a fixed list of folders and, once they have been quiet for
// the debounce interval after a change, asks for one reconciliation. It never reads the folders'
// content; reconciling is the owner's business.
//
// Every state change and every handler runs on the watcher's own queue; start, stop, pause and
// resume only enqueue their work. The owner sets the interval and the callbacks before start and
// leaves them alone while the watcher runs.
class ConsistencyWatcher final {
  public:
    static constexpr const char* kQueueLabel = "com.quarnish.lumifold.watcher";
    static constexpr double kDefaultDebounceInterval = 8.0;

    // Opens nothing. Time is read only through `monotonicSeconds`.
    explicit ConsistencyWatcher(
        std::vector<std::string> watchedURLs,
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
    // Told, on the queue, of a watched folder deleted or moved away: it is not watched again
    // until the next start. And of a folder start could not watch, with the reason.
    void setOnFolderGone(std::function<void(const std::string& folder)> callback);
    void setOnFolderSkipped(
        std::function<void(const std::string& folder, const std::string& reason)> callback);

    void start();
    void stop();
    void pause();
    void resume();
    // Blocks until the operations enqueued so far have run, and a callback the clock says is due
    // has been called. Not from the callback itself.
    void waitUntilIdle() { m_queue.sync(); }

    // "Stopped", "Paused" or "Active (watching N folders, debounce: Ss)"; may lag the queued
    // operations by one step.
    std::string statusText() const;
    const std::vector<std::string>& watchedURLs() const { return m_watchedURLs; }

  private:
    void openSources();
    void closeSources();
    void scheduleReconciliation();
    void debounceElapsed();
    void cancelDebounce();

    const std::vector<std::string> m_watchedURLs;
    std::atomic<double> m_debounceInterval = kDefaultDebounceInterval;
    std::atomic<bool> m_isRunning = false;
    std::atomic<bool> m_isPaused = false;
    std::function<void()> m_onReconciliationNeeded;
    std::function<void(const std::string&)> m_onFolderGone;
    std::function<void(const std::string&, const std::string&)> m_onFolderSkipped;

    // The queue is declared before what its handlers touch and shut down first.
    platform::SerialQueue m_queue;
    platform::DirectoryEvents m_events{m_queue};
    std::vector<platform::DirectoryEvents::SourceId> m_sources;
    std::optional<platform::SerialQueue::TimerId> m_debounceTimer;
};

}  // namespace lumifold
