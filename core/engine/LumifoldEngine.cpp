#include "core/engine/LumifoldEngine.h"

#include <algorithm>
#include <utility>

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
      m_foldersOnly(options.foldersOnly),
      m_layoutPath(options.layoutPath.value_or(LayoutFile::defaultPath(m_home))),
      m_metadata(std::move(options.metadata)),
      m_monotonicSeconds(options.monotonicSeconds ? options.monotonicSeconds
                                                  : platform::monotonicSeconds),
      m_sleep(options.sleep ? options.sleep : platform::sleepSeconds),
      m_progress(std::move(options.progress)),
      m_waitingForLock(std::move(options.waitingForLock)),
      m_preferencesManager(options.preferencesPath, m_home),
      m_scanner(m_home),
      m_inspector(m_home, options.inspectorHost.value_or(SystemInspectorHost::system())),
      m_backupManager(options.backupDirectory,
                      backupHost(options, m_home, m_preferencesManager.plistPath())),
      m_coordinator(options.finderHost ? std::move(*options.finderHost)
                                       : FinderHost::system(m_home)) {}

PreferencesFile LumifoldEngine::preferencesAsTarget() const {
    if (!m_foldersOnly) return m_preferencesManager.readPreferencesFile();
    // Folders only: named, never read; the layout keeps the default spacing, no user's.
    PreferencesFile unread;
    unread.path = m_preferencesManager.plistPath();
    return unread;
}

Layout LumifoldEngine::layout() const { return layout(preferencesAsTarget()); }

Layout LumifoldEngine::layout(const PreferencesFile& preferences) const {
    return Layout::resolve(LayoutFile::read(m_layoutPath),
                           m_preferencesManager.currentPreferences(preferences).gridSpacing,
                           m_home);
}

Layout LumifoldEngine::usableLayout(const PreferencesFile& preferences,
                                    std::optional<Error>* problem) const {
    try {
        return layout(preferences);
    } catch (const Error& error) {
        *problem = error;
        return Layout::resolve(
            std::nullopt, m_preferencesManager.currentPreferences(preferences).gridSpacing, m_home);
    }
}

FinderLayoutPreferences LumifoldEngine::targetLayout() const { return layout().top(); }

MetadataStores LumifoldEngine::metadataStores(const std::vector<std::string>& folders) const {
    return MetadataStores::choose(m_metadata, folders);
}

std::vector<std::string> LumifoldEngine::resolveFolders(const FolderList& folders) const {
    return folders ? *folders : m_scanner.defaultFolders();
}

bool LumifoldEngine::isLeftAlone(const std::string& folder) const {
    return m_scanner.isExcludedPath(platform::resolveSymbolicLinks(folder));
}

std::vector<std::string> LumifoldEngine::expandTrees(const FolderList& folders,
                                                     const FolderTreeOptions& options,
                                                     std::vector<std::string>* warnings,
                                                     bool keepListings) const {
    report("Folders", "Listing subfolders");
    m_walkListings.reset();
    if (keepListings) m_walkListings.emplace();
    return FolderTree(m_scanner, options, keepListings ? &*m_walkListings : nullptr)
        .expand(resolveFolders(folders), warnings);
}

std::pair<SystemEnvironmentInfo, std::vector<FolderViewSetting>> LumifoldEngine::inspect(
    const FolderList& folders, std::vector<std::string>* warnings) const {
    const auto list = resolveFolders(folders);
    report("Inspect", "Describing the machine");
    SystemEnvironmentInfo environment =
        m_inspector.inspect(m_preferencesManager.plistPath(), !m_foldersOnly);
    report("Inspect", "Reading folders", 0, list.size());
    ScanNotes notes;
    const PreferencesFile preferences = preferencesAsTarget();
    std::optional<Error> layoutProblem;
    const Layout layout = usableLayout(preferences, &layoutProblem);
    const MetadataStores stores = metadataStores(list);
    std::optional<FolderListings> listings = std::exchange(m_walkListings, std::nullopt);
    auto settings = m_scanner.inspectFolders(list, layout, &notes, m_foldersOnly, &stores,
                                             listings ? &*listings : nullptr);
    if (warnings != nullptr) {
        if (layoutProblem) {
            warnings->push_back(layoutProblem->message() +
                                "; folders are compared with the built-in layout");
        }
        if (const auto problem = preferences.problem) warnings->push_back(*problem);
        warnings->insert(warnings->end(), stores.warnings().begin(), stores.warnings().end());
        warnings->insert(warnings->end(), notes.warnings.begin(), notes.warnings.end());
        warnings->insert(warnings->end(), notes.damaged.begin(), notes.damaged.end());
    }
    return {std::move(environment), std::move(settings)};
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

}  // namespace lumifold
