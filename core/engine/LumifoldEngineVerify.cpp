// LumifoldEngine::verify: audits the global preferences and each folder's overrides.
#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/common/Paths.h"
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

}  // namespace

VerificationReport LumifoldEngine::verify(const FolderList& folders,
                                          std::vector<std::string>* warnings) const {
    const auto list = resolveFolders(folders);
    const PreferencesFile preferences = m_preferencesManager.readPreferencesFile();
    const FinderLayoutPreferences current = m_preferencesManager.currentPreferences(preferences);
    const FinderLayoutPreferences target = FinderLayoutPreferences::preferred(current.gridSpacing);

    VerificationReport report;
    // A file that cannot be read is not a compliant one, whatever its fallbacks say.
    if (preferences.problem) report.discrepancies.push_back(*preferences.problem);
    if (current.viewStyle != "icnv") {
        report.discrepancies.push_back("FXPreferredViewStyle is '" + current.viewStyle +
                                       "', expected 'icnv'");
    }
    if (current.groupBy != target.groupBy) {
        report.discrepancies.push_back("FXArrangeGroupViewBy is '" + current.groupBy +
                                       "', expected '" + target.groupBy + "'");
    }
    if (current.sortBy != target.sortBy) {
        report.discrepancies.push_back("StandardViewSettings arrangeBy is '" + current.sortBy +
                                       "', expected '" + target.sortBy + "'");
    }
    if (current.iconSize != target.iconSize) {
        report.discrepancies.push_back("StandardViewSettings iconSize is " +
                                       formatReal(current.iconSize) + ", expected " +
                                       formatReal(target.iconSize));
    }
    if (target.hideFileExtensions && m_preferencesManager.showsAllExtensions(preferences)) {
        report.discrepancies.push_back(
            "AppleShowAllExtensions is true (extensions shown), expected false (extensions "
            "hidden)");
    }

    ScanNotes notes;
    FolderScanner::StoreReads reads;
    std::uint64_t checked = 0;
    platform::PathResolver resolver;
    for (const std::string& folder : list) {
        this->report("Verify", "Checking folders", checked++, list.size());
        // Folders every stage leaves alone are not audited either.
        const std::string& canonical = resolver.resolve(folder);
        if (m_scanner.isExcludedPath(canonical)) continue;
        FolderVerificationItem item;
        item.path = folder;
        if (!platform::fileExists(folder)) {
            item.viewStyleMatches = item.iconSizeMatches = item.sortByMatches = false;
            item.inaccessible = true;
            item.notes = "Folder does not exist or inaccessible";
            ++report.inaccessibleCount;
            report.folderResults.push_back(std::move(item));
            continue;
        }
        // Every note, in the order met; what could not be read comes first, since it leaves
        // the folder's view unknown.
        std::vector<std::string> problems, parts;
        const auto read = [&](const std::string& store) -> const std::vector<DSStoreEntry>& {
            const auto& found = m_scanner.readStoreForInspection(store, &notes, reads);
            if (found.problem) problems.push_back(*found.problem);
            return found.entries ? *found.entries : kNoEntries;
        };
        for (const auto& entry : read(appending(folder, ".DS_Store"))) {
            if (entry.filename != ".") continue;
            if (const auto style = viewStyleOf(entry); style && *style != "icnv") {
                item.viewStyleMatches = false;
                item.conflictingOverridesPresent = true;
                parts.push_back("vstl override '" + *style + "'");
            } else if (entry.code == kIconViewCode) {
                if (auto differing = checkIconView(entry.value, target, item, "Local .DS_Store")) {
                    parts.push_back(std::move(*differing));
                }
            } else if (isListViewCode(entry.code)) {
                item.conflictingOverridesPresent = true;
                parts.push_back("Contains list view override '" + entry.code + "'");
            }
        }

        const std::string name = lastPathComponent(folder);
        for (const auto& entry : read(appending(deletingLastPathComponent(folder), ".DS_Store"))) {
            if (entry.filename != name) continue;
            if (const auto style = viewStyleOf(entry); style && *style != "icnv") {
                item.viewStyleMatches = false;
                item.conflictingOverridesPresent = true;
                parts.push_back("Parent .DS_Store: vstl override '" + *style + "'");
            } else if (entry.code == kIconViewCode) {
                if (auto differing = checkIconView(entry.value, target, item, "Parent .DS_Store")) {
                    parts.push_back(std::move(*differing));
                }
            } else if (isListViewCode(entry.code)) {
                item.conflictingOverridesPresent = true;
                parts.push_back("Parent .DS_Store: list view override '" + entry.code + "'");
            }
        }

        if (target.hideFileExtensions) {
            try {
                const std::size_t visible = m_scanner.visibleExtensionCount(canonical);
                if (visible > 0) {
                    parts.push_back(std::to_string(visible) + " file(s) have visible extensions");
                    item.conflictingOverridesPresent = true;
                }
            } catch (const Error& error) {
                notes.warnings.push_back(error.message());
                problems.push_back(error.message());
            }
        }
        if (!problems.empty()) {
            item.inaccessible = true;
            ++report.inaccessibleCount;
        }
        problems.insert(problems.end(), parts.begin(), parts.end());
        item.notes = problems.empty() ? "Inherits global defaults cleanly" : joined(problems);
        report.folderResults.push_back(std::move(item));
    }
    this->report("Verify", "Checking folders", list.size(), list.size());
    if (warnings != nullptr) {
        warnings->insert(warnings->end(), notes.warnings.begin(), notes.warnings.end());
    }
    report.finderDefaultsValid = report.discrepancies.empty();
    report.verifiedAt = platform::currentTime();
    return report;
}

}  // namespace lumifold
