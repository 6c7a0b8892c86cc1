#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/backup/BackupManifest.h"
#include "core/platform/FolderRoot.h"

namespace lumifold {

// What an Apply has written so far: what a failure puts back.
struct AppliedWrites {
    bool preferences = false;              // the Finder's preferences file
    std::vector<PushedPreference> pushed;  // values pushed into the preferences service
    std::vector<std::size_t> stores;       // by index into the plan's stores
    std::vector<bool> flags;               // by index into the plan's extension files: set

    bool any() const {
        return preferences || !pushed.empty() || !stores.empty() ||
               std::find(flags.begin(), flags.end(), true) != flags.end();
    }
};

// The folders Apply writes in. Each is opened from the run's bounds without following a link
// before the snapshot, so the snapshot records which folder it was; each write opens it again
// and goes ahead only in that same folder, through the descriptor it checked.
class WriteTargets final {
  public:
    // `bounds`: where the run may write; `home`: the root of the preferences files.
    WriteTargets(platform::WriteBounds bounds, std::string home);
    WriteTargets(const WriteTargets&) = delete;
    WriteTargets& operator=(const WriteTargets&) = delete;

    // Opens the folder holding `file` and records it; the reason, in words, when it cannot be
    // reached (a link on the way, outside the bounds, gone).
    std::optional<std::string> recordFolderOf(const std::string& file);
    // The same for a preferences or domain file below the home, a final link followed to a
    // file below the home. A folder that does not exist yet is not recorded. Throws the
    // platform's Error for a file that cannot be placed there (a link leading elsewhere).
    void recordPreferencesFile(const std::string& file);

    // The folder holding `file`, opened again; nullopt, with the reason in `why`, when it was
    // never recorded or is no longer the folder recorded.
    std::optional<platform::OpenFolder> folderOf(const std::string& file, std::string& why) const;

    // The folder holding `file` as the bounds reach it now, recorded or not; nullopt when it
    // cannot be reached. For clearing what a killed run left, where no write of ours follows.
    std::optional<platform::OpenFolder> reach(const std::string& file) const;

    // What was recorded, for the snapshot's manifest.
    std::vector<WrittenFolder> written() const;

  private:
    void remember(const std::string& path, const platform::OpenFolder& folder);

    platform::WriteBounds m_bounds;
    std::string m_home;
    std::map<std::string, platform::FileIdentity> m_recorded;
};

}  // namespace lumifold
