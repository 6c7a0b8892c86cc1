#include "core/backup/BackupManager.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/backup/SnapshotFiles.h"
#include "core/common/Error.h"
#include "core/common/Iso8601.h"
#include "core/common/Paths.h"
#include "core/platform/Clock.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/FileSystem.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"
#include "core/platform/Uuid.h"
#include "core/plist/PropertyList.h"

namespace lumifold {
namespace {

using namespace snapshot_files;
using std::chrono::system_clock;

constexpr std::size_t kCopyNameDigestLength = 12;
constexpr std::uint16_t kFallbackPermissions = 0644;
// "<id>-2" ... "<id>-9999": far beyond any real burst of snapshots within one second.
constexpr int kMaximumIdentifierSuffix = 9999;
constexpr std::uint64_t kSummaryReadLimit = 64 * 1024;
// What completing a manifest adds: a post-change checksum and a flag per item (about a hundred
// bytes with the indentation), and room for the summary beside it.
constexpr std::uint64_t kCompletionBytesPerItem = 192;
constexpr std::uint64_t kCompletionSlack = 64 * 1024;

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

// Why a manifest cannot serve as snapshot `id`'s, `read` reading it; nullopt when it can.
template <typename Read>
std::optional<std::string> manifestProblem(const std::string& id, const Read& read) {
    try {
        const std::string found = read().id;
        if (found == id) return std::nullopt;
        return "its manifest belongs to snapshot " + quotedPath(found);
    } catch (const Error& error) {
        return "its manifest cannot be read: " + error.message();
    } catch (const nlohmann::json::exception& error) {
        return std::string("its manifest is corrupt: ") + error.what();
    }
}

}  // namespace

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
        request.dsStores.push_back({location, platform::readFile(location), std::nullopt});
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
    try {
        return writeSnapshot(request, id);
    } catch (...) {
        // A snapshot cut short holds nothing to restore, and no Apply writes after it.
        removeSnapshot(id);
        throw;
    }
}

WrittenSnapshot BackupManager::writeSnapshot(const SnapshotRequest& request,
                                             const std::string& id) {
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
            .notWritten = false,
            .plannedSHA256 = store.plannedSHA256,
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
    manifest.finderPlistPlannedSHA256 = request.finderPlistPlannedSHA256;
    manifest.finderPlistWasLink = request.finderPlistWasLink;
    manifest.writtenFolders = request.writtenFolders;
    WrittenSnapshot written{.header = std::move(manifest), .summary = {}, .reservation = {}};
    saveManifest(written.header, request.lists, &written.summary);
    if (request.reserveCompletion) {
        // The manifest is written again once the files are: the space that takes is set aside
        // now, so a full disk stops Apply here, before it changes anything, rather than after.
        const std::uint64_t items =
            written.header.dsStoreBackups.size() +
            written.header.pushedPreferences.value_or(std::vector<PushedPreference>{}).size();
        written.reservation = appending(
            directory, "." + std::string(kManifestFileName) + ".tmp." + platform::makeUuidString());
        platform::reserveFile(written.reservation,
                              platform::fileSize(manifestPath(id)).value_or(0) +
                                  kCompletionBytesPerItem * (items + 1) + kCompletionSlack);
    }
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
    WrittenSnapshot completed{.header = created.header, .summary = {}, .reservation = {}};
    recordOutcome(completed.header, request.finderPlistURL, outcome);
    // The space set aside is handed back just before the write it was kept for.
    if (!created.reservation.empty()) {
        try {
            platform::removeFile(created.reservation);
        } catch (const Error&) {
            // Gone already: the write below finds out whether there is room.
        }
    }
    saveManifest(completed.header, request.lists, &completed.summary);
    return completed;
}

WrittenSnapshot BackupManager::recordFailedApply(const WrittenSnapshot& created,
                                                 const ManifestLists& lists,
                                                 const ApplyOutcome& stillWritten,
                                                 FailedApply failure) {
    WrittenSnapshot recorded{.header = created.header, .summary = {}, .reservation = {}};
    markNotWritten(recorded.header, stillWritten);
    recorded.header.applyFailed = std::move(failure);
    if (!created.reservation.empty()) {
        try {
            platform::removeFile(created.reservation);
        } catch (const Error&) {
            // Gone already: the write below finds out whether there is room.
        }
    }
    saveManifest(recorded.header, lists, &recorded.summary);
    return recorded;
}

void BackupManager::removeSnapshot(const std::string& id) const noexcept {
    try {
        if (isSingleComponent(id)) platform::removeTree(snapshotDirectory(id));
    } catch (const std::exception&) {
        // What stays is listed as an incomplete or unusable snapshot, for pruning to take.
    }
}

namespace {

// Whether the push `recorded` reached the preferences service, as `outcome` says.
bool reached(const ApplyOutcome& outcome, const PushedPreference& recorded) {
    return std::any_of(outcome.pushed->begin(), outcome.pushed->end(), [&](const auto& pushed) {
        return pushed.domain == recorded.domain && pushed.key == recorded.key;
    });
}

}  // namespace

void BackupManager::markNotWritten(ManifestHeader& manifest, const ApplyOutcome& outcome) {
    manifest.finderPlistNotWritten = outcome.preferencesNotWritten;
    for (DSStoreBackupItem& item : manifest.dsStoreBackups) {
        item.notWritten =
            std::find(outcome.storesNotWritten.begin(), outcome.storesNotWritten.end(),
                      item.originalPath) != outcome.storesNotWritten.end();
    }
    if (!manifest.pushedPreferences || !outcome.pushed) return;
    for (PushedPreference& recorded : *manifest.pushedPreferences) {
        if (!reached(outcome, recorded)) recorded.pushedValue.reset();
    }
}

void BackupManager::recordOutcome(ManifestHeader& manifest, const std::string& finderPlistURL,
                                  const ApplyOutcome& outcome) const {
    markNotWritten(manifest, outcome);
    if (auto checksum = checksumOfFileIfReadable(finderPlistURL)) {
        manifest.finderPlistPostSHA256 = std::move(checksum);
    }
    for (DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (auto checksum = checksumOfFileIfReadable(item.originalPath)) {
            item.postModificationSHA256 = std::move(checksum);
        }
    }
    if (!manifest.pushedPreferences || !outcome.pushed) return;
    for (PushedPreference& recorded : *manifest.pushedPreferences) {
        // Only a domain Apply wrote is one Restore may put back byte for byte.
        const auto path =
            platform::PreferencesService(m_host.homeDirectory)
                .domainPath(recorded.domain, platform::PreferencesService::Host::current);
        if (reached(outcome, recorded) && path) {
            recorded.postModificationSHA256 = checksumOfFileIfReadable(*path);
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

void BackupManager::removeLeftovers() const {
    try {
        const platform::FolderRoot store = platform::FolderRoot::open(m_baseBackupDirectory);
        // An empty name stands for any target: everything of our pattern here is ours.
        const std::vector<std::string> anyTarget{""};
        platform::removeOwnTemporaryFilesIn(store.folder(), anyTarget);
        for (const platform::DirectoryEntry& entry : platform::listEntriesIn(store.folder())) {
            if (entry.type != platform::EntryType::directory) continue;
            for (const std::string& relative :
                 {entry.name, appending(entry.name, kFilesFolderName)}) {
                try {
                    platform::removeOwnTemporaryFilesIn(store.openFolder(relative), anyTarget);
                } catch (const Error&) {
                    // A snapshot without a files folder, or one that is a link: nothing of ours.
                }
            }
        }
    } catch (const Error&) {
        // No store yet.
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

std::optional<SnapshotSummary> BackupManager::newestHoldingChanges() const {
    Listing listing = listSnapshots();
    const auto found =
        std::find_if(listing.snapshots.begin(), listing.snapshots.end(),
                     [](const SnapshotSummary& summary) { return summary.holdsChanges; });
    for (const SnapshotProblem& problem : listing.problems) {
        // A folder without a manifest is an Apply stopped while snapshotting: it wrote nothing.
        if (problem.incomplete) continue;
        if (found != listing.snapshots.end() &&
            IdentifierKey(problem.name) < IdentifierKey(found->id)) {
            continue;
        }
        throw Error(kBackupManagerDomain, kBackupManifestUnreadable,
                    "Snapshot " + platform::printable(problem.name) +
                        " may be the newest, and it cannot be used: " + problem.problem +
                        "; name the snapshot to restore");
    }
    if (found == listing.snapshots.end()) return std::nullopt;
    return std::move(*found);
}

std::vector<SnapshotProblem> BackupManager::snapshotProblems() const {
    return listSnapshots().problems;
}

std::optional<std::string> BackupManager::heldFiles(
    const std::string& id, const std::function<void(std::string)>& hold) const {
    return manifestProblem(id, [&] {
        const platform::FileHandle file =
            platform::openForReading(manifestPath(id), kManifestReadLimit);
        const ManifestHeader header = decodeManifestHeader(
            file.get(),
            [&](const FileExtensionBackupItem& item) { hold("flag " + item.filePath); });
        forEachHeldItem(header, hold);
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

}  // namespace lumifold
