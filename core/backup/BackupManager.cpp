#include "core/backup/BackupManager.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/common/Error.h"
#include "core/common/Iso8601.h"
#include "core/common/Paths.h"
#include "core/platform/Clock.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/PropertyList.h"
#include "core/platform/Sha256.h"

namespace lumifold {
namespace {

using std::chrono::system_clock;

constexpr const char* kManifestFileName = "manifest.json";
constexpr const char* kPreferencesCopyName = "com.apple.finder.plist";
constexpr const char* kFilesFolderName = "files";
constexpr const char* kShowAllExtensionsKey = "AppleShowAllExtensions";
constexpr const char* kFinderApplicationId = "com.apple.finder";
constexpr std::size_t kCopyNameDigestLength = 12;
constexpr std::uint16_t kFallbackPermissions = 0644;
// Snapshots hold another program's settings: only their owner may look inside.
constexpr unsigned kPrivateFolderMode = 0700;
constexpr unsigned kPrivateFileMode = 0600;
// "<id>-2" ... "<id>-9999": far beyond any real burst of snapshots within one second.
constexpr int kMaximumIdentifierSuffix = 9999;
// A manifest lists every file of an Apply; a million of them is far below this.
constexpr std::uint64_t kManifestReadLimit = std::uint64_t{1} << 30;
constexpr const char* kSummaryFileName = "summary.json";
constexpr std::uint64_t kSummaryReadLimit = 64 * 1024;
constexpr const char* kDSStoreName = ".DS_Store";

// A name that addresses exactly one entry of the store folder.
bool isSingleComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool hasParentComponent(const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

bool isAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/' && path.find('\0') == std::string::npos;
}

[[noreturn]] void throwUnsafePath(const std::string& path, const char* why) {
    throw Error(kBackupManagerDomain, kBackupUnsafeManifestPath,
                "Unsafe path in snapshot manifest: \"" + path + "\" " + why);
}

// Orders identifiers of one second: "<stem>" counts as suffix 1, "<stem>-<n>" as n.
struct IdentifierKey {
    std::string stem;
    std::string suffix;  // decimal digits without leading zeros

    explicit IdentifierKey(const std::string& id) : stem(id), suffix("1") {
        const std::size_t dash = id.rfind('-');
        if (dash == std::string::npos || dash == 0 || dash + 1 == id.size() ||
            id[dash - 1] != 'Z') {
            return;
        }
        const std::string digits = id.substr(dash + 1);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return;
        stem = id.substr(0, dash);
        const std::size_t firstSignificant = digits.find_first_not_of('0');
        suffix = firstSignificant == std::string::npos ? "0" : digits.substr(firstSignificant);
    }

    bool operator<(const IdentifierKey& other) const {
        if (stem != other.stem) return stem < other.stem;
        if (suffix.size() != other.suffix.size()) return suffix.size() < other.suffix.size();
        return suffix < other.suffix;
    }
};

// The checksum of the file's content, or nullopt when nothing is there or it cannot be read.
std::optional<std::string> checksumOfFileIfReadable(const std::string& path) {
    if (!platform::fileExists(path)) return std::nullopt;
    try {
        return platform::sha256Hex(platform::readFile(path));
    } catch (const Error&) {
        return std::nullopt;
    }
}

bool hasDotComponent(const std::string& path) {
    return hasParentComponent(path) || path.find("/./") != std::string::npos ||
           path.ends_with("/.");
}

std::string quoted(const std::string& path) { return "\"" + platform::printable(path) + "\""; }

// Why a manifest cannot serve as snapshot `id`'s, `read` reading it; nullopt when it can.
template <typename Read>
std::optional<std::string> manifestProblem(const std::string& id, const Read& read) {
    try {
        const std::string found = read().id;
        if (found == id) return std::nullopt;
        return "its manifest belongs to snapshot " + quoted(found);
    } catch (const Error& error) {
        return "its manifest cannot be read: " + error.message();
    } catch (const nlohmann::json::exception& error) {
        return std::string("its manifest is corrupt: ") + error.what();
    }
}

// Copies live directly in the snapshot's "files" folder.
void checkCopyPath(const std::string& relative) {
    const std::string prefix = std::string(kFilesFolderName) + "/";
    if (!relative.starts_with(prefix) || !isSingleComponent(relative.substr(prefix.size()))) {
        throwUnsafePath(relative, "is outside the snapshot folder");
    }
}

[[noreturn]] void throwDamagedCopy(const std::string& copy, const char* why) {
    throw Error(kBackupManagerDomain, kBackupDamagedCopy,
                "The snapshot's copy " + quoted(copy) + " " + why +
                    ", so nothing was restored (not even with force)");
}

}  // namespace

struct BackupManager::Copies {
    std::optional<Bytes> preferences;
    std::vector<std::optional<Bytes>> stores;   // by item; nullopt for items restore passes by
    std::vector<std::optional<Bytes>> domains;  // by pushed preference; nullopt: no file was
};

BackupManagerHost BackupManagerHost::system() {
    return BackupManagerHost{.now = platform::currentTime,
                             .homeDirectory = platform::homeDirectory(),
                             .preferencesPath = {}};
}

BackupManager::BackupManager(std::optional<std::string> baseBackupDirectory, BackupManagerHost host)
    : m_baseBackupDirectory(baseBackupDirectory
                                ? std::move(*baseBackupDirectory)
                                : appending(host.homeDirectory, ".lumifold/backups")),
      m_host(std::move(host)),
      m_preferencesPath(
          m_host.preferencesPath.empty()
              ? appending(m_host.homeDirectory, "Library/Preferences/com.apple.finder.plist")
              : m_host.preferencesPath) {}

std::string BackupManager::sha256Hex(ByteView data) { return platform::sha256Hex(data); }

std::string BackupManager::snapshotDirectory(const std::string& id) const {
    return appending(m_baseBackupDirectory, id);
}

std::string BackupManager::manifestPath(const std::string& id) const {
    return appending(snapshotDirectory(id), kManifestFileName);
}

BackupManifest BackupManager::createSnapshot(
    const std::string& finderPlistURL, const std::vector<std::string>& dsStoreURLs,
    const std::vector<SettingChange>& appliedChanges,
    const std::vector<FileExtensionBackupItem>& fileExtensionBackups) {
    BackupManifest manifest;
    manifest.appliedChanges = appliedChanges;
    manifest.fileExtensionBackups = fileExtensionBackups;
    SnapshotRequest request;
    request.finderPlistURL = finderPlistURL;
    request.lists = ManifestLists::of(manifest);
    if (platform::fileExists(finderPlistURL)) {
        request.finderPlistBytes = platform::readFile(finderPlistURL);
    }
    for (const std::string& location : dsStoreURLs) {
        if (!platform::fileExists(location)) continue;
        request.dsStores.push_back({location, platform::readFile(location)});
    }
    static_cast<ManifestHeader&>(manifest) = createSnapshot(request).header;
    return manifest;
}

WrittenSnapshot BackupManager::createSnapshot(const SnapshotRequest& request) {
    const std::string baseId = iso8601Identifier(m_host.now());

    // Missing parents (~/.lumifold itself for the default store) are created private too.
    platform::createDirectories(m_baseBackupDirectory, kPrivateFolderMode);
    // Claiming the folder with an exclusive mkdir means a second snapshot of the same second,
    // even from another process, takes the next free suffix instead of sharing the folder.
    std::string id = baseId;
    for (int suffix = 2;
         !platform::createDirectoryExclusively(snapshotDirectory(id), kPrivateFolderMode);
         ++suffix) {
        if (suffix > kMaximumIdentifierSuffix) {
            throw platform::alreadyExistsError("create folder", snapshotDirectory(id));
        }
        id = baseId + "-" + std::to_string(suffix);
    }
    const std::string directory = snapshotDirectory(id);
    const std::string filesDirectory = appending(directory, kFilesFolderName);
    platform::createDirectories(filesDirectory, kPrivateFolderMode);

    ManifestHeader manifest;
    manifest.id = id;
    manifest.finderPlistOriginalPath = request.finderPlistURL;
    manifest.finderPlistBackupPath = appending(directory, kPreferencesCopyName);
    if (request.finderPlistBytes) {
        manifest.finderPlistOriginalSHA256 = platform::sha256Hex(*request.finderPlistBytes);
        platform::writeFileAtomically(manifest.finderPlistBackupPath, *request.finderPlistBytes,
                                      kPrivateFileMode);
    }

    // Copies go to "files/<first 12 digits of the checksum>_<name>".
    const auto copy = [&](const std::string& path, ByteView bytes) {
        const std::string checksum = platform::sha256Hex(bytes);
        const std::string name =
            checksum.substr(0, kCopyNameDigestLength) + "_" + lastPathComponent(path);
        platform::writeFileAtomically(appending(filesDirectory, name), bytes, kPrivateFileMode);
        return std::pair{std::string(kFilesFolderName) + "/" + name, checksum};
    };
    for (const SnapshotSource& store : request.dsStores) {
        const auto [copied, checksum] = copy(store.path, store.bytes);
        const auto bits = platform::permissionBits(store.path);
        manifest.dsStoreBackups.push_back(DSStoreBackupItem{
            .originalPath = store.path,
            .backupRelativePath = copied,
            .originalSHA256 = checksum,
            .postModificationSHA256 = std::nullopt,
            .posixPermissions =
                bits ? static_cast<std::uint16_t>(*bits & 07777) : kFallbackPermissions,
        });
    }

    manifest.createdAt = std::chrono::floor<std::chrono::seconds>(m_host.now());
    if (request.pushedPreferences) {
        manifest.pushedPreferences.emplace();
        for (const PlannedPush& push : *request.pushedPreferences) {
            PushedPreference record = push.record;
            if (push.domainBytes) {
                std::tie(record.backupRelativePath, record.originalSHA256) =
                    copy(push.domainPath, *push.domainBytes);
            }
            manifest.pushedPreferences->push_back(std::move(record));
        }
    }
    WrittenSnapshot written{.header = std::move(manifest), .summary = {}};
    saveManifest(written.header, request.lists, &written.summary);
    return written;
}

void BackupManager::saveManifest(const ManifestHeader& header, const ManifestLists& lists,
                                 SnapshotSummary* summary) const {
    const std::string path = manifestPath(header.id);
    std::size_t changes = 0, flags = 0;
    const ManifestLists counted{
        .appliedChanges =
            [&](const auto& each) {
                lists.appliedChanges([&](const SettingChange& change) {
                    ++changes;
                    each(change);
                });
            },
        .fileExtensionBackups =
            [&](const auto& each) {
                lists.fileExtensionBackups([&](const FileExtensionBackupItem& item) {
                    ++flags;
                    each(item);
                });
            },
    };
    platform::ReplaceOptions options;
    options.exactPermissionBits = kPrivateFileMode;
    try {
        platform::replaceFileWith(
            path,
            [&](const platform::ByteWriter& write) {
                writeManifestFile(header, counted,
                                  [&](std::string_view chunk) { write(asBytes(chunk)); });
            },
            options);
    } catch (const std::invalid_argument& error) {
        throw Error(kBackupManagerDomain, kBackupManifestUnencodable,
                    std::string("Could not encode the snapshot manifest: ") + error.what());
    }

    // A summary beside the manifest lets listing skip reading it; the manifest's size and
    // time say whether the summary still describes it.
    const SnapshotSummary written = SnapshotSummary::of(header, changes, flags);
    nlohmann::json cache = written;
    cache["manifestSize"] = platform::fileSize(path).value_or(0);
    cache["manifestModified"] = platform::modificationTimeNanoseconds(path).value_or(0);
    platform::writeFileAtomically(appending(snapshotDirectory(header.id), kSummaryFileName),
                                  asBytes(cache.dump()), kPrivateFileMode);
    if (summary != nullptr) *summary = written;
}

std::optional<SnapshotSummary> BackupManager::cachedSummary(const std::string& name) const {
    try {
        const std::string summaryPath = appending(snapshotDirectory(name), kSummaryFileName);
        if (!platform::entryType(summaryPath)) return std::nullopt;
        const nlohmann::json cache =
            nlohmann::json::parse(asText(platform::readFile(summaryPath, kSummaryReadLimit)));
        const std::string path = manifestPath(name);
        if (cache.at("manifestSize") != platform::fileSize(path).value_or(0) ||
            cache.at("manifestModified") !=
                platform::modificationTimeNanoseconds(path).value_or(0)) {
            return std::nullopt;  // the manifest changed since: the summary says nothing
        }
        SnapshotSummary summary = cache.get<SnapshotSummary>();
        if (summary.id != name) return std::nullopt;
        return summary;
    } catch (const Error&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

BackupManifest BackupManager::recordPostModificationHashes(
    const std::string& snapshotID, const std::string& finderPlistURL,
    const std::vector<std::string>& /*dsStoreURLs*/) {
    return recordPostModificationHashes(snapshotID, finderPlistURL, ApplyOutcome{});
}

BackupManifest BackupManager::recordPostModificationHashes(const std::string& snapshotID,
                                                           const std::string& finderPlistURL,
                                                           const ApplyOutcome& outcome) {
    std::optional<BackupManifest> manifest = loadManifest(snapshotID);
    if (!manifest) {
        throw Error(kBackupManagerDomain, kBackupManifestNotFound, kBackupManifestNotFoundMessage);
    }
    recordOutcome(*manifest, finderPlistURL, outcome);
    saveManifest(*manifest, ManifestLists::of(*manifest));
    return *manifest;
}

WrittenSnapshot BackupManager::completeSnapshot(const SnapshotRequest& request,
                                                const WrittenSnapshot& created,
                                                const ApplyOutcome& outcome) {
    WrittenSnapshot completed{.header = created.header, .summary = {}};
    recordOutcome(completed.header, request.finderPlistURL, outcome);
    saveManifest(completed.header, request.lists, &completed.summary);
    return completed;
}

void BackupManager::recordOutcome(ManifestHeader& manifest, const std::string& finderPlistURL,
                                  const ApplyOutcome& outcome) const {
    if (auto checksum = checksumOfFileIfReadable(finderPlistURL)) {
        manifest.finderPlistPostSHA256 = std::move(checksum);
    }
    manifest.finderPlistNotWritten = outcome.preferencesNotWritten;
    for (DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (auto checksum = checksumOfFileIfReadable(item.originalPath)) {
            item.postModificationSHA256 = std::move(checksum);
        }
        item.notWritten =
            std::find(outcome.storesNotWritten.begin(), outcome.storesNotWritten.end(),
                      item.originalPath) != outcome.storesNotWritten.end();
    }
    if (manifest.pushedPreferences && outcome.pushed) {
        for (PushedPreference& recorded : *manifest.pushedPreferences) {
            const bool reached = std::any_of(
                outcome.pushed->begin(), outcome.pushed->end(), [&](const auto& pushed) {
                    return pushed.domain == recorded.domain && pushed.key == recorded.key;
                });
            if (!reached) recorded.pushedValue.reset();
            // Only a domain Apply wrote is one Restore may put back byte for byte.
            const auto path =
                platform::PreferencesService(m_host.homeDirectory)
                    .domainPath(recorded.domain, platform::PreferencesService::Host::current);
            if (reached && path) recorded.postModificationSHA256 = checksumOfFileIfReadable(*path);
        }
    }
}

namespace {

// The manifest at `path`, read as a stream; throws Error (the file) or nlohmann's exceptions.
BackupManifest readManifest(const std::string& path, bool keepChanges,
                            std::size_t* changeCount = nullptr) {
    const platform::FileHandle file = platform::openForReading(path, kManifestReadLimit);
    return decodeManifestFile(file.get(), keepChanges, changeCount);
}

}  // namespace

std::optional<BackupManifest> BackupManager::loadManifest(const std::string& id) const {
    if (!isSingleComponent(id)) return std::nullopt;
    try {
        BackupManifest manifest = readManifest(manifestPath(id), true);
        // A manifest moved or copied into another folder would restore under a false name.
        if (manifest.id != id) return std::nullopt;
        return manifest;
    } catch (const Error&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

BackupManifest BackupManager::loadManifestForRestore(const std::string& id) const {
    if (isSingleComponent(id)) {
        try {
            BackupManifest manifest = readManifest(manifestPath(id), false);
            if (manifest.id == id) return manifest;
        } catch (const Error&) {
        } catch (const nlohmann::json::exception&) {
        }
    }
    const auto problem = problemWith(id);
    throw Error(kBackupManagerDomain, kBackupManifestUnreadable,
                "Snapshot " + platform::printable(id) + " cannot be read: " +
                    (problem ? problem->problem : std::string("there is no such snapshot")));
}

void BackupManager::copyManifestText(const std::string& id,
                                     const std::function<void(std::string_view)>& sink) const {
    (void)loadManifestForRestore(id);  // it reads, and as this snapshot's
    {
        const platform::FileHandle file =
            platform::openForReading(manifestPath(id), kManifestReadLimit);
        std::array<char, 64 * 1024> buffer{};
        for (std::size_t count = 0;
             (count = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0;) {
            sink(std::string_view(buffer.data(), count));
        }
        if (std::ferror(file.get())) throw platform::posixError(EIO, "read", manifestPath(id));
    }
}

std::vector<std::string> BackupManager::snapshotNames() const {
    try {
        return platform::listDirectory(m_baseBackupDirectory, true);
    } catch (const Error&) {
        return {};  // no store yet
    }
}

namespace {

void sortNewestFirst(std::vector<std::pair<IdentifierKey, SnapshotSummary>>& found) {
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        if (a.second.createdAt != b.second.createdAt) {
            return a.second.createdAt > b.second.createdAt;
        }
        return b.first < a.first;
    });
}

}  // namespace

std::vector<BackupManifest> BackupManager::listManifests() const {
    std::vector<BackupManifest> manifests;
    for (const SnapshotSummary& summary : listSnapshots().snapshots) {
        if (auto manifest = loadManifest(summary.id)) manifests.push_back(std::move(*manifest));
    }
    return manifests;
}

BackupManager::Listing BackupManager::listSnapshots() const {
    Listing listing;
    std::vector<std::pair<IdentifierKey, SnapshotSummary>> found;
    for (const std::string& name : snapshotNames()) {
        if (platform::entryType(snapshotDirectory(name)) != platform::EntryType::directory) {
            continue;  // a stray file is no snapshot
        }
        if (auto summary = cachedSummary(name)) {
            found.emplace_back(IdentifierKey(name), std::move(*summary));
        } else if (auto problem = problemWith(name)) {
            listing.problems.push_back(std::move(*problem));
        } else {
            std::size_t changes = 0;
            const BackupManifest manifest = readManifest(manifestPath(name), false, &changes);
            found.emplace_back(
                IdentifierKey(name),
                SnapshotSummary::of(manifest, changes, manifest.fileExtensionBackups.size()));
        }
    }
    sortNewestFirst(found);
    for (auto& entry : found) listing.snapshots.push_back(std::move(entry.second));
    return listing;
}

std::optional<SnapshotProblem> BackupManager::problemWith(const std::string& id) const {
    if (!isSingleComponent(id) ||
        platform::entryType(snapshotDirectory(id)) != platform::EntryType::directory) {
        return std::nullopt;
    }
    const std::string path = manifestPath(id);
    if (!platform::entryType(path)) {
        return SnapshotProblem{id, true, "incomplete: it has no manifest"};
    }
    if (auto why = manifestProblem(id, [&] { return readManifest(path, false); })) {
        return SnapshotProblem{id, false, std::move(*why)};
    }
    return std::nullopt;
}

std::vector<SnapshotProblem> BackupManager::snapshotProblems() const {
    return listSnapshots().problems;
}

std::optional<std::string> BackupManager::heldFiles(
    const std::string& id, const std::function<void(std::string)>& hold) const {
    // Each key names a kind of state and where it lives, so that a file's content and its
    // extension flag, say, count apart.
    return manifestProblem(id, [&] {
        const platform::FileHandle file =
            platform::openForReading(manifestPath(id), kManifestReadLimit);
        const ManifestHeader header = decodeManifestHeader(
            file.get(),
            [&](const FileExtensionBackupItem& item) { hold("flag " + item.filePath); });
        // What Restore passes by, or has no copy of, is not held.
        if (!header.finderPlistOriginalSHA256.empty() && !header.finderPlistNotWritten) {
            hold("file " + header.finderPlistOriginalPath);
        }
        for (const DSStoreBackupItem& item : header.dsStoreBackups) {
            if (!item.notWritten) hold("file " + item.originalPath);
        }
        // A pushed value is held even without a copy of its domain: Restore then removes the
        // file or the key Apply made, which is the state before.
        for (const PushedPreference& pushed :
             header.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
            hold("domain " + pushed.domain + (pushed.currentHost ? " (current host)" : ""));
        }
        return header;
    });
}

PruneResult BackupManager::prune(std::optional<std::size_t> keep) {
    const Listing listing = listSnapshots();
    PruneResult result;
    for (const SnapshotProblem& problem : listing.problems) {
        if (problem.incomplete) {
            platform::removeTree(snapshotDirectory(problem.name));
            result.removed.push_back(problem.name);
        } else {
            result.kept.push_back(problem);
        }
    }
    // A link in the store was not made here: listing passes it by, so it is neither read nor
    // removed (removeTree would take only the link), but the user should know of it.
    for (const std::string& name : snapshotNames()) {
        if (platform::entryType(snapshotDirectory(name)) == platform::EntryType::symbolicLink) {
            result.kept.push_back({name, false, "it is a link, not a snapshot folder"});
        }
    }
    if (!keep || listing.snapshots.size() <= *keep) return result;  // no manifest to read

    // Oldest first, so the first snapshot to hold a file is the oldest that holds it. A
    // snapshot whose manifest cannot be read stays, and counts neither as holding anything nor
    // among the newest: every readable snapshot that is the oldest readable holder of a file
    // stays, and the newest `keep` readable ones stay. That is all the rule would keep if the
    // manifest could be read, and more: the unreadable one either was the oldest holder of a
    // file (it stays anyway) or was not; and it can take no place among the newest.
    const std::vector<SnapshotSummary>& snapshots = listing.snapshots;  // newest first
    std::vector<bool> needed(snapshots.size()), readable(snapshots.size());
    std::unordered_set<std::string> held;
    std::vector<std::string> firstHeld;  // what this snapshot holds that no older one does
    for (std::size_t i = snapshots.size(); i-- > 0;) {
        firstHeld.clear();
        const auto why = heldFiles(snapshots[i].id, [&](std::string key) {
            if (!held.contains(key)) firstHeld.push_back(std::move(key));
        });
        if (why) {
            // Whatever it named before failing stays unheld, for a readable snapshot to hold.
            result.kept.push_back({snapshots[i].id, false, *why});
            needed[i] = true;
            continue;
        }
        readable[i] = true;
        needed[i] = !firstHeld.empty();
        held.insert(std::make_move_iterator(firstHeld.begin()),
                    std::make_move_iterator(firstHeld.end()));
    }
    for (std::size_t i = 0, newest = 0; i < snapshots.size() && newest < *keep; ++i) {
        if (readable[i]) {
            needed[i] = true;
            ++newest;
        }
    }
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        if (needed[i]) continue;
        platform::removeTree(snapshotDirectory(snapshots[i].id));
        result.removed.push_back(snapshots[i].id);
    }
    return result;
}

void BackupManager::checkManifestPaths(const BackupManifest& manifest) const {
    if (!isSingleComponent(manifest.id)) throwUnsafePath(manifest.id, "is not a snapshot name");
    if (!isAbsolute(manifest.finderPlistOriginalPath) ||
        hasDotComponent(manifest.finderPlistOriginalPath)) {
        throwUnsafePath(manifest.finderPlistOriginalPath, "is not an absolute path");
    }
    if (manifest.finderPlistOriginalPath != m_preferencesPath) {
        throw Error(kBackupManagerDomain, kBackupForeignHome,
                    "Snapshot " + manifest.id + " was taken of the preferences file " +
                        quoted(manifest.finderPlistOriginalPath) + ", but this home's is " +
                        quoted(m_preferencesPath) +
                        " (the home may have moved), so nothing was restored");
    }
    const std::string directory = snapshotDirectory(manifest.id);
    if (manifest.finderPlistBackupPath != appending(directory, kPreferencesCopyName)) {
        throwUnsafePath(manifest.finderPlistBackupPath, "is outside the snapshot folder");
    }
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        // Restore writes store content only where a store belongs.
        if (!isAbsolute(item.originalPath) || hasDotComponent(item.originalPath) ||
            lastPathComponent(item.originalPath) != kDSStoreName) {
            throwUnsafePath(item.originalPath, "is not the absolute path of a .DS_Store file");
        }
        checkCopyPath(item.backupRelativePath);
    }
    for (const FileExtensionBackupItem& item : manifest.fileExtensionBackups) {
        if (!isAbsolute(item.filePath) || hasDotComponent(item.filePath)) {
            throwUnsafePath(item.filePath, "is not an absolute path");
        }
    }
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        // Only the values Apply itself pushes.
        if ((pushed.domain != platform::PreferencesService::kAnyApplication &&
             pushed.domain != kFinderApplicationId) ||
            pushed.key != kShowAllExtensionsKey || !pushed.currentHost) {
            throwUnsafePath(pushed.domain + " " + pushed.key, "is not a preference Apply sets");
        }
        if (pushed.backupRelativePath) checkCopyPath(*pushed.backupRelativePath);
    }
}

void BackupManager::checkLiveTargets(const BackupManifest& manifest) const {
    using platform::EntryType;
    const auto refuse = [](const std::string& path, const char* why) {
        throw Error(
            kBackupManagerDomain, kBackupUnsafeManifestPath,
            "Restore will not write " + quoted(path) + ": " + why + ", so nothing was restored");
    };
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) continue;
        const auto type = platform::entryType(item.originalPath);
        if (type && type != EntryType::regular) {
            refuse(item.originalPath,
                   type == EntryType::symbolicLink ? "it is a symbolic link" : "it is not a file");
        }
    }
    // Each folder's listing gives its files' types, where a stat per file would add a third
    // of the system calls of a large restore. The list is in path order, so a folder's files
    // mostly come together and only the current folder's listing is held.
    std::string listedFolder;
    bool listed = false;
    std::unordered_map<std::string, EntryType> types;
    for (const FileExtensionBackupItem& item : manifest.fileExtensionBackups) {
        const std::string folder = deletingLastPathComponent(item.filePath);
        if (!listed || folder != listedFolder) {
            types.clear();
            try {
                for (auto& entry : platform::listDirectoryEntries(folder, true)) {
                    types.emplace(std::move(entry.name), entry.type);
                }
            } catch (const Error&) {
                // A folder gone since holds no file to refuse; setting the flag passes it by.
            }
            listedFolder = folder;
            listed = true;
        }
        const auto found = types.find(lastPathComponent(item.filePath));
        if (found != types.end() && found->second != EntryType::regular) {
            refuse(item.filePath, "it is no longer a regular file, so its flag stays");
        }
    }
    // The preferences file may be a link (Apply writes through it), but must end in a file.
    if (platform::entryType(manifest.finderPlistOriginalPath) &&
        !platform::isRegularFile(manifest.finderPlistOriginalPath)) {
        refuse(manifest.finderPlistOriginalPath, "it is not a file");
    }
}

BackupManager::Copies BackupManager::readCopies(const BackupManifest& manifest) const {
    using platform::EntryType;
    const std::string directory = snapshotDirectory(manifest.id);
    // Copies are read only from the snapshot's own folders, never through a link.
    const std::string files = appending(directory, kFilesFolderName);
    if (platform::entryType(directory) != EntryType::directory) {
        throwDamagedCopy(directory, "is not a folder");
    }
    const auto readCopy = [](const std::string& copy, const std::string& checksum) {
        if (platform::entryType(copy) != EntryType::regular) {
            throwDamagedCopy(copy, "is missing or not a regular file");
        }
        Bytes bytes;
        try {
            bytes = platform::readFile(copy);
        } catch (const Error& error) {
            throw Error(kBackupManagerDomain, kBackupDamagedCopy,
                        error.message() + "; nothing was restored");
        }
        if (platform::sha256Hex(bytes) != checksum) {
            throwDamagedCopy(copy, "does not match the checksum its manifest records");
        }
        return bytes;
    };
    Copies copies;
    const bool hadPreferences = !manifest.finderPlistOriginalSHA256.empty();
    if (hadPreferences && !manifest.finderPlistNotWritten) {
        copies.preferences =
            readCopy(manifest.finderPlistBackupPath, manifest.finderPlistOriginalSHA256);
    } else if (!hadPreferences && platform::entryType(manifest.finderPlistBackupPath)) {
        throwDamagedCopy(manifest.finderPlistBackupPath,
                         "exists, though there was no preferences file to copy");
    }
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) {
            copies.stores.emplace_back();
            continue;
        }
        if (!manifest.dsStoreBackups.empty() &&
            platform::entryType(files) != EntryType::directory) {
            throwDamagedCopy(files, "is not a folder");
        }
        copies.stores.push_back(
            readCopy(appending(directory, item.backupRelativePath), item.originalSHA256));
    }
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        copies.domains.push_back(
            pushed.backupRelativePath
                ? std::optional(readCopy(appending(directory, *pushed.backupRelativePath),
                                         pushed.originalSHA256))
                : std::nullopt);
    }
    return copies;
}

RestoreEvaluationSummary BackupManager::evaluateRestore(const BackupManifest& manifest) const {
    checkManifestPaths(manifest);
    RestoreEvaluationSummary summary;

    if (auto current = manifest.finderPlistNotWritten
                           ? std::nullopt
                           : checksumOfFileIfReadable(manifest.finderPlistOriginalPath)) {
        const std::string expected =
            manifest.finderPlistPostSHA256.value_or(manifest.finderPlistOriginalSHA256);
        const bool modified = *current != expected;
        summary.items.push_back(RestoreEvaluationItem{
            .originalPath = manifest.finderPlistOriginalPath,
            .backupPath = manifest.finderPlistBackupPath,
            .isModifiedSinceBackup = modified,
            .currentSHA256 = std::move(*current),
            .expectedSHA256 = expected,
            .statusDescription = modified ? kStatusContentChanged : kStatusSafeToRestore,
        });
    }

    const std::string directory = snapshotDirectory(manifest.id);
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) continue;  // Apply never changed it; Restore leaves it too
        const std::string backupPath = appending(directory, item.backupRelativePath);
        if (!platform::entryType(item.originalPath)) {
            summary.items.push_back(RestoreEvaluationItem{
                .originalPath = item.originalPath,
                .backupPath = backupPath,
                .isModifiedSinceBackup = false,
                .currentSHA256 = kMissingChecksum,
                .expectedSHA256 = item.originalSHA256,
                .statusDescription = kStatusWillBeRecreated,
            });
            continue;
        }
        // A file that exists but cannot be read can neither block nor be reported.
        auto current = checksumOfFileIfReadable(item.originalPath);
        if (!current) continue;
        const std::string expected = item.postModificationSHA256.value_or(item.originalSHA256);
        const bool modified = *current != expected;
        summary.items.push_back(RestoreEvaluationItem{
            .originalPath = item.originalPath,
            .backupPath = backupPath,
            .isModifiedSinceBackup = modified,
            .currentSHA256 = std::move(*current),
            .expectedSHA256 = expected,
            .statusDescription = modified ? kStatusDriftDetected : kStatusSafeToRestore,
        });
    }

    // A pushed value that no longer holds was changed by someone after Apply.
    const platform::PreferencesService preferences(m_host.homeDirectory);
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        if (!pushed.pushedValue) continue;
        std::optional<std::string> current;
        try {
            if (const auto value = preferences.copyValue(
                    pushed.key, pushed.domain, platform::PreferencesService::Host::current)) {
                current = platform::toXmlPropertyList(*value);
            }
        } catch (const Error&) {
            continue;  // as for a file that cannot be read
        }
        const bool modified = current != pushed.pushedValue;
        summary.items.push_back(RestoreEvaluationItem{
            .originalPath =
                preferences.domainPath(pushed.domain, platform::PreferencesService::Host::current)
                    .value_or(pushed.domain),
            // The value before Apply is kept in the manifest itself.
            .backupPath = manifestPath(manifest.id),
            .isModifiedSinceBackup = modified,
            .currentSHA256 = current ? platform::sha256Hex(asBytes(*current)) : kMissingChecksum,
            .expectedSHA256 = platform::sha256Hex(asBytes(*pushed.pushedValue)),
            .statusDescription = modified ? kStatusContentChanged : kStatusSafeToRestore,
        });
    }
    return summary;
}

std::vector<std::pair<std::string, std::string>> BackupManager::restoredFiles(
    const BackupManifest& manifest) const {
    std::vector<std::pair<std::string, std::string>> files;
    const auto add = [&](const std::string& path) {
        files.emplace_back(deletingLastPathComponent(path), lastPathComponent(path));
    };
    add(manifest.finderPlistOriginalPath);
    const std::string resolved = platform::resolveSymbolicLinks(manifest.finderPlistOriginalPath);
    if (resolved != manifest.finderPlistOriginalPath) add(resolved);
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) add(item.originalPath);
    const platform::PreferencesService preferences(m_host.homeDirectory);
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        if (auto path = preferences.domainPath(pushed.domain,
                                               platform::PreferencesService::Host::current)) {
            add(*path);
        }
    }
    return files;
}

void BackupManager::restoreSnapshot(const BackupManifest& manifest, bool force) {
    restoreSnapshot(manifest, force, evaluateRestore(manifest));
}

void BackupManager::restoreSnapshot(const BackupManifest& manifest, bool force,
                                    const RestoreEvaluationSummary& evaluation) {
    // Every check comes before the first byte is written: an unsafe or foreign manifest, a
    // live file that is a link, a damaged copy, then drift.
    checkManifestPaths(manifest);
    checkLiveTargets(manifest);
    const Copies copies = readCopies(manifest);
    if (!force && evaluation.hasModifications()) {
        throw Error(kBackupManagerDomain, kBackupDriftWithoutForce,
                    kBackupDriftWithoutForceMessage);
    }

    // What a killed write left beside the files about to be written goes first.
    for (const auto& [folder, name] : restoredFiles(manifest)) {
        platform::removeOwnTemporaryFiles(folder, {name, "finder.plist"});
    }
    if (copies.preferences) {
        // Through a link, as Apply wrote it; the file keeps its owner and attributes.
        platform::ReplaceOptions throughLink;
        throughLink.followFinalLink = true;
        platform::replaceFile(manifest.finderPlistOriginalPath, *copies.preferences, throughLink);
        if (!manifest.pushedPreferences) pushShowAllExtensions(*copies.preferences);
    }
    if (manifest.pushedPreferences) {
        restorePushedPreferences(*manifest.pushedPreferences, copies.domains);
    }

    for (std::size_t i = 0; i < manifest.dsStoreBackups.size(); ++i) {
        const DSStoreBackupItem& item = manifest.dsStoreBackups[i];
        if (!copies.stores[i]) continue;
        platform::replaceFile(item.originalPath, *copies.stores[i]);
        try {
            // Never set-id or sticky, whatever the manifest says.
            platform::setPermissionBits(item.originalPath, item.posixPermissions & 0777u);
        } catch (const Error&) {
            // The content is back; bits we cannot set are not worth failing the restore for.
        }
    }

    // Checked above to be regular files or gone; the attribute calls never follow a link, and
    // a file gone since is passed by.
    for (const FileExtensionBackupItem& item : manifest.fileExtensionBackups) {
        try {
            platform::setHasHiddenExtension(item.filePath, item.originalHasHiddenExtension);
        } catch (const Error&) {
            // Gone, or a file system without extended attributes: nothing to keep.
        }
    }
}

// The checksum of the domain file Apply's push makes from the snapshot's copy: an Apply killed
// before it recorded its checksums still leaves a file Restore can recognise as untouched.
std::optional<std::string> BackupManager::checksumAfterPush(const PushedPreference& value,
                                                            const std::optional<Bytes>& copy) {
    if (!value.pushedValue) return std::nullopt;
    try {
        platform::PlistValue root =
            copy ? platform::parsePropertyList(*copy) : platform::PlistValue();
        platform::PlistDictionary* dictionary = root.ifDictionary();
        if (dictionary == nullptr) return std::nullopt;
        (*dictionary)[value.key] = platform::parsePropertyList(asBytes(*value.pushedValue));
        return platform::sha256Hex(platform::toBinaryPropertyList(root));
    } catch (const Error&) {
        return std::nullopt;
    }
}

void BackupManager::restorePushedPreferences(
    const std::vector<PushedPreference>& pushed,
    const std::vector<std::optional<Bytes>>& domainCopies) const {
    using platform::PreferencesService;
    PreferencesService preferences(m_host.homeDirectory);
    for (std::size_t i = 0; i < pushed.size(); ++i) {
        const PushedPreference& value = pushed[i];
        const std::string path =
            *preferences.domainPath(value.domain, PreferencesService::Host::current);
        // A domain nobody touched since Apply comes back byte for byte; one that changed since
        // gets its value back and keeps the other program's changes.
        const auto current = checksumOfFileIfReadable(path);
        if (current && (current == value.postModificationSHA256 ||
                        current == checksumAfterPush(value, domainCopies[i]))) {
            if (domainCopies[i]) {
                platform::ReplaceOptions throughLink;
                throughLink.followFinalLink = true;
                platform::replaceFile(path, *domainCopies[i], throughLink);
            } else {
                platform::removeFile(path);  // Apply made it
            }
        } else {
            std::optional<platform::PlistValue> original;
            if (value.originalValue) {
                original = platform::parsePropertyList(asBytes(*value.originalValue));
            }
            // Where the key was absent it is removed again; a domain left empty loses its file.
            preferences.setValue(value.key, original, value.domain,
                                 PreferencesService::User::current,
                                 PreferencesService::Host::current);
        }
        preferences.synchronize(value.domain, PreferencesService::User::current,
                                PreferencesService::Host::current);
    }
}

void BackupManager::pushShowAllExtensions(ByteView preferencesBytes) const {
    std::optional<bool> showAll;
    try {
        const platform::PlistValue root = platform::parsePropertyList(preferencesBytes);
        if (const platform::PlistDictionary* dictionary = root.ifDictionary()) {
            const auto found = dictionary->find(kShowAllExtensionsKey);
            if (found != dictionary->end()) {
                if (const bool* flag = found->second.ifBoolean()) showAll = *flag;
            }
        }
    } catch (const Error&) {
        // Not a property list: the file is restored, the live preferences are left alone.
    }
    if (!showAll) return;

    using platform::PreferencesService;
    PreferencesService preferences(m_host.homeDirectory);
    const platform::PlistValue value = platform::PlistValue::boolean(*showAll);
    // The global domain first, then the Finder's own, each made durable before the next.
    preferences.setValue(kShowAllExtensionsKey, value, PreferencesService::kAnyApplication,
                         PreferencesService::User::current, PreferencesService::Host::current);
    preferences.synchronize(PreferencesService::kAnyApplication, PreferencesService::User::current,
                            PreferencesService::Host::current);
    preferences.setValue(kShowAllExtensionsKey, value, kFinderApplicationId,
                         PreferencesService::User::current, PreferencesService::Host::current);
    preferences.synchronize(kFinderApplicationId, PreferencesService::User::current,
                            PreferencesService::Host::current);
}

}  // namespace lumifold
