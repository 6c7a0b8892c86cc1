// LumifoldEngine::plan, the one planning step behind Preview and Apply, and what shows a plan.
#include <cstdint>
#include <optional>
#include <utility>

#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/common/Paths.h"
#include "core/engine/ApplySupport.h"
#include "core/engine/LumifoldEngine.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace {

using apply_support::kNamedInWarning;

std::string joined(const std::vector<std::string>& items, std::size_t shown) {
    std::string text;
    for (std::size_t i = 0; i < items.size() && i < shown; ++i) {
        text += (i == 0 ? "" : ", ") + platform::printable(items[i]);
    }
    if (items.size() > shown) text += " and " + std::to_string(items.size() - shown) + " more";
    return text;
}

// Records why Apply must not start: the first refusal stops it; every one is a warning.
void refuse(ChangePlan& plan, const Error& error) {
    plan.preview.warnings.push_back(error.message());
    if (!plan.refusal) plan.refusal = error;
}

// The stores planning left alone, and why, each one warning.
void warnAboutSkippedStores(const ReconciliationPlanning& planning,
                            std::vector<std::string>& warnings) {
    for (const std::string& problem : planning.unreadableStores) {
        warnings.push_back(problem + "; it is left unchanged");
    }
    for (const auto& store : planning.undecodableStores) {
        warnings.push_back("Skipped " + platform::printable(store) +
                           ": it holds records that cannot be decoded, so it is left unchanged.");
    }
    for (const auto& store : planning.unnamableStores) {
        warnings.push_back("Skipped " + platform::printable(store) +
                           ": its path is not valid UTF-8, so it is left unchanged.");
    }
    for (const auto& store : planning.linkedStores) {
        warnings.push_back("Skipped " + platform::printable(store) +
                           ": it is a symbolic link, so it is left unchanged.");
    }
}

}  // namespace

SettingChange extensionChange(std::string_view folder, std::string_view name) {
    SettingChange change{.target = {},
                         .key = {},
                         .oldValue = "false (visible)",
                         .newValue = "true (hidden)",
                         .changeType = changeTypeText(ChangeType::fileExtension)};
    nameExtensionChange(change, folder, name);
    return change;
}

void nameExtensionChange(SettingChange& change, std::string_view folder, std::string_view name) {
    change.target.assign(lastPathComponentIn(folder));
    change.key.assign(name);
    change.key += "/hasHiddenExtension";
}

void forEachChange(const ChangePlan& plan, const std::function<void(const SettingChange&)>& each) {
    for (const SettingChange& change : plan.preview.plistChanges) each(change);
    for (const SettingChange& change : plan.preview.folderChanges) each(change);
    const FileList& files = plan.extensionFiles;
    // One change renamed for each file: a million files cost no allocation each, and the manifest
    // lists them twice.
    SettingChange change = extensionChange("", "");
    for (std::size_t i = 0; i < files.size(); ++i) {
        nameExtensionChange(change, files.folder(i), files.name(i));
        each(change);
    }
}

platform::MetadataStore extensionStore(const ChangePlan& plan, std::string_view folder) {
    const FolderStore* chosen = plan.metadataStores.of(folder);
    return chosen != nullptr && chosen->store ? *chosen->store : platform::MetadataStore::xattr;
}

std::size_t changeCount(const ChangePlan& plan) {
    return plan.preview.plistChanges.size() + plan.preview.folderChanges.size() +
           plan.extensionFiles.size();
}

ChangePreview LumifoldEngine::preview(const FolderList& folders) const {
    ChangePlan plan = this->plan(folders);
    ChangePreview preview = std::move(plan.preview);
    const FileList& files = plan.extensionFiles;
    preview.folderChanges.reserve(preview.folderChanges.size() + files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        preview.folderChanges.push_back(extensionChange(files.folder(i), files.name(i)));
    }
    return preview;
}

ChangePlan LumifoldEngine::plan(const FolderList& folders, PlanScope scope) const {
    ChangePlan plan;
    plan.folders = resolveFolders(folders);
    plan.scope = std::move(scope);
    plan.scope.foldersOnly = m_foldersOnly;
    planPreferences(plan);
    if (!plan.layout) return plan;  // no target to plan for: the refusal says why
    report("Preview", "Reading stores");
    planStores(plan);
    if (plan.target.hideFileExtensions) planExtensions(plan);
    m_walkListings.reset();
    return plan;
}

void LumifoldEngine::planPreferences(ChangePlan& plan) const {
    plan.preferences = preferencesAsTarget();
    try {
        plan.layout = layout(plan.preferences);
    } catch (const Error& error) {
        refuse(plan,
               Error(error.domain(), error.code(),
                     error.message() + "\nNothing is changed until the layout file is mended."));
        return;
    }
    plan.target = plan.layout->top();
    // Folders only: the preferences are each Mac user's, so nothing is planned there.
    if (m_foldersOnly) return;
    ChangePreview& preview = plan.preview;
    preview.plistChanges = m_preferencesManager.plistChanges(plan.target, plan.preferences);
    if (m_coordinator.hasActiveTransfers()) {
        preview.warnings.push_back(
            "Finder currently has active file transfers. Finder relaunch should be deferred "
            "until transfers complete.");
    }
    if (plan.preferences.problem) {
        refuse(plan, Error(FinderPreferencesManager::kDomain,
                           FinderPreferencesManager::kUnreadablePreferences,
                           *plan.preferences.problem +
                               "; Apply changes nothing while it cannot be read, and never "
                               "overwrites it"));
    }
    try {
        plan.pushes = m_preferencesManager.plannedPushes(plan.target);
    } catch (const Error& error) {
        refuse(plan, Error(error.domain(), error.code(),
                           error.message() + "; Apply changes nothing while it cannot be read"));
    }
    // A preferences file Apply could only write through a link out of the home, or through a
    // link on the way, stops it before the snapshot; Preview says so.
    std::vector<std::string> preferencesFiles{plan.preferences.path};
    for (const PlannedPush& push : plan.pushes) preferencesFiles.push_back(push.domainPath);
    for (const std::string& path : preferencesFiles) {
        try {
            (void)platform::placeFileUnder(m_home, path, true);
        } catch (const Error& error) {
            // A folder not made yet is made by Apply; a dangling link names nothing to write.
            if (error.code() != ENOENT ||
                platform::entryType(path) == platform::EntryType::symbolicLink) {
                refuse(plan, Error(error.domain(), error.code(),
                                   error.message() + "; Apply changes nothing while it is so"));
            }
        }
    }
}

void LumifoldEngine::planStores(ChangePlan& plan) const {
    ChangePreview& preview = plan.preview;
    try {
        ReconciliationPlanning planning =
            m_scanner.planReconciliation(plan.folders, *plan.layout, plan.scope);
        for (DSStoreReconciliationPlan& store : planning.plans) {
            // Encoded now, so a store the writer cannot lay out stops Apply before anything
            // is snapshotted or written, and Preview says so.
            Bytes image;
            try {
                image = m_writer.encode(store.newEntries);
            } catch (const Error& error) {
                throw Error(error.domain(), error.code(),
                            "Could not write \"" + platform::printable(store.dsStorePath) +
                                "\": " + error.message());
            }
            plan.stores.push_back({std::move(store), std::move(image)});
        }
        warnAboutSkippedStores(planning, preview.warnings);
    } catch (const Error& error) {
        plan.stores.clear();
        refuse(plan, Error(error.domain(), error.code(),
                           "Failed to evaluate .DS_Store reconciliation: " + error.message()));
    }
    for (const StoreRewrite& store : plan.stores) {
        const auto& changes = store.plan.localChanges;
        preview.folderChanges.insert(preview.folderChanges.end(), changes.begin(), changes.end());
        preview.targetDSStorePaths.push_back(store.plan.dsStorePath);
        for (const auto& [code, count] : store.plan.preservedSummary) {
            preview.preservedEntriesSummary[code] += count;
        }
    }
}

void LumifoldEngine::planExtensions(ChangePlan& plan) const {
    ChangePreview& preview = plan.preview;
    report("Preview", "Listing files", 0, plan.folders.size());
    ScanNotes notes;
    plan.metadataStores = metadataStores(plan.folders);
    for (const std::string& problem : plan.metadataStores.warnings()) {
        preview.warnings.push_back(problem);
    }
    // The walk's listings serve this plan only: the next one lists the folders as they are then.
    std::optional<FolderListings> listings = std::exchange(m_walkListings, std::nullopt);
    plan.extensionFiles = m_scanner.visibleExtensionFiles(
        plan.folders, &notes, &plan.metadataStores, listings ? &*listings : nullptr);
    plan.listedFolders = std::move(notes.listed);
    plan.foldersWithLeftovers = std::move(notes.withLeftovers);
    for (const std::string& problem : notes.warnings) {
        preview.warnings.push_back(problem + "; its files keep their extensions as they are");
    }
    preview.warnings.insert(preview.warnings.end(), notes.damaged.begin(), notes.damaged.end());
    if (notes.undecodable.count > 0) {
        preview.warnings.push_back("Left " + counted(notes.undecodable.count, "file") +
                                   " out of extension hiding because their names "
                                   "are not valid UTF-8, in: " +
                                   joined(notes.undecodable.folders, SIZE_MAX));
    }
    if (!notes.unsettable.empty()) {
        preview.warnings.push_back(
            "Left " + counted(notes.unsettable.size(), "item") +
            " out of extension hiding because they cannot keep the flag (links, "
            "special files, or a damaged Finder record): " +
            joined(notes.unsettable, kNamedInWarning));
    }
}

}  // namespace lumifold
