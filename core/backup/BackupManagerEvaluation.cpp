// BackupManager's drift evaluation: each file and value a restore would put back, against the
// checksums its snapshot records. It decides what counts as drift, and so whether a restore
// without force is refused.
#include "core/backup/BackupManager.h"
#include "core/backup/SnapshotFiles.h"
#include "core/common/Paths.h"
#include "core/platform/FileSystem.h"
#include "core/platform/PreferencesService.h"
#include "core/platform/Sha256.h"
#include "core/plist/PropertyList.h"

namespace lumifold {
namespace {

using namespace snapshot_files;
using platform::PreferencesService;

// The state of a live file against what its snapshot says. A file holding what Apply planned
// for it, or what it recorded afterwards, is Apply's own write, even when Apply never got to
// record it; a file holding the snapshot's copy needs nothing.
RestoreEvaluationItem evaluatedItem(std::string path, std::string backupPath, std::string current,
                                    const std::string& original,
                                    const std::optional<std::string>& post,
                                    const std::optional<std::string>& planned,
                                    const char* driftStatus) {
    const std::string expected = post.value_or(planned.value_or(original));
    const char* status = driftStatus;
    if (current == expected || current == post || current == planned) {
        status = kStatusSafeToRestore;
    } else if (current == original) {
        status = kStatusAlreadyRestored;
    }
    return RestoreEvaluationItem{
        .originalPath = std::move(path),
        .backupPath = std::move(backupPath),
        .isModifiedSinceBackup = status == driftStatus,
        .currentSHA256 = std::move(current),
        .expectedSHA256 = expected,
        .statusDescription = status,
    };
}

// Values compare in one form, whichever form the manifest holds them in.
std::string checksumOfValue(const std::optional<platform::PlistValue>& value) {
    return value ? platform::sha256Hex(comparableForm(*value)) : std::string(kMissingChecksum);
}

}  // namespace

RestoreEvaluationSummary BackupManager::evaluateRestore(const BackupManifest& manifest) const {
    checkManifestPaths(manifest);
    RestoreEvaluationSummary summary;
    if (auto current = manifest.finderPlistNotWritten
                           ? std::nullopt
                           : checksumOfFileIfReadable(manifest.finderPlistOriginalPath)) {
        summary.items.push_back(evaluatedItem(
            manifest.finderPlistOriginalPath, manifest.finderPlistBackupPath, std::move(*current),
            manifest.finderPlistOriginalSHA256, manifest.finderPlistPostSHA256,
            manifest.finderPlistPlannedSHA256, kStatusContentChanged));
    }
    evaluateStores(manifest, summary);
    evaluatePushedValues(manifest, summary);
    return summary;
}

void BackupManager::evaluateStores(const BackupManifest& manifest,
                                   RestoreEvaluationSummary& summary) const {
    const std::string directory = snapshotDirectory(manifest.id);
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (item.notWritten) continue;  // Apply never changed it; Restore leaves it too
        std::string backupPath = appending(directory, item.backupRelativePath);
        if (!platform::entryType(item.originalPath)) {
            summary.items.push_back(RestoreEvaluationItem{
                .originalPath = item.originalPath,
                .backupPath = std::move(backupPath),
                .isModifiedSinceBackup = false,
                .currentSHA256 = kMissingChecksum,
                .expectedSHA256 = item.originalSHA256,
                .statusDescription =
                    item.createdByApply ? kStatusAlreadyRestored : kStatusWillBeRecreated,
            });
            continue;
        }
        // A file that exists but cannot be read can neither block nor be reported.
        auto current = checksumOfFileIfReadable(item.originalPath);
        if (!current) continue;
        summary.items.push_back(evaluatedItem(
            item.originalPath, std::move(backupPath), std::move(*current), item.originalSHA256,
            item.postModificationSHA256, item.plannedSHA256, kStatusDriftDetected));
    }
}

void BackupManager::evaluatePushedValues(const BackupManifest& manifest,
                                         RestoreEvaluationSummary& summary) const {
    // A pushed value that is neither what Apply pushed nor what was there before was changed
    // by someone after Apply.
    const PreferencesService preferences(m_host.homeDirectory);
    for (const PushedPreference& pushed :
         manifest.pushedPreferences.value_or(std::vector<PushedPreference>{})) {
        if (!pushed.pushedValue) continue;
        std::string current;
        try {
            current = checksumOfValue(preferences.copyValue(pushed.key, pushed.domain,
                                                            PreferencesService::Host::current));
        } catch (const Error&) {
            continue;  // as for a file that cannot be read
        }
        std::string original, wanted;
        try {
            original = checksumOfValue(originalValueOf(pushed));
            wanted = checksumOfValue(platform::parsePropertyList(asBytes(*pushed.pushedValue)));
        } catch (const Error& error) {
            throw Error(BackupManager::kDomain, BackupManager::kManifestUnreadable,
                        "The manifest of " + manifest.id + " records a value of " + pushed.key +
                            " that cannot be read: " + error.message());
        }
        summary.items.push_back(
            evaluatedItem(preferences.domainPath(pushed.domain, PreferencesService::Host::current)
                              .value_or(pushed.domain),
                          // The value before Apply is kept in the manifest itself.
                          manifestPath(manifest.id), std::move(current), original, wanted,
                          std::nullopt, kStatusContentChanged));
    }
}

}  // namespace lumifold
