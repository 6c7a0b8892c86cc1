#include "core/backup/BackupManager.h"

#include <algorithm>
#include <cerrno>
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

}  // namespace

BackupManagerHost BackupManagerHost::system() {
    return BackupManagerHost{.now = platform::currentTime,
                             .homeDirectory = platform::homeDirectory()};
}

BackupManager::BackupManager(std::optional<std::string> baseBackupDirectory, BackupManagerHost host)
    : m_baseBackupDirectory(baseBackupDirectory
                                ? std::move(*baseBackupDirectory)
                                : appending(host.homeDirectory, ".lumifold/backups")),
      m_host(std::move(host)) {}

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
            throw platform::posixError(EEXIST, "create folder", snapshotDirectory(id));
        }
        id = baseId + "-" + std::to_string(suffix);
    }
    const std::string directory = snapshotDirectory(id);
    const std::string filesDirectory = appending(directory, kFilesFolderName);
    platform::createDirectories(filesDirectory, kPrivateFolderMode);

    BackupManifest manifest;
    manifest.id = id;
    manifest.finderPlistOriginalPath = finderPlistURL;
    manifest.finderPlistBackupPath = appending(directory, kPreferencesCopyName);
    if (platform::fileExists(finderPlistURL)) {
        const Bytes bytes = platform::readFile(finderPlistURL);
        manifest.finderPlistOriginalSHA256 = platform::sha256Hex(bytes);
        platform::writeFileAtomically(manifest.finderPlistBackupPath, bytes, kPrivateFileMode);
    }

    for (const std::string& location : dsStoreURLs) {
        if (!platform::fileExists(location)) continue;
        const Bytes bytes = platform::readFile(location);
        const std::string checksum = platform::sha256Hex(bytes);
        const std::string name =
            checksum.substr(0, kCopyNameDigestLength) + "_" + lastPathComponent(location);
        platform::writeFileAtomically(appending(filesDirectory, name), bytes, kPrivateFileMode);
        const auto bits = platform::permissionBits(location);
        manifest.dsStoreBackups.push_back(DSStoreBackupItem{
            .originalPath = location,
            .backupRelativePath = std::string(kFilesFolderName) + "/" + name,
            .originalSHA256 = checksum,
            .postModificationSHA256 = std::nullopt,
            .posixPermissions =
                bits ? static_cast<std::uint16_t>(*bits & 07777) : kFallbackPermissions,
        });
    }

    manifest.createdAt = std::chrono::floor<std::chrono::seconds>(m_host.now());
    manifest.appliedChanges = appliedChanges;
    manifest.fileExtensionBackups = fileExtensionBackups;
    saveManifest(id, manifest);
    return manifest;
}

void BackupManager::saveManifest(const std::string& directoryName,
                                 const BackupManifest& manifest) const {
    std::string text;
    try {
        text = encodeManifestFile(manifest);
    } catch (const nlohmann::json::exception& error) {
        throw Error(kBackupManagerDomain, kBackupManifestUnencodable,
                    std::string("Could not encode the snapshot manifest: ") + error.what());
    }
    platform::writeFileAtomically(manifestPath(directoryName), asBytes(text), kPrivateFileMode);
}

BackupManifest BackupManager::recordPostModificationHashes(
    const std::string& snapshotID, const std::string& finderPlistURL,
    const std::vector<std::string>& /*dsStoreURLs*/) {
    std::optional<BackupManifest> manifest = loadManifest(snapshotID);
    if (!manifest) {
        throw Error(kBackupManagerDomain, kBackupManifestNotFound, kBackupManifestNotFoundMessage);
    }
    if (auto checksum = checksumOfFileIfReadable(finderPlistURL)) {
        manifest->finderPlistPostSHA256 = std::move(checksum);
    }
    for (DSStoreBackupItem& item : manifest->dsStoreBackups) {
        if (auto checksum = checksumOfFileIfReadable(item.originalPath)) {
            item.postModificationSHA256 = std::move(checksum);
        }
    }
    saveManifest(snapshotID, *manifest);
    return *manifest;
}

std::optional<BackupManifest> BackupManager::loadManifest(const std::string& id) const {
    if (!isSingleComponent(id)) return std::nullopt;
    const std::string path = manifestPath(id);
    // Only a regular file: a FIFO named manifest.json must not block the listing.
    if (!platform::isRegularFile(path)) return std::nullopt;
    try {
        const Bytes bytes = platform::readFile(path);
        return decodeManifestFile(asText(bytes));
    } catch (const Error&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::vector<BackupManifest> BackupManager::listManifests() const {
    std::vector<std::string> names;
    try {
        names = platform::listDirectory(m_baseBackupDirectory);
    } catch (const Error&) {
        return {};
    }
    std::vector<std::pair<IdentifierKey, BackupManifest>> found;
    for (const std::string& name : names) {
        if (auto manifest = loadManifest(name)) {
            found.emplace_back(IdentifierKey(manifest->id), std::move(*manifest));
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        if (a.second.createdAt != b.second.createdAt) {
            return a.second.createdAt > b.second.createdAt;
        }
        return b.first < a.first;
    });
    std::vector<BackupManifest> manifests;
    manifests.reserve(found.size());
    for (auto& entry : found) manifests.push_back(std::move(entry.second));
    return manifests;
}

void BackupManager::checkManifestPaths(const BackupManifest& manifest) const {
    if (!isSingleComponent(manifest.id)) throwUnsafePath(manifest.id, "is not a snapshot name");
    if (!isAbsolute(manifest.finderPlistOriginalPath)) {
        throwUnsafePath(manifest.finderPlistOriginalPath, "is not an absolute path");
    }
    const std::string directory = snapshotDirectory(manifest.id) + "/";
    const std::string& plistCopy = manifest.finderPlistBackupPath;
    if (plistCopy.size() <= directory.size() ||
        plistCopy.compare(0, directory.size(), directory) != 0 || hasParentComponent(plistCopy) ||
        plistCopy.find('\0') != std::string::npos) {
        throwUnsafePath(plistCopy, "is outside the snapshot folder");
    }
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        if (!isAbsolute(item.originalPath)) {
            throwUnsafePath(item.originalPath, "is not an absolute path");
        }
        const std::string& relative = item.backupRelativePath;
        if (relative.empty() || relative.front() == '/' || hasParentComponent(relative) ||
            relative.find('\0') != std::string::npos) {
            throwUnsafePath(relative, "is outside the snapshot folder");
        }
    }
    for (const FileExtensionBackupItem& item : manifest.fileExtensionBackups) {
        if (!isAbsolute(item.filePath)) throwUnsafePath(item.filePath, "is not an absolute path");
    }
}

RestoreEvaluationSummary BackupManager::evaluateRestore(const BackupManifest& manifest) const {
    checkManifestPaths(manifest);
    RestoreEvaluationSummary summary;

    if (auto current = checksumOfFileIfReadable(manifest.finderPlistOriginalPath)) {
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
        const std::string backupPath = appending(directory, item.backupRelativePath);
        if (!platform::fileExists(item.originalPath)) {
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
    return summary;
}

void BackupManager::restoreSnapshot(const BackupManifest& manifest, bool force) {
    // Evaluation checks the manifest's paths first, so an unsafe manifest writes nothing.
    const RestoreEvaluationSummary evaluation = evaluateRestore(manifest);
    if (!force && evaluation.hasModifications()) {
        throw Error(kBackupManagerDomain, kBackupDriftWithoutForce,
                    kBackupDriftWithoutForceMessage);
    }

    if (platform::fileExists(manifest.finderPlistBackupPath)) {
        const Bytes bytes = platform::readFile(manifest.finderPlistBackupPath);
        platform::writeFileAtomically(manifest.finderPlistOriginalPath, bytes);
        pushShowAllExtensions(bytes);
    }

    const std::string directory = snapshotDirectory(manifest.id);
    for (const DSStoreBackupItem& item : manifest.dsStoreBackups) {
        const std::string copy = appending(directory, item.backupRelativePath);
        if (!platform::fileExists(copy)) continue;
        platform::writeFileAtomically(item.originalPath, platform::readFile(copy));
        try {
            platform::setPermissionBits(item.originalPath, item.posixPermissions & 07777u);
        } catch (const Error&) {
            // The content is back; bits we cannot set are not worth failing the restore for.
        }
    }

    for (const FileExtensionBackupItem& item : manifest.fileExtensionBackups) {
        if (!platform::fileExists(item.filePath)) continue;
        try {
            platform::setHasHiddenExtension(item.filePath, item.originalHasHiddenExtension);
        } catch (const Error&) {
            // A file system without extended attributes, or a symbolic link: nothing to keep.
        }
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
