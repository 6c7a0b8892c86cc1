#include "core/watcher/WatchPause.h"

#include "core/common/Bytes.h"
#include "core/common/Error.h"
#include "core/common/LumifoldHome.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

constexpr unsigned kPrivateFolderMode = 0700;
// The id is one line; anything longer is not ours and is not worth reading.
constexpr std::uint64_t kReadLimit = 4096;

}  // namespace

WatchPause::WatchPause(std::string homeDirectory)
    : m_path(LumifoldHome(homeDirectory).pauseFile()) {}

std::optional<std::string> WatchPause::pausedBy() const {
    if (!platform::entryType(m_path)) return std::nullopt;
    try {
        std::string text(asText(platform::readFile(m_path, kReadLimit)));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    } catch (const Error&) {
        return std::string();
    }
}

void WatchPause::pause(const std::string& snapshotId) const {
    platform::createDirectories(deletingLastPathComponent(m_path), kPrivateFolderMode);
    const std::string text = snapshotId + "\n";
    platform::writeFileAtomically(m_path, asBytes(text));
}

bool WatchPause::resume() const {
    if (!platform::entryType(m_path)) return false;
    platform::removeFile(m_path);
    return true;
}

RestorePause::RestorePause(const WatchPause& pause, const std::string& snapshotId)
    : m_pause(pause), m_before(pause.pausedBy()) {
    try {
        m_pause.pause(snapshotId);
    } catch (const Error& error) {
        m_failure = error.message();
    }
}

RestorePause::~RestorePause() {
    if (m_kept || m_failure) return;
    try {
        if (m_before) {
            m_pause.pause(*m_before);
        } else {
            m_pause.resume();
        }
    } catch (const Error&) {
        // Left paused: the watcher then waits for `lumifold watch resume`, which is safe.
    }
}

bool RestorePause::keep(const std::string& snapshotId) {
    m_kept = true;
    if (m_failure) return false;
    try {
        m_pause.pause(snapshotId);
    } catch (const Error& error) {
        m_failure = error.message();  // the earlier pause holds, with a less exact id
    }
    return true;
}

}  // namespace lumifold
