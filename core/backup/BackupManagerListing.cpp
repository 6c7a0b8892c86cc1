// BackupManager's listing: the snapshots of the store in order, the folders that are no usable
// snapshot, and the snapshot a restore takes when none is named.
#include <algorithm>
#include <utility>

#include "core/backup/BackupManager.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Error.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PosixError.h"

namespace lumifold {
namespace {

using namespace snapshot_files;

constexpr std::uint64_t kSummaryReadLimit = 64 * 1024;

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

void sortNewestFirst(std::vector<std::pair<IdentifierKey, SnapshotSummary>>& found) {
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        if (a.second.createdAt != b.second.createdAt) {
            return a.second.createdAt > b.second.createdAt;
        }
        return b.first < a.first;
    });
}

}  // namespace

std::vector<std::string> BackupManager::snapshotNames() const {
    try {
        return platform::listDirectory(m_baseBackupDirectory, true);
    } catch (const Error&) {
        return {};  // no store yet
    }
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
    if (auto why = manifestProblem(id, path, [&] { return readManifest(path, false); })) {
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
        throw Error(BackupManager::kDomain, BackupManager::kManifestUnreadable,
                    "Snapshot " + platform::printable(problem.name) +
                        " may be the newest, and it cannot be used: " + problem.problem +
                        "; name the snapshot to restore");
    }
    if (found == listing.snapshots.end()) return std::nullopt;
    return std::move(*found);
}

}  // namespace lumifold
