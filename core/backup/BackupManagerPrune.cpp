// BackupManager's pruning: which snapshots go, read from their manifests as streams.
#include <iterator>
#include <unordered_set>
#include <utility>

#include "core/backup/BackupManager.h"
#include "core/backup/SnapshotFiles.h"
#include "core/platform/FileSystem.h"

namespace lumifold {

using namespace snapshot_files;

std::optional<std::string> BackupManager::heldFiles(
    const std::string& id, const std::function<void(std::string)>& hold) const {
    const std::string path = manifestPath(id);
    return manifestProblem(id, path, [&] {
        const platform::FileHandle file = platform::openForReading(path, kManifestReadLimit);
        const ManifestHeader header = decodeManifestHeader(
            file.get(),
            [&](const FileExtensionBackupItem& item) { hold("flag " + item.filePath); });
        forEachHeldItem(header, hold);
        return header;
    });
}

PruneResult BackupManager::removeUnusable(const Listing& listing) const {
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
    return result;
}

std::vector<bool> BackupManager::neededSnapshots(const std::vector<SnapshotSummary>& snapshots,
                                                 std::size_t keep, PruneResult& result) const {
    // Oldest first, so the first snapshot to hold a file is the oldest that holds it. A
    // snapshot whose manifest cannot be read stays, and counts neither as holding anything nor
    // among the newest: every readable snapshot that is the oldest readable holder of a file
    // stays, and the newest `keep` readable ones stay. That is all the rule would keep if the
    // manifest could be read, and more: the unreadable one either was the oldest holder of a
    // file (it stays anyway) or was not; and it can take no place among the newest.
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
    for (std::size_t i = 0, newest = 0; i < snapshots.size() && newest < keep; ++i) {
        if (readable[i]) {
            needed[i] = true;
            ++newest;
        }
    }
    return needed;
}

PruneResult BackupManager::prune(std::optional<std::size_t> keep) {
    const Listing listing = listSnapshots();
    PruneResult result = removeUnusable(listing);
    if (!keep || listing.snapshots.size() <= *keep) return result;  // no manifest to read

    const std::vector<SnapshotSummary>& snapshots = listing.snapshots;  // newest first
    const std::vector<bool> needed = neededSnapshots(snapshots, *keep, result);
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        if (needed[i]) continue;
        platform::removeTree(snapshotDirectory(snapshots[i].id));
        result.removed.push_back(snapshots[i].id);
    }
    return result;
}

}  // namespace lumifold
