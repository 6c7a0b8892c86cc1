#pragma once

#include <string>

namespace lumifold {

// Where Lumifold keeps its own files in a home: the folder ~/.lumifold and what it holds. Only
// builds paths; never touches the file system.
class LumifoldHome {
  public:
    // The folder's name in the home, for code that reaches it from a descriptor of the home.
    static constexpr const char* kFolderName = ".lumifold";

    explicit LumifoldHome(const std::string& homeDirectory);

    // <home>/.lumifold
    const std::string& folder() const { return m_folder; }
    // The snapshot store, backups/.
    std::string snapshots() const;
    // The lock Apply, Restore and pruning hold against other processes.
    std::string lock() const;
    // Keep Consistent's pause switch, watch-paused.
    std::string pauseFile() const;
    // The login service's standard output and standard error, watcher.log and watcher_error.log.
    std::string log() const;
    std::string errorLog() const;

  private:
    std::string m_folder;
};

}  // namespace lumifold
