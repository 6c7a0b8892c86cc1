#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/FinderInfoImage.h"
#include "core/platform/Process.h"

namespace lumifold {

// How the user chose where files' FinderInfo records live: one store for every folder, or
// automatically per chosen folder (see MetadataStores::choose).
struct MetadataChoice {
    std::optional<platform::MetadataStore> store;  // nullopt: auto
    std::string sambaConfigPath = kDefaultSambaConfig;
    // Runs testparm; default the platform's runProcess.
    platform::ProcessRunner runProcess;

    static constexpr const char* kDefaultSambaConfig = "/etc/samba/smb.conf";
};

// A share of a Samba configuration, as far as the stores care.
struct SambaShare {
    std::string name;
    std::string path;
    bool fruit = false;    // "vfs objects" includes fruit
    std::string metadata;  // fruit:metadata, "netatalk" when not given
    friend bool operator==(const SambaShare&, const SambaShare&) = default;
};

// The shares of smb.conf text (testparm's output or the file itself): every section but
// [global], [homes] and [printers], each inheriting the global "vfs objects" and
// "fruit:metadata" it does not set itself.
std::vector<SambaShare> parseSambaShares(std::string_view text);

// Where one chosen folder keeps its files' records, and why.
struct FolderStore {
    std::string folder;          // as chosen
    std::string resolvedFolder;  // links resolved
    // nullopt: no store can be used (a share naming a store Lumifold does not know, a
    // configuration testparm refused); `reason` says why, naming the folder.
    std::optional<platform::MetadataStore> store;
    std::string reason;
};

// The store of every chosen folder; a folder below one takes its store.
class MetadataStores final {
  public:
    // Every folder in xattr, the store before stores could be chosen.
    MetadataStores() = default;
    // With a chosen store, that one for every folder; with auto, per folder: inside a share of
    // the Samba configuration (by its path) whose "vfs objects" include fruit, that share's
    // fruit:metadata (stream: samba, netatalk: netatalk); else, a folder that holds "._"
    // sidecars: appledouble; else xattr. The configuration is read through testparm where Samba
    // is installed, else as it is; a missing one has no shares. Never throws: what could not be
    // read goes to warnings(), and into the folders' reasons where it leaves them no store.
    static MetadataStores choose(const MetadataChoice& choice,
                                 const std::vector<std::string>& chosenFolders);

    // The store for the files of the (resolved) folder `folder`: that of the deepest chosen
    // folder holding it; nullptr when it lies in none (xattr).
    const FolderStore* of(std::string_view folder) const;
    const std::vector<FolderStore>& folders() const { return m_folders; }
    const std::vector<std::string>& warnings() const { return m_warnings; }

  private:
    std::vector<FolderStore> m_folders;
    std::vector<std::string> m_warnings;
};

}  // namespace lumifold
