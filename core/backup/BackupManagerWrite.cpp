// BackupManager's snapshot writing: a new snapshot's copies and manifest, then what Apply did,
// or that it failed, recorded in that manifest.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "core/backup/BackupManager.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Error.h"
#include "core/common/Iso8601.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"
#include "core/platform/Uuid.h"

namespace lumifold {
namespace {

using namespace snapshot_files;

constexpr std::size_t kCopyNameDigestLength = 12;
constexpr std::uint16_t kFallbackPermissions = 0644;
// "<id>-2" ... "<id>-9999": far beyond any real burst of snapshots within one second.
constexpr int kMaximumIdentifierSuffix = 9999;
// What completing a manifest adds: a post-change checksum and a flag per item (about a hundred
// bytes with the indentation), and room for the summary beside it.
constexpr std::uint64_t kCompletionBytesPerItem = 192;
constexpr std::uint64_t kCompletionSlack = 64 * 1024;

// A new snapshot's "files" folder: its copies, each named "<first 12 digits of the
// checksum>_<name>". A name written already is the same bytes, written once (a share's new
// stores are all one empty copy; two values pushed to one domain, one copy of it).
struct CopiesFolder {
    platform::NewFiles files;
    std::set<std::string> names;
};

// Writes a copy of `bytes`, from `path`; gives the copy's path relative to the snapshot, and
// the checksum.
std::pair<std::string, std::string> copyFile(CopiesFolder& copies, const std::string& path,
                                             ByteView bytes) {
    const std::string checksum = platform::sha256Hex(bytes);
    const std::string name =
        checksum.substr(0, kCopyNameDigestLength) + "_" + lastPathComponent(path);
    if (copies.names.insert(name).second) copies.files.write(name, bytes, kPrivateFileMode);
    return {std::string(kFilesFolderName) + "/" + name, checksum};
}

std::vector<DSStoreBackupItem> copyStores(CopiesFolder& copies,
                                          const std::vector<SnapshotSource>& stores) {
    std::vector<DSStoreBackupItem> items;
    for (const SnapshotSource& store : stores) {
        auto [copied, checksum] = copyFile(copies, store.path, store.bytes);
        const auto bits = platform::permissionBits(store.path);
        items.push_back(DSStoreBackupItem{
            .originalPath = store.path,
            .backupRelativePath = std::move(copied),
            .originalSHA256 = std::move(checksum),
            .postModificationSHA256 = std::nullopt,
            .posixPermissions =
                bits ? static_cast<std::uint16_t>(*bits & 07777) : kFallbackPermissions,
            .notWritten = false,
            .plannedSHA256 = store.plannedSHA256,
            .createdByApply = !store.existed,
        });
    }
    return items;
}

std::vector<PushedPreference> copyPushedDomains(CopiesFolder& copies,
                                                const std::vector<PlannedPush>& pushes) {
    std::vector<PushedPreference> records;
    for (const PlannedPush& push : pushes) {
        PushedPreference record = push.record;
        if (push.domainBytes) {
            std::tie(record.backupRelativePath, record.originalSHA256) =
                copyFile(copies, push.domainPath, *push.domainBytes);
        }
        records.push_back(std::move(record));
    }
    return records;
}

// The long lists' text in a snapshot's manifest as first written, read back piece by piece for
// the manifest's next writing. Only while the file is still that writing: its size as written,
// each list's text from "[" to "]".
class ListsText final {
  public:
    static std::optional<ListsText> of(const std::string& path, const WrittenSnapshot& written) {
        const ManifestListSpans& at = written.listSpans;
        try {
            platform::FileHandle file = platform::openForReading(path, kManifestReadLimit);
            ListsText text(std::move(file), path, at);
            if (text.size() != written.manifestSize || at.changesEnd == 0 || at.flagsEnd == 0 ||
                !text.bracketed(at.changesBegin, at.changesEnd) ||
                !text.bracketed(at.flagsBegin, at.flagsEnd)) {
                return std::nullopt;
            }
            return text;
        } catch (const Error&) {
            return std::nullopt;
        }
    }

    ManifestLists::Text changes() const { return copier(m_spans.changesBegin, m_spans.changesEnd); }
    ManifestLists::Text flags() const { return copier(m_spans.flagsBegin, m_spans.flagsEnd); }

  private:
    ListsText(platform::FileHandle file, std::string path, ManifestListSpans spans)
        : m_file(std::make_shared<platform::FileHandle>(std::move(file))),
          m_path(std::move(path)),
          m_spans(spans) {}

    bool bracketed(std::uint64_t begin, std::uint64_t end) const {
        return end > begin + 1 && byteAt(begin) == '[' && byteAt(end - 1) == ']';
    }
    // The size of the file open, not of whatever its path names by now.
    std::uint64_t size() const {
        std::FILE* file = m_file->get();
        if (::fseeko(file, 0, SEEK_END) != 0) return 0;
        const off_t end = ::ftello(file);
        return end < 0 ? 0 : static_cast<std::uint64_t>(end);
    }
    int byteAt(std::uint64_t at) const {
        std::FILE* file = m_file->get();
        return ::fseeko(file, static_cast<off_t>(at), SEEK_SET) == 0 ? std::fgetc(file) : EOF;
    }
    ManifestLists::Text copier(std::uint64_t begin, std::uint64_t end) const {
        return [file = m_file, path = m_path, begin, end](const JsonWriter::Sink& sink) {
            std::FILE* in = file->get();
            if (::fseeko(in, static_cast<off_t>(begin), SEEK_SET) != 0) {
                throw platform::posixError(errno, "read", path);
            }
            std::vector<char> piece(std::size_t{1} << 20);
            for (std::uint64_t left = end - begin; left > 0;) {
                const std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
                const std::size_t got = std::fread(piece.data(), 1, want, in);
                if (got != want)
                    throw platform::posixError(std::ferror(in) ? EIO : ENODATA, "read", path);
                sink(std::string_view(piece.data(), got));
                left -= got;
            }
        };
    }

    std::shared_ptr<platform::FileHandle> m_file;
    std::string m_path;
    ManifestListSpans m_spans;
};

// Whether the push `recorded` reached the preferences service, as `outcome` says.
bool reached(const ApplyOutcome& outcome, const PushedPreference& recorded) {
    return std::any_of(outcome.pushed->begin(), outcome.pushed->end(), [&](const auto& pushed) {
        return pushed.domain == recorded.domain && pushed.key == recorded.key;
    });
}

// Hands back the space set aside for completing a snapshot, just before the write it was kept
// for.
void releaseReservation(const WrittenSnapshot& created) {
    if (created.reservation.empty()) return;
    try {
        platform::removeFile(created.reservation);
    } catch (const Error&) {
        // Gone already: the write that follows finds out whether there is room.
    }
}

}  // namespace

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
    manifest.finderPlistOriginalPath = request.finderPlistPath;
    manifest.finderPlistBackupPath = appending(directory, kPreferencesCopyName);
    if (request.finderPlistBytes) {
        manifest.finderPlistOriginalSHA256 = platform::sha256Hex(*request.finderPlistBytes);
        platform::writeFileAtomically(manifest.finderPlistBackupPath, *request.finderPlistBytes,
                                      kPrivateFileMode);
    }
    CopiesFolder copies{.files = platform::NewFiles(filesDirectory), .names = {}};
    manifest.dsStoreBackups = copyStores(copies, request.dsStores);
    manifest.createdAt = std::chrono::floor<std::chrono::seconds>(m_host.now());
    if (request.pushedPreferences) {
        manifest.pushedPreferences = copyPushedDomains(copies, *request.pushedPreferences);
    }
    copies.files.flush();  // the copies on disk before the manifest that names them
    manifest.finderPlistPlannedSHA256 = request.finderPlistPlannedSHA256;
    manifest.finderPlistWasLink = request.finderPlistWasLink;
    manifest.writtenFolders = request.writtenFolders;
    manifest.layout = request.layout;

    WrittenSnapshot written{.header = std::move(manifest), .summary = {}, .reservation = {}};
    saveManifest(written.header, request.lists, &written.summary, nullptr, &written);
    if (request.reserveCompletion) written.reservation = reserveCompletion(written.header);
    return written;
}

std::string BackupManager::reserveCompletion(const ManifestHeader& header) const {
    // The manifest is written again once the files are: the space that takes is set aside now,
    // so a full disk stops Apply here, before it changes anything, rather than after.
    const std::uint64_t items =
        header.dsStoreBackups.size() +
        header.pushedPreferences.value_or(std::vector<PushedPreference>{}).size();
    std::string reservation =
        appending(snapshotDirectory(header.id),
                  "." + std::string(kManifestFileName) + ".tmp." + platform::makeUuidString());
    platform::reserveFile(reservation, platform::fileSize(manifestPath(header.id)).value_or(0) +
                                           kCompletionBytesPerItem * (items + 1) +
                                           kCompletionSlack);
    return reservation;
}

void BackupManager::saveManifest(const ManifestHeader& header, const ManifestLists& lists,
                                 SnapshotSummary* summary, const WrittenSnapshot* copiedFrom,
                                 WrittenSnapshot* written) const {
    const std::string path = manifestPath(header.id);
    std::size_t changes = 0, flags = 0;
    ManifestLists counted{
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
    // The long lists of a manifest written again are the same text: copied, not made again.
    std::optional<ListsText> earlier;
    if (copiedFrom != nullptr) earlier = ListsText::of(path, *copiedFrom);
    if (earlier) {
        counted.appliedChangesText = earlier->changes();
        counted.fileExtensionBackupsText = earlier->flags();
        changes = copiedFrom->summary.changeCount;
        flags = copiedFrom->summary.extensionCount;
    }
    ManifestListSpans spans;
    platform::ReplaceOptions options;
    options.exactPermissionBits = kPrivateFileMode;
    try {
        platform::replaceFileWith(
            path,
            [&](const platform::ByteWriter& write) {
                writeManifestFile(
                    header, counted, [&](std::string_view chunk) { write(asBytes(chunk)); },
                    &spans);
            },
            options);
    } catch (const std::invalid_argument& error) {
        throw Error(BackupManager::kDomain, BackupManager::kManifestUnencodable,
                    std::string("Could not encode the snapshot manifest: ") + error.what());
    }
    const SnapshotSummary described = SnapshotSummary::of(header, changes, flags);
    saveSummary(described);
    if (summary != nullptr) *summary = described;
    if (written != nullptr) {
        written->listSpans = spans;
        written->manifestSize = platform::fileSize(path).value_or(0);
    }
}

void BackupManager::saveSummary(const SnapshotSummary& summary) const {
    // A summary beside the manifest lets listing skip reading it; the manifest's size and
    // time say whether the summary still describes it.
    const std::string path = manifestPath(summary.id);
    nlohmann::json cache = summary;
    cache["manifestSize"] = platform::fileSize(path).value_or(0);
    cache["manifestModified"] = platform::modificationTimeNanoseconds(path).value_or(0);
    platform::writeFileAtomically(appending(snapshotDirectory(summary.id), kSummaryFileName),
                                  asBytes(cache.dump()), kPrivateFileMode);
}

WrittenSnapshot BackupManager::completeSnapshot(const SnapshotRequest& request,
                                                const WrittenSnapshot& created,
                                                const ApplyOutcome& outcome) {
    WrittenSnapshot completed{.header = created.header, .summary = {}, .reservation = {}};
    recordOutcome(completed.header, request.finderPlistPath, outcome);
    releaseReservation(created);
    saveManifest(completed.header, request.lists, &completed.summary, &created);
    return completed;
}

WrittenSnapshot BackupManager::recordFailedApply(const WrittenSnapshot& created,
                                                 const ManifestLists& lists,
                                                 const ApplyOutcome& stillWritten,
                                                 FailedApply failure) {
    WrittenSnapshot recorded{.header = created.header, .summary = {}, .reservation = {}};
    markNotWritten(recorded.header, stillWritten);
    recorded.header.applyFailed = std::move(failure);
    releaseReservation(created);
    saveManifest(recorded.header, lists, &recorded.summary);
    return recorded;
}

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

void BackupManager::recordOutcome(ManifestHeader& manifest, const std::string& finderPlistPath,
                                  const ApplyOutcome& outcome) const {
    markNotWritten(manifest, outcome);
    if (auto checksum = checksumOfFileIfReadable(finderPlistPath)) {
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

}  // namespace lumifold
