#include "core/platform/DirectoryEvents.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <vector>

#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

// The folder's entries and its own attributes; a child's attributes arrive as IN_ATTRIB with a
// name and are passed over. IN_CLOSE_WRITE is kept for one name: a file rewritten in place.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR;
// A source whose watch the kernel dropped and gave to another folder.
constexpr int kNoWatch = -1;

// `rewrittenInPlace`: the one name whose IN_CLOSE_WRITE counts.
std::optional<DirectoryEventKind> kindOf(const inotify_event& event,
                                         const std::string& rewrittenInPlace) {
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
        return DirectoryEventKind::folderGone;
    }
    const bool aboutChild = event.len > 0 && event.name[0] != '\0';
    // Our own writes' temporary files come and go (and stay, when a write fails): never a
    // change, or a failing write would wake the watcher for ever.
    if (aboutChild && isOwnTemporaryName(event.name, "")) return std::nullopt;
    if (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
        return DirectoryEventKind::changed;
    }
    if ((event.mask & IN_ATTRIB) && !aboutChild) return DirectoryEventKind::changed;
    if ((event.mask & IN_CLOSE_WRITE) && aboutChild && event.name == rewrittenInPlace) {
        return DirectoryEventKind::changed;
    }
    return std::nullopt;
}

}  // namespace

DirectoryEvents::~DirectoryEvents() {
    while (!m_sources.empty()) cancel(m_sources.begin()->first);
}

std::optional<std::size_t> DirectoryEvents::watchLimit() {
    // The user namespace's own limit where the kernel keeps one, else the system's.
    for (const char* path :
         {"/proc/sys/user/max_inotify_watches", "/proc/sys/fs/inotify/max_user_watches"}) {
        std::size_t limit = 0;
        if (std::ifstream(path) >> limit) return limit;
    }
    return std::nullopt;
}

std::optional<DirectoryEvents::SourceId> DirectoryEvents::add(const std::string& folder,
                                                              Handler handler,
                                                              WatchFailure* failure,
                                                              std::string onlyEntry) {
    if (m_descriptor < 0) {
        m_descriptor = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_descriptor < 0) {
            if (failure) *failure = {posixError(errno, "watch", folder).message(), false};
            return std::nullopt;
        }
        m_queue.watchDescriptor(m_descriptor, [this] { readEvents(); });
    }
    const int watch = ::inotify_add_watch(m_descriptor, folder.c_str(), kWatchMask);
    if (watch < 0) {
        const int reason = errno;
        if (failure) {
            *failure = reason == ENOSPC
                           ? WatchFailure{"Could not watch \"" + folder +
                                              "\": the system's limit of folder watches is "
                                              "reached (fs.inotify.max_user_watches)",
                                          true}
                           : WatchFailure{posixError(reason, "watch", folder).message(), false};
        }
        closeIfUnused();
        return std::nullopt;
    }
    // The kernel may hand out a dropped watch's number again: sources still holding it (not yet
    // cancelled) must not hear the new folder's events.
    if (m_gone.erase(watch) > 0) {
        for (const SourceId stale : m_byWatch[watch]) m_sources.at(stale).watch = kNoWatch;
        m_byWatch.erase(watch);
    }
    const SourceId id = m_nextSource++;
    m_sources.emplace(id, Source{watch, std::move(handler), std::move(onlyEntry)});
    m_byWatch[watch].push_back(id);
    return id;
}

void DirectoryEvents::cancel(SourceId source) {
    if (const auto found = m_sources.find(source); found != m_sources.end()) {
        const int watch = found->second.watch;
        m_sources.erase(found);
        if (watch == kNoWatch) {
            closeIfUnused();
            return;
        }
        auto& sharing = m_byWatch[watch];
        sharing.erase(std::find(sharing.begin(), sharing.end(), source));
        // Two folders that are one (a link to another) share a watch; it goes with the last.
        if (sharing.empty()) {
            m_byWatch.erase(watch);
            if (!m_gone.count(watch)) ::inotify_rm_watch(m_descriptor, watch);
        }
    }
    closeIfUnused();
}

void DirectoryEvents::closeIfUnused() {
    if (m_sources.empty() && m_descriptor >= 0) {
        m_queue.unwatchDescriptor(m_descriptor);
        ::close(m_descriptor);
        m_descriptor = -1;
        m_gone.clear();
        m_byWatch.clear();
    }
}

void DirectoryEvents::readEvents() {
    alignas(inotify_event) char buffer[16 * 1024];
    while (m_descriptor >= 0) {
        const ssize_t length = ::read(m_descriptor, buffer, sizeof buffer);
        if (length <= 0) return;  // EAGAIN: all read
        for (ssize_t offset = 0; offset < length;) {
            const auto& event = *reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                // Events were lost; any folder may have changed.
                if (m_onOverflow) {
                    m_onOverflow();
                    continue;
                }
                std::vector<int> watches;
                for (const auto& [watch, sources] : m_byWatch) watches.push_back(watch);
                for (const int watch : watches) deliver(watch, {}, true);
                continue;
            }
            const auto kind = kindOf(event, m_rewrittenInPlace);
            if (!kind || m_gone.count(event.wd)) continue;
            if (*kind == DirectoryEventKind::folderGone) {
                m_gone.insert(event.wd);
                // A folder moved away keeps its watch; it is no longer the folder asked for.
                if (!(event.mask & IN_IGNORED)) ::inotify_rm_watch(m_descriptor, event.wd);
            }
            // A folder made or moved in, for a watcher of whole trees.
            const bool folderAdded = *kind == DirectoryEventKind::changed &&
                                     (event.mask & IN_ISDIR) &&
                                     (event.mask & (IN_CREATE | IN_MOVED_TO)) && event.len > 0;
            deliver(event.wd, {*kind, folderAdded ? std::string_view(event.name) : "",
                               event.len > 0 ? std::string_view(event.name) : ""});
        }
    }
}

void DirectoryEvents::deliver(int watch, const DirectoryEvent& event, bool toEverySource) {
    const auto sources = m_byWatch.find(watch);
    if (sources == m_byWatch.end()) return;
    std::vector<Handler> handlers;  // a handler may add and cancel sources
    for (const SourceId id : sources->second) {
        const Source& source = m_sources.at(id);
        // A source of one entry hears that entry, and its folder going.
        if (!toEverySource && !source.onlyEntry.empty() &&
            event.kind == DirectoryEventKind::changed && event.name != source.onlyEntry) {
            continue;
        }
        handlers.push_back(source.handler);
    }
    for (const auto& handler : handlers) handler(event);
}

}  // namespace lumifold::platform
