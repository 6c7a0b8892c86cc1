#include "core/inspection/FolderScanner.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <unordered_set>
#include <utility>

#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/common/Paths.h"
#include "core/common/Text.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/inspection/DeviceInode.h"
#include "core/inspection/FolderTree.h"
#include "core/inspection/FolderViewRecords.h"
#include "core/platform/FileMetadata.h"
#include "core/platform/PosixError.h"
#include "core/platform/UserFolders.h"

namespace lumifold {
namespace {

// clang-format off
constexpr std::string_view kDefaultFolderNames[] = {
    "Desktop", "Documents", "Downloads", "Pictures", "Movies", "Music"};
constexpr std::string_view kTemporaryPrefixes[] = {
    "/var/folders", "/private/var/folders", "/tmp", "/private/tmp"};
constexpr std::string_view kSystemPrefixes[] = {
    "/System", "/Library", "/usr", "/bin", "/sbin", "/private/etc", "/private/var", "/var",
    // The same kind of places on Linux, so a folder linked into the system stays untouched.
    "/etc", "/dev", "/proc", "/sys", "/run", "/boot", "/lib", "/lib32", "/lib64", "/snap"};
constexpr std::string_view kBundleSuffixes[] = {
    ".app", ".framework", ".bundle", ".photoslibrary", ".download"};
constexpr std::string_view kExcludedComponents[] = {
    "node_modules", ".git", ".svn", ".hg", "Pods", "Carthage", ".build", "target", "vendor",
    ".venv", "venv", ".MobileBackups", "TimeMachine", ".Spotlight-V100", ".fseventsd"};
// clang-format on

bool isAtOrUnder(std::string_view path, std::string_view prefix) {
    return path == prefix ||
           (path.size() > prefix.size() && path.starts_with(prefix) && path[prefix.size()] == '/');
}

bool isTemporaryPath(std::string_view path, std::string_view temporaryDirectory) {
    // An empty or root temporary directory would make every path temporary, so it does not
    // count.
    if (temporaryDirectory.size() > 1 && isAtOrUnder(path, temporaryDirectory)) return true;
    return std::any_of(std::begin(kTemporaryPrefixes), std::end(kTemporaryPrefixes),
                       [&](std::string_view prefix) { return isAtOrUnder(path, prefix); });
}

// The path with trailing slashes removed (but "/" kept), so queries about the item do not
// follow a link named by "link/".
std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The name's extension as a file URL gives it: the text after the last dot, empty when there
// is no dot, the name starts with its only dot, or the dot ends the name.
std::string_view pathExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
    return name.substr(dot + 1);
}

void noteUndecodable(ScanNotes* notes, const std::string& directory) {
    if (notes == nullptr) return;
    UndecodableNames& undecodable = notes->undecodable;
    ++undecodable.count;
    std::string shown = FolderScanner::displayablePath(directory);
    if (std::find(undecodable.folders.begin(), undecodable.folders.end(), shown) ==
        undecodable.folders.end()) {
        undecodable.folders.push_back(std::move(shown));
    }
}

// A reason for each override the folder has that differs from `target`.
void addOverrideReasons(const FolderViewSetting& setting, const FinderLayoutPreferences& target,
                        std::vector<std::string>& reasons) {
    const auto boolean = [](bool value) { return std::string(value ? "true" : "false"); };
    if (setting.currentViewStyle && *setting.currentViewStyle != target.viewStyle) {
        reasons.push_back("Folder view style override is '" + *setting.currentViewStyle +
                          "' (expected '" + target.viewStyle + "')");
    }
    if (setting.currentSortBy && *setting.currentSortBy != target.sortBy) {
        reasons.push_back("Folder sort by override is '" + *setting.currentSortBy +
                          "' (expected '" + target.sortBy + "')");
    }
    if (setting.currentIconSize && sizesDiffer(*setting.currentIconSize, target.iconSize)) {
        reasons.push_back("Folder icon size override is " + formatReal(*setting.currentIconSize) +
                          " (expected " + formatReal(target.iconSize) + ")");
    }
    if (setting.currentTextSize && sizesDiffer(*setting.currentTextSize, target.textSize)) {
        reasons.push_back("Folder text size override is " + formatReal(*setting.currentTextSize) +
                          " (expected " + formatReal(target.textSize) + ")");
    }
    if (setting.currentShowItemInfo && *setting.currentShowItemInfo != target.showItemInfo) {
        reasons.push_back("Folder item info override is " + boolean(*setting.currentShowItemInfo) +
                          " (expected " + boolean(target.showItemInfo) + ")");
    }
    if (setting.currentShowIconPreview &&
        *setting.currentShowIconPreview != target.showIconPreview) {
        reasons.push_back("Folder icon preview override is " +
                          boolean(*setting.currentShowIconPreview) + " (expected " +
                          boolean(target.showIconPreview) + ")");
    }
}

// Folders met already, by resolved path and by the folder they are (two mounts of one).
class SeenFolders final {
  public:
    bool isNew(const std::string& canonical) {
        if (!m_paths.insert(canonical).second) return false;
        const auto identity = platform::fileIdentity(canonical);
        return !identity || m_objects.insert(DeviceInode::from(*identity)).second;
    }

  private:
    std::set<std::string> m_paths;
    std::unordered_set<DeviceInode> m_objects;
};

}  // namespace

struct FolderScanner::Overrides {
    std::optional<std::string> viewStyle;
    std::optional<std::string> sortBy;
    std::optional<double> iconSize;
    std::optional<double> textSize;
    std::optional<bool> showItemInfo;
    std::optional<bool> showIconPreview;
};

FolderScanner::FolderScanner(std::string homeDirectory, std::string temporaryDirectory)
    : m_homeDirectory(std::move(homeDirectory)),
      m_temporaryDirectory(withoutTrailingSlash(std::move(temporaryDirectory))) {}

std::vector<std::string> FolderScanner::defaultFolders() const {
    if (auto desktopFolders = platform::desktopUserFolders(m_homeDirectory)) {
        return std::move(*desktopFolders);
    }
    std::vector<std::string> folders;
    for (const std::string_view name : kDefaultFolderNames) {
        folders.push_back(appending(m_homeDirectory, name));
    }
    return folders;
}

bool FolderScanner::isExcludedPath(std::string_view path) const {
    // macOS keeps its temporary folders under /var and /private/var, so a temporary location
    // is spared the system rules, and only those: a home, a bundle or a node_modules there is
    // left alone as anywhere else.
    if (!isTemporaryPath(path, m_temporaryDirectory)) {
        for (const std::string_view prefix : kSystemPrefixes) {
            if (isAtOrUnder(path, prefix)) return true;
        }
    }
    if (isAtOrUnder(path, m_homeDirectory + "/.Trash")) return true;
    if (isAtOrUnder(path, m_homeDirectory + "/Library")) return true;

    for (const std::string_view suffix : kBundleSuffixes) {
        if (path.ends_with(suffix)) return true;
        if (path.find(std::string(suffix) + "/") != std::string_view::npos) return true;
    }

    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, slash - start);
        if (!component.empty() &&
            std::find(std::begin(kExcludedComponents), std::end(kExcludedComponents), component) !=
                std::end(kExcludedComponents)) {
            return true;
        }
        start = slash + 1;
    }
    return false;
}

bool FolderScanner::isCloudPlaceholder(const std::string& path) const {
    if (path.find("com~apple~CloudDocs") != std::string::npos) return true;
    const auto metadata = platform::fileMetadata(withoutTrailingSlash(path));
    if (!metadata) return false;
    if (metadata->isUbiquitousItem) return true;
    const auto status = metadata->ubiquitousItemDownloadingStatus;
    return status.has_value() && *status != platform::UbiquitousDownloadingStatus::current;
}

const FolderScanner::StoreRead& FolderScanner::readStoreForInspection(const std::string& storePath,
                                                                      ScanNotes* notes,
                                                                      StoreReads& reads) const {
    auto [found, first] = reads.try_emplace(storePath);
    StoreRead& read = found->second;
    if (!first) return read;
    std::string problem;
    if (!platform::entryType(storePath, &problem)) {
        if (!problem.empty()) read.problem = std::move(problem);
    } else {
        try {
            // Inspection only looks, so the records that can be decoded are worth showing even
            // when others in the store cannot be.
            read.entries = m_reader.parseEntries(platform::readFile(storePath));
        } catch (const Error& error) {
            read.problem = storeProblem(storePath, error);
        }
    }
    if (read.problem && notes != nullptr) notes->warnings.push_back(*read.problem);
    return read;
}

std::string FolderScanner::storeProblem(const std::string& storePath, const Error& error) {
    // File errors already name the file; the reader's do not.
    if (error.domain() == platform::kPosixDomain) return error.message();
    return "Could not read \"" + platform::printable(storePath) + "\": " + error.message();
}

std::optional<std::string> FolderScanner::readOverrides(const std::string& storePath,
                                                        const std::string& filename,
                                                        bool onlyAbsent, Overrides& overrides,
                                                        ScanNotes* notes, StoreReads& reads) const {
    const StoreRead& read = readStoreForInspection(storePath, notes, reads);
    if (!read.entries) return read.problem;
    const auto set = [onlyAbsent](auto& field, const auto& value) {
        if (value && (!onlyAbsent || !field.has_value())) field = value;
    };
    for (const DSStoreEntry& entry : *read.entries) {
        if (entry.filename != filename) continue;
        set(overrides.viewStyle, viewStyleOf(entry));
        if (entry.code != kIconViewCode) continue;
        if (const auto settings = IconViewSettings::read(entry.value)) {
            set(overrides.iconSize, settings->iconSize);
            set(overrides.sortBy, settings->arrangeBy);
            set(overrides.textSize, settings->textSize);
            set(overrides.showItemInfo, settings->showItemInfo);
            set(overrides.showIconPreview, settings->showIconPreview);
        }
    }
    return std::nullopt;
}

FileNames FolderScanner::visibleExtensionFilesIn(
    const std::string& directory, ScanNotes* notes, const MetadataStores* stores,
    std::optional<platform::PackedEntries> listed) const {
    const FolderStore* chosen = stores != nullptr ? stores->of(directory) : nullptr;
    if (chosen != nullptr && !chosen->store) throw Error(kDomain, kNoUsableStore, chosen->reason);
    const platform::MetadataStore store =
        chosen != nullptr ? *chosen->store : platform::MetadataStore::xattr;
    platform::PackedEntries entries;
    try {
        entries = listed ? std::move(*listed) : platform::listPackedEntries(directory);
    } catch (const Error&) {
        // A folder that is not there has no files; one that is there but cannot be listed is
        // what the caller must hear about.
        std::string problem;
        if (!platform::entryType(directory, &problem) && problem.empty()) return {};
        throw;
    }
    using platform::EntryType;
    using platform::ExtensionFlag;
    FileNames files;
    // Files left out with a reason, by name, so the notes read in name order whatever order
    // the folder was listed in.
    std::vector<std::pair<std::string_view, std::string>> damaged, unsettable;
    // Cheapest tests first: this runs once per file of every folder in every stage. Folders
    // (packages included) are skipped on the listing's own type, so only files cost a read, and
    // the child's path reuses one buffer.
    if (notes != nullptr && entries.holdsOwnTemporaryFile()) notes->withLeftovers.insert(directory);
    const bool folderDecodes = isWellFormedUtf8(directory);
    const platform::FolderFlagReader flags(directory, store);
    std::string child = appending(directory, "");
    const std::size_t prefix = child.size();
    std::string ownName;
    for (const auto [name, type] : entries) {
        if (type == EntryType::directory || pathExtension(name).empty()) continue;
        child.resize(prefix);
        child += name;
        ownName = name;
        // Only a regular file keeps the flag; anything else would be planned forever.
        std::string damage;
        const auto flag = type == EntryType::regular
                              ? flags.extensionFlagOfRegularFile(ownName, child, &damage)
                              : std::optional(ExtensionFlag::unsettable);
        if (!flag || *flag == ExtensionFlag::hidden) continue;
        // A damaged attribute record stays among the unsettable, as it always was; a damaged
        // image of the other stores is a file server's, named so its admin can mend it.
        if (!damage.empty() && store != platform::MetadataStore::xattr) {
            if (notes != nullptr) {
                damaged.emplace_back(name, "The Finder record of \"" + platform::printable(child) +
                                               "\" is damaged: " + damage +
                                               "; its flag is left as it is");
            }
            continue;
        }
        if (!folderDecodes || !isWellFormedUtf8(name)) {
            noteUndecodable(notes, directory);
            continue;
        }
        if (*flag == ExtensionFlag::unsettable) {
            if (notes != nullptr) unsettable.emplace_back(name, child);
            continue;
        }
        files.add(name);
    }
    if (notes != nullptr) {
        for (auto* found : {&damaged, &unsettable}) std::sort(found->begin(), found->end());
        for (auto& [name, message] : damaged) notes->damaged.push_back(std::move(message));
        for (auto& [name, path] : unsettable) notes->unsettable.push_back(std::move(path));
    }
    return files;
}

std::vector<FolderViewSetting> FolderScanner::inspectFolders(
    const std::vector<std::string>& folders, const Layout& layout, ScanNotes* notes,
    bool foldersOnly, const MetadataStores* stores, FolderListings* listings) const {
    std::vector<FolderViewSetting> results;
    StoreReads reads;
    SeenFolders seen;
    platform::PathResolver resolver;
    for (const std::string& folder : folders) {
        FolderViewSetting setting;
        setting.path = folder;
        setting.canonicalPath = resolver.resolve(folder);
        if (!seen.isNew(setting.canonicalPath) || isExcludedPath(setting.canonicalPath)) continue;

        const std::string given = withoutTrailingSlash(folder);
        const FinderLayoutPreferences& target = layout.targetFor(given, setting.canonicalPath);
        setting.isSymlink = platform::isSymbolicLink(given);
        setting.isCloudPlaceholder = isCloudPlaceholder(folder);

        const std::string localStore = appending(given, dsstore_format::kFileName);
        const std::string parentStore =
            appending(deletingLastPathComponent(given), dsstore_format::kFileName);
        // Any item counts, a dangling link or a FIFO too: the reads below say what it is.
        setting.hasDSStore = platform::entryType(localStore).has_value() ||
                             platform::entryType(parentStore).has_value();

        // What could not be read leaves the folder's view unknown: it comes first.
        auto& reasons = setting.conflictReasons;
        const auto unreadable = [&](std::optional<std::string> problem) {
            if (problem) reasons.push_back(std::move(*problem));
        };
        Overrides overrides;
        unreadable(readOverrides(localStore, ".", false, overrides, notes, reads));
        unreadable(
            readOverrides(parentStore, lastPathComponent(given), true, overrides, notes, reads));
        FileNames files;
        ScanNotes ownNotes;
        ScanNotes* const filesNotes = notes != nullptr ? notes : &ownNotes;
        const std::size_t damagedBefore = filesNotes->damaged.size();
        try {
            files = visibleExtensionFilesIn(setting.canonicalPath, filesNotes, stores,
                                            takeListing(listings, setting.canonicalPath));
        } catch (const Error& error) {
            filesNotes->warnings.push_back(error.message());
            unreadable(error.message());
        }
        for (std::size_t i = damagedBefore; i < filesNotes->damaged.size(); ++i) {
            unreadable(filesNotes->damaged[i]);
        }
        if (const FolderStore* chosen =
                stores != nullptr ? stores->of(setting.canonicalPath) : nullptr;
            chosen != nullptr && chosen->store) {
            setting.metadataStore = platform::metadataStoreName(*chosen->store);
            setting.metadataStoreReason = chosen->reason;
        }
        setting.inaccessible = !reasons.empty();
        setting.currentViewStyle = overrides.viewStyle;
        setting.currentSortBy = overrides.sortBy;
        setting.currentIconSize = overrides.iconSize;
        setting.currentTextSize = overrides.textSize;
        setting.currentShowItemInfo = overrides.showItemInfo;
        setting.currentShowIconPreview = overrides.showIconPreview;

        addOverrideReasons(setting, target, reasons);
        if (const auto& own = readStoreForInspection(localStore, notes, reads);
            foldersOnly && !own.problem &&
            !(own.entries && ownLayoutRecords(*own.entries).complete())) {
            reasons.push_back("its own " + std::string(dsstore_format::kFileName) +
                              " does not say its view style and icon view options");
        }

        setting.unhiddenExtensionFilesCount = static_cast<std::int64_t>(files.size());
        if (layout.top().hideFileExtensions && setting.unhiddenExtensionFilesCount > 0) {
            reasons.push_back(std::to_string(setting.unhiddenExtensionFilesCount) +
                              " file(s) have visible extensions (expected hidden)");
        }
        setting.conflicting = !reasons.empty();
        results.push_back(std::move(setting));
    }
    return results;
}

std::size_t FolderScanner::visibleExtensionCount(const std::string& resolvedFolder,
                                                 ScanNotes* notes, const MetadataStores* stores,
                                                 FolderListings* listings) const {
    if (isExcludedPath(resolvedFolder)) return 0;
    return visibleExtensionFilesIn(resolvedFolder, notes, stores,
                                   takeListing(listings, resolvedFolder))
        .size();
}

FileList FolderScanner::visibleExtensionFiles(const std::vector<std::string>& folders,
                                              ScanNotes* notes, const MetadataStores* stores,
                                              FolderListings* listings) const {
    FileList files;
    platform::PathResolver resolver;
    for (const std::string& folder : folders) {
        const std::string& canonical = resolver.resolve(folder);
        if (isExcludedPath(canonical)) continue;
        try {
            files.addFolder(canonical, visibleExtensionFilesIn(canonical, notes, stores,
                                                               takeListing(listings, canonical)));
            if (notes != nullptr) {
                notes->listed.insert(folder);
                if (notes->withLeftovers.contains(canonical)) notes->withLeftovers.insert(folder);
            }
        } catch (const Error& error) {
            if (notes != nullptr) notes->warnings.push_back(error.message());
        }
    }
    files.sortByPath();
    return files;
}

std::string FolderScanner::displayablePath(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    while (!text.empty()) {
        const long length = utf8SequenceAt(text);
        if (length < 0) {
            shown += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            shown.append(text.substr(0, static_cast<std::size_t>(length)));
            text.remove_prefix(static_cast<std::size_t>(length));
        }
    }
    return shown;
}

}  // namespace lumifold
