#include "core/engine/LumifoldEngine.h"

#include <algorithm>

#include "core/common/Error.h"
#include "core/common/LumifoldHome.h"
#include "core/common/Paths.h"
#include "core/platform/Clock.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/platform/Process.h"

namespace lumifold {

namespace {

// The home as every rule must see it: no trailing slash, every link resolved, so the home's
// rules (its Library, its trash) hold however HOME or --home spelled it.
std::string normalizedHome(std::string home) {
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return platform::resolveSymbolicLinks(home);
}

BackupManagerHost backupHost(const EngineOptions& options, const std::string& home,
                             const std::string& preferencesPath) {
    BackupManagerHost host = BackupManagerHost::system();
    host.homeDirectory = home;
    host.preferencesPath = preferencesPath;
    if (options.clock) host.now = options.clock;
    return host;
}

std::string joined(const std::vector<std::string>& items, std::size_t shown) {
    std::string text;
    for (std::size_t i = 0; i < items.size() && i < shown; ++i) {
        text += (i == 0 ? "" : ", ") + platform::printable(items[i]);
    }
    if (items.size() > shown) text += " and " + std::to_string(items.size() - shown) + " more";
    return text;
}

// Warnings name at most this many files each; the count says the rest.
constexpr std::size_t kNamedInWarning = 5;

// "(apply, pid 12)" from what a lock's holder wrote ("apply 12"), or "" when that is not
// what a holder of ours writes (a file written by someone else, or half written).
std::string lockHolder(const std::optional<std::string>& description) {
    constexpr std::size_t kLongestStage = 16;
    constexpr std::size_t kLongestNumber = 10;
    if (!description) return "";
    std::string_view text = *description;
    if (text.ends_with('\n')) text.remove_suffix(1);
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos) return "";
    const std::string_view stage = text.substr(0, space);
    const std::string_view pid = text.substr(space + 1);
    const auto all = [](std::string_view part, std::size_t longest, char from, char to) {
        return !part.empty() && part.size() <= longest &&
               std::all_of(part.begin(), part.end(), [&](char c) { return c >= from && c <= to; });
    };
    if (!all(stage, kLongestStage, 'a', 'z') || !all(pid, kLongestNumber, '0', '9')) return "";
    return " (" + std::string(stage) + ", pid " + std::string(pid) + ")";
}

}  // namespace

LumifoldEngine::LumifoldEngine(EngineOptions options)
    : m_home(normalizedHome(options.homeDirectory)),
      m_monotonicSeconds(options.monotonicSeconds ? options.monotonicSeconds
                                                  : platform::monotonicSeconds),
      m_sleep(options.sleep ? options.sleep : platform::sleepSeconds),
      m_progress(std::move(options.progress)),
      m_waitingForLock(std::move(options.waitingForLock)),
      m_preferencesManager(options.preferencesPath, m_home),
      m_scanner(m_home),
      m_inspector(m_home, options.inspectorHost.value_or(SystemInspectorHost::system())),
      m_backupManager(options.backupDirectory,
                      backupHost(options, m_home, m_preferencesManager.plistURL())),
      m_coordinator(options.finderHost ? std::move(*options.finderHost)
                                       : FinderHost::system(m_home)) {}

FinderLayoutPreferences LumifoldEngine::targetLayout() const {
    return FinderLayoutPreferences::preferred(
        m_preferencesManager.currentPreferences().gridSpacing);
}

std::vector<std::string> LumifoldEngine::resolveFolders(const FolderList& folders) const {
    return folders ? *folders : m_scanner.defaultFolders();
}

std::vector<std::string> LumifoldEngine::expandTrees(const FolderList& folders,
                                                     const FolderTreeOptions& options,
                                                     std::vector<std::string>* warnings) const {
    report("Folders", "Listing subfolders");
    return FolderTree(m_scanner, options).expand(resolveFolders(folders), warnings);
}

std::pair<SystemEnvironmentInfo, std::vector<FolderViewSetting>> LumifoldEngine::inspect(
    const FolderList& folders, std::vector<std::string>* warnings) const {
    const auto list = resolveFolders(folders);
    report("Inspect", "Describing the machine");
    SystemEnvironmentInfo environment = m_inspector.inspect(m_preferencesManager.plistURL());
    report("Inspect", "Reading folders", 0, list.size());
    ScanNotes notes;
    auto settings = m_scanner.inspectFolders(list, targetLayout(), &notes);
    if (warnings != nullptr) {
        if (const auto problem = m_preferencesManager.readPreferencesFile().problem) {
            warnings->push_back(*problem);
        }
        warnings->insert(warnings->end(), notes.warnings.begin(), notes.warnings.end());
    }
    return {std::move(environment), std::move(settings)};
}

SettingChange extensionChange(std::string_view folder, std::string_view name) {
    return {lastPathComponent(folder), std::string(name) + "/hasHiddenExtension", "false (visible)",
            "true (hidden)", changeTypeText(ChangeType::fileExtension)};
}

void forEachChange(const ChangePlan& plan, const std::function<void(const SettingChange&)>& each) {
    for (const SettingChange& change : plan.preview.plistChanges) each(change);
    for (const SettingChange& change : plan.preview.folderChanges) each(change);
    const FileList& files = plan.extensionFiles;
    for (std::size_t i = 0; i < files.size(); ++i) {
        each(extensionChange(files.folder(i), files.name(i)));
    }
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

ChangePlan LumifoldEngine::plan(const FolderList& folders) const {
    ChangePlan plan;
    plan.folders = resolveFolders(folders);
    plan.preferences = m_preferencesManager.readPreferencesFile();
    plan.target = FinderLayoutPreferences::preferred(
        m_preferencesManager.currentPreferences(plan.preferences).gridSpacing);
    ChangePreview& preview = plan.preview;
    preview.plistChanges = m_preferencesManager.plistChanges(plan.target, plan.preferences);
    if (m_coordinator.hasActiveTransfers()) {
        preview.warnings.push_back(
            "Finder currently has active file transfers. Finder relaunch should be deferred "
            "until transfers complete.");
    }
    const auto refuse = [&](const Error& error) {
        preview.warnings.push_back(error.message());
        if (!plan.refusal) plan.refusal = error;
    };
    if (plan.preferences.problem) {
        refuse(Error(FinderPreferencesManager::kDomain,
                     FinderPreferencesManager::kUnreadablePreferences,
                     *plan.preferences.problem +
                         "; Apply changes nothing while it cannot be read, and never "
                         "overwrites it"));
    }
    try {
        plan.pushes = m_preferencesManager.plannedPushes(plan.target);
    } catch (const Error& error) {
        refuse(Error(error.domain(), error.code(),
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
                refuse(Error(error.domain(), error.code(),
                             error.message() + "; Apply changes nothing while it is so"));
            }
        }
    }

    report("Preview", "Reading stores");
    try {
        ReconciliationPlanning planning = m_scanner.planReconciliation(plan.folders, plan.target);
        for (DSStoreReconciliationPlan& store : planning.plans) {
            // Encoded now, so a store the writer cannot lay out stops Apply before anything
            // is snapshotted or written, and Preview says so.
            Bytes image;
            try {
                image = m_writer.encode(store.newEntries);
            } catch (const Error& error) {
                throw Error(error.domain(), error.code(),
                            "Could not write \"" + platform::printable(store.dsStoreURL) +
                                "\": " + error.message());
            }
            plan.stores.push_back({std::move(store), std::move(image)});
        }
        for (const std::string& problem : planning.unreadableStores) {
            preview.warnings.push_back(problem + "; it is left unchanged");
        }
        for (const auto& store : planning.undecodableStores) {
            preview.warnings.push_back("Skipped " + platform::printable(store) +
                                       ": it holds records that cannot be decoded, so it is left "
                                       "unchanged.");
        }
        for (const auto& store : planning.unnamableStores) {
            preview.warnings.push_back("Skipped " + platform::printable(store) +
                                       ": its path is not valid UTF-8, so it is left unchanged.");
        }
        for (const auto& store : planning.linkedStores) {
            preview.warnings.push_back("Skipped " + platform::printable(store) +
                                       ": it is a symbolic link, so it is left unchanged.");
        }
    } catch (const Error& error) {
        plan.stores.clear();
        refuse(Error(error.domain(), error.code(),
                     "Failed to evaluate .DS_Store reconciliation: " + error.message()));
    }
    for (const StoreRewrite& store : plan.stores) {
        const auto& changes = store.plan.localChanges;
        preview.folderChanges.insert(preview.folderChanges.end(), changes.begin(), changes.end());
        preview.targetDSStorePaths.push_back(store.plan.dsStoreURL);
        for (const auto& [code, count] : store.plan.preservedSummary) {
            preview.preservedEntriesSummary[code] += count;
        }
    }

    if (plan.target.hideFileExtensions) {
        report("Preview", "Listing files", 0, plan.folders.size());
        ScanNotes notes;
        plan.extensionFiles = m_scanner.visibleExtensionFiles(plan.folders, &notes);
        for (const std::string& problem : notes.warnings) {
            preview.warnings.push_back(problem + "; its files keep their extensions as they are");
        }
        if (notes.undecodable.count > 0) {
            preview.warnings.push_back("Left " + std::to_string(notes.undecodable.count) +
                                       " file(s) out of extension hiding because their names "
                                       "are not valid UTF-8, in: " +
                                       joined(notes.undecodable.folders, SIZE_MAX));
        }
        if (!notes.unsettable.empty()) {
            preview.warnings.push_back(
                "Left " + std::to_string(notes.unsettable.size()) +
                " item(s) out of extension hiding because they cannot keep the flag (links, "
                "special files, or a damaged Finder record): " +
                joined(notes.unsettable, kNamedInWarning));
        }
    }
    return plan;
}

void LumifoldEngine::report(std::string_view stage, std::string_view step, std::uint64_t done,
                            std::optional<std::uint64_t> total) const {
    if (!m_progress) return;
    constexpr std::uint64_t kEvery = 256;
    if (total && done % kEvery != 0 && done != *total) return;
    m_progress(Progress{.stage = stage, .step = step, .done = done, .total = total});
}

platform::FileLock LumifoldEngine::lock(std::string_view stage) const {
    const LumifoldHome own(m_home);
    platform::createDirectories(own.folder(), 0700);
    const std::string path = own.lock();
    const double start = m_monotonicSeconds();
    const double deadline = start + kLockTimeout;
    bool told = false;
    for (;;) {
        if (auto held = platform::FileLock::tryAcquire(path)) {
            (void)held->describe(std::string(stage) + " " +
                                 std::to_string(platform::currentProcessId()) + "\n");
            // Holding the lock, nothing else of ours writes here: what a killed run left can go.
            try {
                const std::vector<std::string> anyTarget{""};
                platform::removeOwnTemporaryFilesIn(
                    platform::FolderRoot::open(m_home).openFolder(LumifoldHome::kFolderName),
                    anyTarget);
            } catch (const Error&) {
                // Best effort: a folder we cannot open holds nothing we could remove.
            }
            m_backupManager.removeLeftovers();
            return std::move(*held);
        }
        const double now = m_monotonicSeconds();
        if (now >= deadline) {
            throw Error(kDomain, kLocked,
                        "Another Lumifold process is applying or restoring in this home; try "
                        "again when it has finished");
        }
        if (!told && now - start >= kLockNoticeDelay && m_waitingForLock) {
            told = true;
            m_waitingForLock("Waiting for another Lumifold process" +
                             lockHolder(platform::FileLock::readDescription(path)) +
                             " to finish...");
        }
        m_sleep(0.1);
    }
}

void LumifoldEngine::restartFinderQuietly() const noexcept {
    try {
        m_coordinator.flushPreferenceCache();
        m_coordinator.relaunchFinder();
    } catch (const std::exception&) {
        // Best effort on a path that is already failing; the original error matters more.
    }
}

}  // namespace lumifold
