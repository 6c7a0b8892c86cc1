#include "core/watcher/ConsistencyWatcher.h"

#include <cmath>
#include <cstdint>

#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

// Beyond a year no debounce is meant; the cap keeps the whole-second text in range.
constexpr double kLongestDebounce = 365.0 * 24 * 3600;

}  // namespace

ConsistencyWatcher::ConsistencyWatcher(std::vector<std::string> watchedURLs,
                                       std::function<double()> monotonicSeconds)
    : m_watchedURLs(std::move(watchedURLs)), m_queue(kQueueLabel, std::move(monotonicSeconds)) {}

ConsistencyWatcher::~ConsistencyWatcher() {
    // Joined before any member the handlers use goes; the sources then close off the queue.
    m_queue.shutdown();
}

void ConsistencyWatcher::setDebounceInterval(double seconds) {
    m_debounceInterval =
        std::isfinite(seconds) && seconds > 0 ? std::min(seconds, kLongestDebounce) : 0.0;
}

void ConsistencyWatcher::setOnReconciliationNeeded(std::function<void()> callback) {
    m_onReconciliationNeeded = std::move(callback);
}

void ConsistencyWatcher::setOnFolderGone(std::function<void(const std::string&)> callback) {
    m_onFolderGone = std::move(callback);
}

void ConsistencyWatcher::setOnFolderSkipped(
    std::function<void(const std::string&, const std::string&)> callback) {
    m_onFolderSkipped = std::move(callback);
}

void ConsistencyWatcher::start() {
    m_queue.async([this] {
        if (m_isRunning) return;  // a changed folder list waits for a stop and a start
        m_isRunning = true;
        m_isPaused = false;
        openSources();
    });
}

void ConsistencyWatcher::stop() {
    m_queue.async([this] {
        m_isRunning = false;
        m_isPaused = false;
        cancelDebounce();
        closeSources();
    });
}

void ConsistencyWatcher::pause() {
    m_queue.async([this] {
        m_isPaused = true;
        cancelDebounce();
    });
}

void ConsistencyWatcher::resume() {
    m_queue.async([this] { m_isPaused = false; });
}

std::string ConsistencyWatcher::statusText() const {
    if (!m_isRunning) return "Stopped";
    if (m_isPaused) return "Paused";
    return "Active (watching " + std::to_string(m_watchedURLs.size()) + " folders, debounce: " +
           std::to_string(static_cast<std::int64_t>(m_debounceInterval.load())) + "s)";
}

void ConsistencyWatcher::openSources() {
    closeSources();
    for (const std::string& folder : m_watchedURLs) {
        if (!platform::fileExists(folder)) {
            if (m_onFolderSkipped) m_onFolderSkipped(folder, "it does not exist");
            continue;
        }
        std::string error;
        const auto source = m_events.add(
            folder,
            [this, folder](platform::DirectoryEventKind kind) {
                if (kind == platform::DirectoryEventKind::folderGone) {
                    if (m_onFolderGone) m_onFolderGone(folder);
                } else {
                    scheduleReconciliation();
                }
            },
            &error);
        if (source) {
            m_sources.push_back(*source);
        } else if (m_onFolderSkipped) {
            m_onFolderSkipped(folder, error);
        }
    }
}

void ConsistencyWatcher::closeSources() {
    for (const auto source : m_sources) m_events.cancel(source);
    m_sources.clear();
}

void ConsistencyWatcher::scheduleReconciliation() {
    if (!m_isRunning || m_isPaused) return;
    cancelDebounce();
    m_debounceTimer = m_queue.after(m_debounceInterval, [this] { debounceElapsed(); });
}

void ConsistencyWatcher::debounceElapsed() {
    if (m_isRunning && !m_isPaused && m_onReconciliationNeeded) m_onReconciliationNeeded();
    m_debounceTimer.reset();
}

void ConsistencyWatcher::cancelDebounce() {
    if (m_debounceTimer) m_queue.cancel(*m_debounceTimer);
    m_debounceTimer.reset();
}

}  // namespace lumifold
