#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Bytes.h"
#include "core/common/Error.h"
#include "core/common/FileList.h"
#include "core/engine/ChangePreview.h"
#include "core/inspection/DSStoreReconciliationPlan.h"
#include "core/inspection/MetadataStores.h"
#include "core/preferences/FinderLayoutPreferences.h"
#include "core/preferences/FinderPreferencesManager.h"
#include "core/preferences/Layout.h"
#include "core/preferences/PushedPreference.h"

namespace lumifold {

// One store to rewrite: its plan (with the bytes it was planned from) and its new image.
struct StoreRewrite {
    DSStoreReconciliationPlan plan;
    Bytes image;
};

// Everything one planning step found. Preview shows it; Apply carries out this very value:
// it snapshots the bytes the plan was made from and replaces a file only while it still holds
// them.
struct ChangePlan {
    std::vector<std::string> folders;
    // The layout planned to: each folder's target, and the file it came from; nullopt when the
    // layout file cannot be used (the refusal says why, and nothing else was planned).
    std::optional<Layout> layout;
    PlanScope scope;                 // beyond the folders' own stores
    FinderLayoutPreferences target;  // the layout's top level: the global keys
    PreferencesFile preferences;
    std::vector<PlannedPush> pushes;
    std::vector<StoreRewrite> stores;
    FileList extensionFiles;  // files whose extension is to be hidden
    // The folders the plan listed whole, and those where it saw what a killed store write left.
    std::set<std::string> listedFolders;
    std::set<std::string> foldersWithLeftovers;
    // Where each chosen folder's files keep their Finder records.
    MetadataStores metadataStores;
    // The preview without the extension changes, which extensionFiles holds as names (a home
    // of a million files would otherwise keep a million change records).
    ChangePreview preview;
    // Why Apply must not start (an unreadable preferences or domain file, a store that cannot be
    // encoded); Preview reports it as a warning. A store that cannot be read is not one: it is
    // left alone and the rest goes ahead.
    std::optional<Error> refusal;
};

// The store of the files of the (resolved) `folder` of the plan.
platform::MetadataStore extensionStore(const ChangePlan& plan, std::string_view folder);

// The change that hides the extension of `name` in `folder`.
SettingChange extensionChange(std::string_view folder, std::string_view name);
// Makes `change`, one made by extensionChange, the change for `name` in `folder`, reusing its
// text's storage.
void nameExtensionChange(SettingChange& change, std::string_view folder, std::string_view name);

// Calls `each` with every change of the plan, in the preview's order: the global changes, the
// stores' changes, then one per extension to hide.
void forEachChange(const ChangePlan& plan, const std::function<void(const SettingChange&)>& each);

// How many changes forEachChange gives; none means the layout holds.
std::size_t changeCount(const ChangePlan& plan);

}  // namespace lumifold
