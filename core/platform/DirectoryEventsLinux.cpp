#include "core/platform/DirectoryEvents.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/platform/PosixError.h"

namespace lumifold::platform {
namespace {

// The folder's entries and its own attributes; a child's attributes arrive as IN_ATTRIB with a
// name and are passed over. IN_CLOSE_WRITE is kept for one name: a store rewritten in place.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR;
constexpr const char* kStoreName = ".DS_Store";

std::optional<DirectoryEventKind> kindOf(const inotify_event& event) {
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
        return DirectoryEventKind::folderGone;
    }
    const bool aboutChild = event.len > 0 && event.name[0] != '\0';
    if (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
        return DirectoryEventKind::changed;
    }
    if ((event.mask & IN_ATTRIB) && !aboutChild) return DirectoryEventKind::changed;
    if ((event.mask & IN_CLOSE_WRITE) && aboutChild && std::strcmp(event.name, kStoreName) == 0) {
        return DirectoryEventKind::changed;
    }
    return std::nullopt;
}

}  // namespace

DirectoryEvents::~DirectoryEvents() {
    while (!m_sources.empty()) cancel(m_sources.begin()->first);
}

std::optional<DirectoryEvents::SourceId> DirectoryEvents::add(const std::string& folder,
                                                              Handler handler, std::string* error) {
    if (m_descriptor < 0) {
        m_descriptor = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_descriptor < 0) {
            if (error) *error = posixError(errno, "watch", folder).message();
            return std::nullopt;
        }
        m_queue.watchDescriptor(m_descriptor, [this] { readEvents(); });
    }
    const int watch = ::inotify_add_watch(m_descriptor, folder.c_str(), kWatchMask);
    if (watch < 0) {
        const int reason = errno;
        if (error) {
            *error = reason == ENOSPC ? "Could not watch \"" + folder +
                                            "\": the system's limit of folder watches is reached "
                                            "(fs.inotify.max_user_watches)"
                                      : posixError(reason, "watch", folder).message();
        }
        closeIfUnused();
        return std::nullopt;
    }
    m_gone.erase(watch);  // the kernel may hand out a dropped watch's number again
    const SourceId id = m_nextSource++;
    m_sources.emplace(id, Source{watch, std::move(handler)});
    return id;
}

void DirectoryEvents::cancel(SourceId source) {
    if (const auto found = m_sources.find(source); found != m_sources.end()) {
        const int watch = found->second.watch;
        m_sources.erase(found);
        const bool shared =
            std::any_of(m_sources.begin(), m_sources.end(),
                        [watch](const auto& entry) { return entry.second.watch == watch; });
        // Two folders that are one (a link to another) share a watch; it goes with the last.
        if (!shared && !m_gone.count(watch)) ::inotify_rm_watch(m_descriptor, watch);
    }
    closeIfUnused();
}

void DirectoryEvents::closeIfUnused() {
    if (m_sources.empty() && m_descriptor >= 0) {
        m_queue.unwatchDescriptor(m_descriptor);
        ::close(m_descriptor);
        m_descriptor = -1;
        m_gone.clear();
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
                std::set<int> watches;
                for (const auto& [id, entry] : m_sources) watches.insert(entry.watch);
                for (const int watch : watches) deliver(watch, DirectoryEventKind::changed);
                continue;
            }
            const auto kind = kindOf(event);
            if (!kind || m_gone.count(event.wd)) continue;
            if (*kind == DirectoryEventKind::folderGone) {
                m_gone.insert(event.wd);
                // A folder moved away keeps its watch; it is no longer the folder asked for.
                if (!(event.mask & IN_IGNORED)) ::inotify_rm_watch(m_descriptor, event.wd);
            }
            deliver(event.wd, *kind);
        }
    }
}

void DirectoryEvents::deliver(int watch, DirectoryEventKind kind) {
    std::vector<Handler> handlers;  // a handler may cancel sources
    for (const auto& [id, source] : m_sources) {
        if (source.watch == watch) handlers.push_back(source.handler);
    }
    for (const auto& handler : handlers) handler(kind);
}

}  // namespace lumifold::platform
