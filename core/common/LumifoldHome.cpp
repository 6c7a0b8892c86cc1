#include "core/common/LumifoldHome.h"

#include "core/common/Paths.h"

namespace lumifold {

LumifoldHome::LumifoldHome(const std::string& homeDirectory)
    : m_folder(appending(homeDirectory, kFolderName)) {}

std::string LumifoldHome::snapshots() const { return appending(m_folder, "backups"); }

std::string LumifoldHome::lock() const { return appending(m_folder, "lock"); }

std::string LumifoldHome::pauseFile() const { return appending(m_folder, "watch-paused"); }

std::string LumifoldHome::log() const { return appending(m_folder, "watcher.log"); }

std::string LumifoldHome::errorLog() const { return appending(m_folder, "watcher_error.log"); }

}  // namespace lumifold
