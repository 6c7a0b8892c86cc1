#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/platform/SerialQueue.h"

namespace lumifold::platform {

enum class DirectoryEventKind {
    // An entry was created, deleted or moved in or out, the folder's own attributes changed, or
    // the one entry the owner names (the folder's store) was written in place. Other entries'
    // content and attributes do not count, nor do our own temporary files
    // (".<name>.tmp.<UUID>"): a write of ours coming and going, or failing, is no change.
    changed,
    // The folder was deleted, moved away or unmounted: the source reports nothing more, and a
    // folder made again at the same path is not seen.
    folderGone,
};

struct DirectoryEvent {
    DirectoryEventKind kind = DirectoryEventKind::changed;
    // For a change: the name of a folder created in the folder or moved into it, else empty.
    std::string_view subfolder;
    // For a change of one entry: its name; empty for the folder's own attributes.
    std::string_view name;
};

// Why a folder could not be watched.
struct WatchFailure {
    std::string message;
    // The system's limit of watches is reached (fs.inotify.max_user_watches on Linux).
    bool limitReached = false;
};

// Change sources for folders, one per folder, whose handlers run on one SerialQueue. On Linux
// every source of a queue is one watch on one inotify descriptor, read on the queue's thread;
// the descriptor is open only while a source is.
class DirectoryEvents final {
  public:
    using Handler = std::function<void(const DirectoryEvent&)>;
    using SourceId = std::uint64_t;

    // `rewrittenInPlace`: the one entry name whose writing in place counts as a change (the
    // caller's own file, e.g. a folder's store); other entries' content never does.
    DirectoryEvents(SerialQueue& queue, std::string rewrittenInPlace)
        : m_queue(queue), m_rewrittenInPlace(std::move(rewrittenInPlace)) {}
    DirectoryEvents(const DirectoryEvents&) = delete;
    DirectoryEvents& operator=(const DirectoryEvents&) = delete;
    // Cancels every source. On the queue's thread, or once the queue has shut down.
    ~DirectoryEvents();

    // Watches `folder` (following a link to it). With `onlyEntry`, the handler hears only the
    // changes of that one entry of the folder (and the folder going). nullopt, with the reason
    // in `failure` when given, for a folder that is missing, not a folder, not readable, or when
    // the system's watch limit is reached. On the queue's thread.
    std::optional<SourceId> add(const std::string& folder, Handler handler,
                                WatchFailure* failure = nullptr, std::string onlyEntry = {});
    // Called once, on the queue, when the kernel's event queue overflowed: events were lost and
    // any folder may have changed. Without it, every source hears a change.
    void setOnOverflow(std::function<void()> callback) { m_onOverflow = std::move(callback); }
    // Removes the source and its watch; a source cancelled already is left alone. On the queue's
    // thread.
    void cancel(SourceId source);
    std::size_t sourceCount() const { return m_sources.size(); }

    // How many folders one user may watch at once, when the system says; nullopt otherwise.
    static std::optional<std::size_t> watchLimit();

  private:
    struct Source {
        int watch;
        Handler handler;
        std::string onlyEntry;  // empty: every entry
    };
    void readEvents();
    // Closes the descriptor once no source needs it.
    void closeIfUnused();
    // `toEverySource`: also to sources of one entry (events were lost).
    void deliver(int watch, const DirectoryEvent& event, bool toEverySource = false);

    SerialQueue& m_queue;
    const std::string m_rewrittenInPlace;
    int m_descriptor = -1;
    std::map<SourceId, Source> m_sources;
    // The sources of each watch: folders that are one (a link to another) share it.
    std::unordered_map<int, std::vector<SourceId>> m_byWatch;
    // Watches the kernel has dropped (the folder went away); their sources stay until cancelled.
    std::set<int> m_gone;
    SourceId m_nextSource = 1;
    std::function<void()> m_onOverflow;
};

}  // namespace lumifold::platform
