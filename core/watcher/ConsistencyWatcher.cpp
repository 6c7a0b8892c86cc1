#include "core/watcher/ConsistencyWatcher.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/watcher/DebounceLimits.h"

namespace lumifold {
namespace {

// What to tell the user when `unwatched` of `needed` folders found no watch.
std::string watchLimitMessage(std::size_t unwatched, std::size_t needed,
                              std::optional<std::size_t> limit) {
    constexpr std::size_t kStep = 1024;
    const std::size_t now = limit.value_or(8192);
    const std::size_t suggested =
        (std::max(2 * now, now + 2 * unwatched) + kStep - 1) / kStep * kStep;
    return std::to_string(unwatched) + " of the " + std::to_string(needed) +
           " folders in the watched trees are not watched: the system's limit of folder watches" +
           (limit ? " (" + std::to_string(*limit) + " for all of this user's programs)"
                  : std::string()) +
           " is reached, so their changes are put right only after a change elsewhere. These "
           "folders need " +
           std::to_string(needed) +
           " watches; raise the limit with \"sudo sysctl -w fs.inotify.max_user_watches=" +
           std::to_string(suggested) +
           "\" (and that setting in /etc/sysctl.d/ to keep it), then restart the watcher";
}

}  // namespace

ConsistencyWatcher::ConsistencyWatcher(std::vector<std::string> watchedPaths,
                                       std::function<double()> monotonicSeconds)
    : m_watchedPaths(std::move(watchedPaths)), m_queue(kQueueLabel, std::move(monotonicSeconds)) {}

ConsistencyWatcher::~ConsistencyWatcher() {
    // Joined before any member the handlers use goes; the sources then close off the queue.
    m_queue.shutdown();
}

void ConsistencyWatcher::setDebounceInterval(double seconds) {
    m_debounceInterval = std::isfinite(seconds) && seconds > 0
                             ? std::min(seconds, debounce_limits::kLongestInWatcher)
                             : 0.0;
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

void ConsistencyWatcher::retryLater() {
    m_queue.async([this] { scheduleReconciliation(); });
}

void ConsistencyWatcher::retryAfter(double seconds) {
    m_queue.async([this, seconds] {
        if (!m_isRunning || m_isPaused) return;
        cancelDebounce();
        m_debounceTimer = m_queue.after(seconds, [this] { debounceElapsed(); });
    });
}

std::string ConsistencyWatcher::statusText() const {
    if (!m_isRunning) return "Stopped";
    if (m_isPaused) return "Paused";
    return "Active (watching " + std::to_string(m_configuredWatched.load()) + " of " +
           std::to_string(m_watchedPaths.size()) + " folders, debounce: " +
           std::to_string(static_cast<std::int64_t>(m_debounceInterval.load())) + "s)";
}

void ConsistencyWatcher::setOnWarning(std::function<void(const std::string&)> callback) {
    m_onWarning = std::move(callback);
}

void ConsistencyWatcher::openSources() {
    closeSources();
    m_configured.assign(m_watchedPaths.size(), {});
    // Lost events: anything may have changed, folders made meanwhile included.
    m_events.setOnOverflow([this] {
        rewalk();
        scheduleReconciliation();
    });
    for (std::size_t index = 0; index < m_watchedPaths.size(); ++index) {
        const std::string& folder = m_watchedPaths[index];
        const bool existed = platform::isDirectory(folder);
        watchConfigured(index);
        if (!existed && m_onFolderSkipped) {
            m_onFolderSkipped(folder, "it does not exist; it is watched once it appears");
        }
    }
    // The folders themselves first: under a small watch limit they matter more.
    for (std::size_t index = 0; index < m_watchedPaths.size(); ++index) watchParentStore(index);
    reportUnwatched();
    watchLayoutFile();
}

void ConsistencyWatcher::setLayoutFile(std::string path, std::function<void()> onChange) {
    m_layoutFile = std::move(path);
    m_onLayoutChanged = std::move(onChange);
    m_layoutEvents.emplace(m_queue, lastPathComponent(m_layoutFile));
}

void ConsistencyWatcher::watchLayoutFile() {
    // Without its folder there is no file to change; one made later is read by the next
    // reconciliation all the same, since every plan reads the layout file anew.
    if (!m_layoutEvents || !platform::isDirectory(deletingLastPathComponent(m_layoutFile))) return;
    platform::WatchFailure failure;
    m_layoutSource = m_layoutEvents->add(
        deletingLastPathComponent(m_layoutFile),
        [this](const platform::DirectoryEvent& event) {
            if (event.kind != platform::DirectoryEventKind::changed) return;
            if (m_onLayoutChanged) m_onLayoutChanged();
            scheduleFullReconciliation();
        },
        &failure, lastPathComponent(m_layoutFile));
    if (!m_layoutSource) {
        warn({"Not watching the layout file " + platform::printable(m_layoutFile) + ": " +
              failure.message + "; a change to it is taken up at the next reconciliation"});
    }
}

bool ConsistencyWatcher::watchConfigured(std::size_t index) {
    Configured& configured = m_configured[index];
    const std::string& folder = m_watchedPaths[index];
    if (!platform::isDirectory(folder)) {
        awaitConfigured(index);
        return false;
    }
    if (configured.awaiting) {
        m_events.cancel(*configured.awaiting);
        configured.awaiting.reset();
    }
    const auto root = m_tree ? m_tree->rootOf(folder) : std::nullopt;
    if (!root) {
        configured.watched = watch({folder, index, std::nullopt});
    } else {
        std::vector<std::string> warnings;
        m_tree->walk(
            *root,
            [&](const TreeFolder& each) {
                if (m_treeKeys.contains(each.identity)) return;  // trees that overlap
                const bool watched = watch({each.level == 0 ? folder : each.path, index, each});
                if (each.level == 0) configured.watched = watched;
            },
            &warnings);
        warn(warnings);
    }
    m_configuredWatched = static_cast<std::size_t>(
        std::count_if(m_configured.begin(), m_configured.end(),
                      [](const Configured& each) { return each.watched; }));
    return configured.watched;
}

void ConsistencyWatcher::awaitConfigured(std::size_t index) {
    Configured& configured = m_configured[index];
    if (configured.awaiting) {
        m_events.cancel(*configured.awaiting);
        configured.awaiting.reset();
    }
    // The nearest folder above that exists is watched for the next name down to appear.
    std::string missing = m_watchedPaths[index];
    std::string above = deletingLastPathComponent(missing);
    while (above != missing && !platform::isDirectory(above)) {
        missing = above;
        above = deletingLastPathComponent(above);
    }
    if (above == missing) return;
    const auto retry = [this, index] {
        // After the events read with this one, so a folder made with its contents is walked
        // whole; one made above it moves the wait down a level.
        m_queue.async([this, index] {
            if (!m_isRunning || index >= m_configured.size() || m_configured[index].watched) {
                return;
            }
            if (watchConfigured(index)) {
                watchParentStore(index);
                reportUnwatched();
                scheduleReconciliation();
            }
        });
    };
    configured.awaiting = m_events.add(
        above, [retry](const platform::DirectoryEvent&) { retry(); }, nullptr,
        lastPathComponent(missing));
    // Made between the look and the watch: no event will tell of it.
    if (platform::isDirectory(missing)) retry();
}

void ConsistencyWatcher::watchParentStore(std::size_t index) {
    // The parent's store holds the folder's record in the parent (how the parent shows it).
    const std::string parent = deletingLastPathComponent(m_watchedPaths[index]);
    if (parent == m_watchedPaths[index] || m_parentStores.contains(parent) ||
        !platform::isDirectory(parent)) {
        return;
    }
    const auto source = m_events.add(
        parent,
        [this, parent](const platform::DirectoryEvent& event) {
            if (event.kind == platform::DirectoryEventKind::changed) {
                scheduleReconciliation();
            } else if (const auto found = m_parentStores.find(parent);
                       found != m_parentStores.end()) {
                m_events.cancel(found->second);
                m_parentStores.erase(found);
            }
        },
        nullptr, dsstore_format::kFileName);
    if (source) m_parentStores.emplace(parent, *source);
}

void ConsistencyWatcher::rewalk() {
    for (std::size_t index = 0; index < m_watchedPaths.size(); ++index) {
        if (!m_configured[index].watched) {
            if (watchConfigured(index)) watchParentStore(index);
            continue;
        }
        const auto root = m_tree ? m_tree->rootOf(m_watchedPaths[index]) : std::nullopt;
        if (!root) continue;
        std::vector<std::string> warnings;
        m_tree->walk(
            *root,
            [&](const TreeFolder& each) {
                if (!m_treeKeys.contains(each.identity)) watch({each.path, index, each});
            },
            &warnings);
        warn(warnings);
    }
    reportUnwatched();
}

bool ConsistencyWatcher::watch(Watched folder) {
    const std::size_t key = m_nextKey++;
    platform::WatchFailure failure;
    const auto source = m_events.add(
        folder.path, [this, key](const platform::DirectoryEvent& event) { handle(key, event); },
        &failure);
    if (!source) {
        if (failure.limitReached) {
            ++m_unwatched;
        } else if (m_onFolderSkipped && !(folder.tree && folder.tree->level > 0)) {
            m_onFolderSkipped(folder.path, failure.message);
        }
        return false;
    }
    folder.source = *source;
    if (folder.tree) m_treeKeys[folder.tree->identity] = key;
    m_watched.emplace(key, std::move(folder));
    m_watchedCount = m_watched.size();
    return true;
}

void ConsistencyWatcher::forget(std::size_t key) {
    const auto found = m_watched.find(key);
    if (found == m_watched.end()) return;
    m_events.cancel(found->second.source);
    if (found->second.tree) m_treeKeys.erase(found->second.tree->identity);
    m_watched.erase(found);
    m_watchedCount = m_watched.size();
}

void ConsistencyWatcher::handle(std::size_t key, const platform::DirectoryEvent& event) {
    const auto found = m_watched.find(key);
    if (found == m_watched.end()) return;
    if (event.kind == platform::DirectoryEventKind::folderGone) {
        const Watched gone = found->second;
        forget(key);
        if (gone.tree && gone.tree->level > 0) return;  // its parent saw it go
        // A configured folder goes with its whole tree until the next start.
        std::vector<std::size_t> below;
        for (const auto& [other, watched] : m_watched) {
            if (watched.configured == gone.configured) below.push_back(other);
        }
        for (const std::size_t other : below) forget(other);
        if (gone.configured < m_configured.size()) {
            m_configured[gone.configured].watched = false;
            m_configuredWatched = m_configuredWatched - 1;
            awaitConfigured(gone.configured);
        }
        if (m_onFolderGone) m_onFolderGone(gone.path);
        return;
    }
    if (!event.subfolder.empty() && found->second.tree && m_tree) {
        // After the events read with this one: a folder moved within the tree reports its old
        // place gone in the same batch, and only then is watched at its new one.
        m_queue.async([this, parent = *found->second.tree, name = std::string(event.subfolder),
                       configured = found->second.configured] {
            if (m_isRunning) watchSubtree(parent, name, configured);
        });
    }
    scheduleReconciliation();
}

void ConsistencyWatcher::watchSubtree(const TreeFolder& parent, const std::string& name,
                                      std::size_t configured) {
    std::vector<std::string> warnings;
    if (const auto child = m_tree->child(parent, name, &warnings)) {
        m_tree->walk(
            *child,
            [&](const TreeFolder& each) {
                if (const auto known = m_treeKeys.find(each.identity); known != m_treeKeys.end()) {
                    Watched& watched = m_watched.at(known->second);
                    watched.path = each.path;
                    watched.tree = each;
                    return;
                }
                watch({each.path, configured, each});
            },
            &warnings);
    }
    warn(warnings);
    reportUnwatched();
}

void ConsistencyWatcher::warn(const std::vector<std::string>& messages) const {
    if (!m_onWarning) return;
    for (const auto& message : messages) m_onWarning(message);
}

void ConsistencyWatcher::reportUnwatched() {
    if (m_unwatched == m_unwatchedReported) return;
    m_unwatchedReported = m_unwatched;
    if (m_onWarning) {
        m_onWarning(watchLimitMessage(m_unwatched, m_watched.size() + m_unwatched,
                                      platform::DirectoryEvents::watchLimit()));
    }
}

void ConsistencyWatcher::closeSources() {
    for (const auto& [key, watched] : m_watched) m_events.cancel(watched.source);
    for (const Configured& configured : m_configured) {
        if (configured.awaiting) m_events.cancel(*configured.awaiting);
    }
    for (const auto& [parent, source] : m_parentStores) m_events.cancel(source);
    if (m_layoutSource) m_layoutEvents->cancel(*m_layoutSource);
    m_layoutSource.reset();
    m_configured.clear();
    m_parentStores.clear();
    m_configuredWatched = 0;
    m_watched.clear();
    m_treeKeys.clear();
    m_watchedCount = 0;
    m_unwatched = 0;
    m_unwatchedReported = 0;
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
