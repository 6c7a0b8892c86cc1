// LumifoldEngine::verify: audits the global preferences and each folder's overrides.
#include <set>
#include <utility>

#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/common/Paths.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/engine/LumifoldEngine.h"
#include "core/inspection/FolderViewRecords.h"
#include "core/platform/Clock.h"
#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

const std::vector<DSStoreEntry> kNoEntries;

// Folds one icon-view record into the item, as the planner judges it; "<where>: " followed by
// every option that differs, or nullopt when none does or the record holds no dictionary.
std::optional<std::string> checkIconView(const DSStoreValue& value,
                                         const FinderLayoutPreferences& target,
                                         FolderVerificationItem& item, const std::string& where) {
    const auto settings = IconViewSettings::read(value);
    if (!settings) return std::nullopt;
    std::string differing;
    for (const IconViewDifference& difference : settings->differencesFrom(target)) {
        if (difference.key == "iconSize") item.iconSizeMatches = false;
        if (difference.key == "arrangeBy") item.sortByMatches = false;
        item.conflictingOverridesPresent = true;
        differing += (differing.empty() ? where + ": " : ", ") + difference.key + " " +
                     difference.oldValue + " (expected " + difference.newValue + ")";
    }
    if (differing.empty()) return std::nullopt;
    return differing;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

// How one store's notes about a folder begin: the folder's own store, or its parent's (where
// the folder's record is under its name).
struct StoreSide {
    std::string record;         // "." or the folder's name
    std::string styleNote;      // before "vstl override"
    std::string iconViewWhere;  // before an icon view's differences
    std::string listViewNote;   // before a list view's code
};

// The global preferences against the target, a discrepancy each.
std::vector<std::string> preferenceDiscrepancies(const PreferencesFile& preferences,
                                                 const FinderLayoutPreferences& current,
                                                 const FinderLayoutPreferences& target,
                                                 bool showsAllExtensions) {
    std::vector<std::string> found;
    // A file that cannot be read is not a compliant one, whatever its fallbacks say.
    if (preferences.problem) found.push_back(*preferences.problem);
    if (current.viewStyle != target.viewStyle) {
        found.push_back("FXPreferredViewStyle is '" + current.viewStyle + "', expected '" +
                        target.viewStyle + "'");
    }
    if (current.groupBy != target.groupBy) {
        found.push_back("FXArrangeGroupViewBy is '" + current.groupBy + "', expected '" +
                        target.groupBy + "'");
    }
    if (current.sortBy != target.sortBy) {
        found.push_back("StandardViewSettings arrangeBy is '" + current.sortBy + "', expected '" +
                        target.sortBy + "'");
    }
    if (current.iconSize != target.iconSize) {
        found.push_back("StandardViewSettings iconSize is " + formatReal(current.iconSize) +
                        ", expected " + formatReal(target.iconSize));
    }
    if (target.hideFileExtensions && showsAllExtensions) {
        found.push_back(
            "AppleShowAllExtensions is true (extensions shown), expected false (extensions "
            "hidden)");
    } else if (!target.hideFileExtensions && !showsAllExtensions) {
        found.push_back(
            "AppleShowAllExtensions is false (extensions hidden), expected true (extensions "
            "shown)");
    }
    return found;
}

// Audits folders one at a time, sharing the stores read (a parent's store serves its
// children) and the notes.
class FolderAudit final {
  public:
    // With `scope` (folders only: the resolved folders audited), each folder's own store must
    // say the layout itself, and its parent's store is judged only when the parent lies in
    // one of them.
    FolderAudit(const FolderScanner& scanner, const Layout& layout,
                const std::set<std::string>* scope, const MetadataStores& stores,
                FolderListings* listings)
        : m_scanner(scanner),
          m_layout(layout),
          m_scope(scope),
          m_stores(stores),
          m_listings(listings) {}

    ScanNotes& notes() { return m_notes; }

    FolderVerificationItem audit(const std::string& folder, const std::string& canonical) {
        FolderVerificationItem item;
        item.path = folder;
        if (!platform::fileExists(folder)) {
            item.viewStyleMatches = item.iconSizeMatches = item.sortByMatches = false;
            item.inaccessible = true;
            item.notes = "Folder does not exist or inaccessible";
            return item;
        }
        // Every note, in the order met; what could not be read comes first, since it leaves
        // the folder's view unknown.
        std::vector<std::string> problems, parts;
        const FinderLayoutPreferences& target = m_layout.targetFor(folder, canonical);
        const std::string store = dsstore_format::kFileName;
        const bool ownRecords = checkStore(
            appending(folder, store), {".", "", "Local " + store, "Contains list view override '"},
            target, item, problems, parts);
        if (m_scope != nullptr && !ownRecords) {
            item.viewStyleMatches = false;
            item.conflictingOverridesPresent = true;
            parts.push_back("Local " + store + " does not hold the folder's view style and " +
                            "icon view options");
        }
        const std::string parent = "Parent " + store;
        if (m_scope == nullptr ||
            FolderScanner::parentStoreInScope(deletingLastPathComponent(canonical), *m_scope)) {
            checkStore(appending(deletingLastPathComponent(folder), store),
                       {lastPathComponent(folder), parent + ": ", parent,
                        parent + ": list view override '"},
                       target, item, problems, parts);
        }
        if (m_layout.top().hideFileExtensions) checkExtensions(canonical, item, problems, parts);
        if (!problems.empty()) item.inaccessible = true;
        problems.insert(problems.end(), parts.begin(), parts.end());
        item.notes = !problems.empty() ? joined(problems)
                     : m_scope         ? "Holds the layout in its own " + store
                                       : "Inherits global defaults cleanly";
        return item;
    }

  private:
    // Whether the store's own records say the whole layout (ownLayoutRecords).
    bool checkStore(const std::string& path, const StoreSide& side,
                    const FinderLayoutPreferences& target, FolderVerificationItem& item,
                    std::vector<std::string>& problems, std::vector<std::string>& parts) {
        const auto& found = m_scanner.readStoreForInspection(path, &m_notes, m_reads);
        if (found.problem) problems.push_back(*found.problem);
        for (const auto& entry : found.entries ? *found.entries : kNoEntries) {
            if (entry.filename != side.record) continue;
            if (const auto style = viewStyleOf(entry); style && *style != target.viewStyle) {
                item.viewStyleMatches = false;
                item.conflictingOverridesPresent = true;
                parts.push_back(side.styleNote + "vstl override '" + *style + "'");
            } else if (entry.code == kIconViewCode) {
                if (auto differing = checkIconView(entry.value, target, item, side.iconViewWhere)) {
                    parts.push_back(std::move(*differing));
                }
            } else if (isListViewCode(entry.code) && showsIconView(target)) {
                item.conflictingOverridesPresent = true;
                parts.push_back(side.listViewNote + entry.code + "'");
            }
        }
        return found.entries && ownLayoutRecords(*found.entries).complete();
    }

    void checkExtensions(const std::string& canonical, FolderVerificationItem& item,
                         std::vector<std::string>& problems, std::vector<std::string>& parts) {
        try {
            ScanNotes found;
            const std::size_t visible =
                m_scanner.visibleExtensionCount(canonical, &found, &m_stores, m_listings);
            // A damaged record leaves the flag unknown: the folder is not compliant.
            problems.insert(problems.end(), found.damaged.begin(), found.damaged.end());
            m_notes.warnings.insert(m_notes.warnings.end(), found.damaged.begin(),
                                    found.damaged.end());
            if (visible > 0) {
                parts.push_back(std::to_string(visible) + " file(s) have visible extensions");
                item.conflictingOverridesPresent = true;
            }
        } catch (const Error& error) {
            m_notes.warnings.push_back(error.message());
            problems.push_back(error.message());
        }
    }

    const FolderScanner& m_scanner;
    const Layout& m_layout;
    const std::set<std::string>* m_scope;
    const MetadataStores& m_stores;
    FolderListings* m_listings;  // a tree walk's, when this stage had one
    ScanNotes m_notes;
    FolderScanner::StoreReads m_reads;
};

}  // namespace

VerificationReport LumifoldEngine::verify(const FolderList& folders,
                                          std::vector<std::string>* warnings) const {
    const auto list = resolveFolders(folders);
    // The walk's listings serve this audit only.
    std::optional<FolderListings> listings = std::exchange(m_walkListings, std::nullopt);
    return verify(list, metadataStores(list), warnings, listings ? &*listings : nullptr);
}

VerificationReport LumifoldEngine::verify(const std::vector<std::string>& list,
                                          const MetadataStores& stores,
                                          std::vector<std::string>* warnings,
                                          FolderListings* listings) const {
    const PreferencesFile preferences = preferencesAsTarget();
    std::optional<Error> layoutProblem;
    const Layout layout = usableLayout(preferences, &layoutProblem);
    VerificationReport report;
    platform::PathResolver resolver;
    std::optional<std::set<std::string>> scope;
    if (m_foldersOnly) {
        // The folders only: the preferences are each Mac user's, not judged here.
        scope.emplace();
        for (const std::string& folder : list) scope->insert(resolver.resolve(folder));
    } else {
        const FinderLayoutPreferences current =
            m_preferencesManager.currentPreferences(preferences);
        report.discrepancies =
            preferenceDiscrepancies(preferences, current, layout.top(),
                                    m_preferencesManager.showsAllExtensions(preferences));
    }
    // An unusable layout file leaves the target unknown: nothing passes as compliant.
    if (layoutProblem) {
        report.discrepancies.insert(report.discrepancies.begin(), layoutProblem->message());
    }
    FolderAudit audit(m_scanner, layout, scope ? &*scope : nullptr, stores, listings);
    std::uint64_t checked = 0;
    for (const std::string& folder : list) {
        this->report("Verify", "Checking folders", checked++, list.size());
        // Folders every stage leaves alone are not audited either.
        const std::string& canonical = resolver.resolve(folder);
        if (m_scanner.isExcludedPath(canonical)) continue;
        FolderVerificationItem item = audit.audit(folder, canonical);
        if (item.inaccessible) ++report.inaccessibleCount;
        report.folderResults.push_back(std::move(item));
    }
    this->report("Verify", "Checking folders", list.size(), list.size());
    if (warnings != nullptr) {
        warnings->insert(warnings->end(), stores.warnings().begin(), stores.warnings().end());
        const auto& found = audit.notes().warnings;
        warnings->insert(warnings->end(), found.begin(), found.end());
    }
    report.finderDefaultsValid = report.discrepancies.empty();
    report.verifiedAt = platform::currentTime();
    return report;
}

}  // namespace lumifold
