#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Bytes.h"
#include "core/common/Error.h"
#include "core/common/FileList.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/inspection/DSStoreReconciliationPlan.h"
#include "core/inspection/FolderViewSetting.h"
#include "core/inspection/MetadataStores.h"
#include "core/platform/FileSystem.h"
#include "core/plist/PropertyList.h"
#include "core/preferences/Layout.h"

namespace lumifold {

class FolderListings;

// Files left out of extension work because their path is not well-formed UTF-8: no text about
// them could be shown or stored. `folders` are the listed (resolved) folders that held such
// files, each once, in the order met, in display form (bad bytes shown as U+FFFD).
struct UndecodableNames {
    std::size_t count = 0;
    std::vector<std::string> folders;
};

// What a scan passed over, for the stage to tell the user.
struct ScanNotes {
    UndecodableNames undecodable;
    // Files with a visible extension whose flag can never be set (links, FIFOs, sockets, a
    // FinderInfo record of the wrong length), in display form.
    std::vector<std::string> unsettable;
    // Stores and folders that could not be read (a store that cannot be decoded, a folder that
    // cannot be listed), each once, named with the reason.
    std::vector<std::string> warnings;
    // Files whose FinderInfo record is damaged (an image of the wrong size, magic or version, a
    // sidecar that is a link or a FIFO), each named with what holds it.
    std::vector<std::string> damaged;
    // The folders whose every entry a scan of files saw, as the caller named them, and those
    // holding our temporary names (what a killed write left), so Apply need not list a folder
    // again only to clear them.
    std::set<std::string> listed;
    std::set<std::string> withLeftovers;
};

// Decides which folders the system looks at and what the Finder would show in them, and plans
// the .DS_Store rewrites that bring them to a target layout. Reads only: never writes a file
// or changes a flag. Holds no state between calls; calls may run on any thread.
//
// Folders are absolute path strings. The home and temporary directories are fixed at
// construction, so nothing reads the real ones behind the caller's back.
class FolderScanner final {
  public:
    explicit FolderScanner(std::string homeDirectory = platform::homeDirectory(),
                           std::string temporaryDirectory = platform::temporaryDirectory());
    FolderScanner(const FolderScanner&) = delete;
    FolderScanner& operator=(const FolderScanner&) = delete;

    const std::string& homeDirectory() const { return m_homeDirectory; }

    // Desktop, Documents, Downloads, Pictures, Movies and Music in the home directory, in that
    // order; whether they exist is not checked. A home whose desktop keeps its own list of
    // these folders (translated names, "Videos") gets that list instead.
    std::vector<std::string> defaultFolders() const;

    // True when every stage must leave the path alone: system and library locations, the
    // trash, bundles and their contents, development, build and backup folders. Temporary
    // locations (the temporary directory, /tmp, /var/folders and their /private forms, each
    // with everything below it) are spared the system rules only.
    bool isExcludedPath(std::string_view path) const;

    // True for an item kept in a cloud drive (by its path, or by its cloud state). Never throws.
    bool isCloudPlaceholder(const std::string& path) const;

    // One result per folder that is not dropped, in input order. A folder is dropped when it
    // resolves to a path or to a file-system object met earlier in the call, or when its
    // resolved path is excluded. Never throws. A folder that cannot be listed, or one of whose
    // stores cannot be read, is marked inaccessible, the reasons first among its conflicts.
    // Files whose path is not UTF-8 and files whose flag cannot be set are left out; when
    // `notes` is given, they and what could not be read are added to it. Each folder is
    // compared with its own target in `layout`; extensions with the top level's.
    // With `foldersOnly`, as planReconciliation: a folder whose own store does not say the
    // layout conflicts (its parent's records matter only where its own say nothing).
    // Each file's flag is read in the store `stores` gives its folder (xattr without one); a
    // folder whose store cannot be used is inaccessible, for that reason. A folder whose listing
    // `listings` kept (a tree's walk of this stage) is not listed again.
    std::vector<FolderViewSetting> inspectFolders(const std::vector<std::string>& folders,
                                                  const Layout& layout, ScanNotes* notes = nullptr,
                                                  bool foldersOnly = false,
                                                  const MetadataStores* stores = nullptr,
                                                  FolderListings* listings = nullptr) const;

    // The regular files directly in the (resolved) folders whose extension is visible and
    // whose flag can be set, sorted by path, as a compact list for homes of a million files; a
    // folder given twice contributes twice. Excluded, missing and unlistable folders contribute
    // nothing.
    // Files whose path is not UTF-8 or whose flag cannot be set are left out; when `notes` is
    // given, they and the folders that could not be listed are added to it. Never throws.
    // Sidecars ("._NAME") are never files of their own: hidden names are not listed.
    // A folder whose listing `listings` kept (a tree's walk of this stage) is not listed again.
    FileList visibleExtensionFiles(const std::vector<std::string>& folders,
                                   ScanNotes* notes = nullptr,
                                   const MetadataStores* stores = nullptr,
                                   FolderListings* listings = nullptr) const;
    // How many files directly in `resolvedFolder` visibleExtensionFiles would list: none when
    // it is not there. Throws the platform's Error when it is there but cannot be listed, or
    // its store cannot be used. Takes the folder's listing from `listings` when it kept one.
    std::size_t visibleExtensionCount(const std::string& resolvedFolder, ScanNotes* notes = nullptr,
                                      const MetadataStores* stores = nullptr,
                                      FolderListings* listings = nullptr) const;

    static constexpr const char* kDomain = "FolderScanner";
    enum ErrorCode : int {
        kNoUsableStore = 1,  // a folder whose files' store cannot be used
    };

    // Plans, for each .DS_Store of the folders and of their parents that needs a change, the
    // full list of records it is to hold so that each folder shows its own target in `layout`
    // (the first rule matching its path as given or resolved, else the top level), with the
    // bytes it was planned from. A folder whose target is not icon view keeps its list-view
    // records. Each file is read once, however many paths reach it. Excluded folders are
    // left out, as in every stage. Stores that cannot be read or that the reader rejects or can
    // only partly decode, stores whose path is not UTF-8 and stores that need a change but are
    // symbolic links are reported instead of planned, and the others planned all the same.
    // Throws only the property-list error of serialising the fresh icon-view record.
    ReconciliationPlanning planReconciliation(const std::vector<std::string>& folders,
                                              const Layout& layout,
                                              const PlanScope& scope = {}) const;
    // Whether, with `foldersOnly`, the store of `parent` (resolved) holds records Lumifold
    // keeps for the folders of `resolvedFolders`: only when it lies in one of them.
    static bool parentStoreInScope(const std::string& parent,
                                   const std::set<std::string>& resolvedFolders);

    // `text` with each byte that is not part of well-formed UTF-8 replaced by U+FFFD.
    static std::string displayablePath(std::string_view text);

    // A store as a stage that only looks read it: its records, or why it could not be read
    // (naming it). A store that is not there has neither.
    struct StoreRead {
        std::optional<std::vector<DSStoreEntry>> entries;
        std::optional<std::string> problem;
    };
    // Stores read during one stage, by path: each is read and decoded once however many
    // folders it holds records for (the home's store holds records for every default folder).
    using StoreReads = std::map<std::string, StoreRead>;
    // The store at `storePath`, read once per `reads`; a problem also goes to `notes` (once).
    // A store hidden in a folder that may not be searched is a problem, not an absent store.
    // Never throws; the reference lives as long as `reads`.
    const StoreRead& readStoreForInspection(const std::string& storePath, ScanNotes* notes,
                                            StoreReads& reads) const;
    // "Could not read "<path>": <reason>" for an error met reading a store.
    static std::string storeProblem(const std::string& storePath, const Error& error);

  private:
    struct PlanTargets;
    PlanTargets collectPlanTargets(const std::vector<std::string>& folders, const Layout& layout,
                                   const PlanScope& scope) const;
    // The plan for one store's records; nullopt when it needs no change.
    std::optional<DSStoreReconciliationPlan> planStore(const std::string& storePath,
                                                       std::vector<DSStoreEntry> entries,
                                                       const PlanTargets& targets) const;

    // The plan of the store a folder of `targets` lacks; nullopt when it is to have none.
    std::optional<DSStoreReconciliationPlan> planNewStore(const std::string& storePath,
                                                          const PlanTargets& targets) const;

    struct Overrides;
    // Folds the store's records about `filename` into `overrides`; the problem when the store
    // cannot be read.
    std::optional<std::string> readOverrides(const std::string& storePath,
                                             const std::string& filename, bool onlyAbsent,
                                             Overrides& overrides, ScanNotes* notes,
                                             StoreReads& reads) const;
    // The names of the visible-extension files directly in `directory` (resolved); none when it
    // is not there. Throws the platform's Error when it is there but cannot be listed. `listed`:
    // its listing, already made. The names come in the listing's order; what goes to `notes`
    // in the order of the names.
    FileNames visibleExtensionFilesIn(
        const std::string& directory, ScanNotes* notes, const MetadataStores* stores,
        std::optional<platform::PackedEntries> listed = std::nullopt) const;

    std::string m_homeDirectory;
    std::string m_temporaryDirectory;
    DSStoreReader m_reader;
};

}  // namespace lumifold
