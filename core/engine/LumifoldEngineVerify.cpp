// LumifoldEngine::verify: audits the global preferences and each folder's overrides.
#include <cmath>

#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/common/Paths.h"
#include "core/engine/LumifoldEngine.h"
#include "core/inspection/IconViewOptions.h"
#include "core/platform/Clock.h"
#include "core/platform/FileSystem.h"

namespace lumifold {
namespace {

bool isListViewCode(const std::string& code) {
    return code == "lsvp" || code == "lsvC" || code == "lsvP";
}

// The records of a store, or nullopt when it is missing, unreadable or malformed (verification
// treats all three as "no store").
std::optional<std::vector<DSStoreEntry>> readStore(const DSStoreReader& reader,
                                                   const std::string& path) {
    if (!platform::fileExists(path)) return std::nullopt;
    try {
        return reader.parseEntries(platform::readFile(path));
    } catch (const Error&) {
        return std::nullopt;
    }
}

struct IconViewOverride {
    double iconSize = 0.0;
    std::string arrangeBy;
};

std::optional<IconViewOverride> readIconViewOverride(const DSStoreValue& value) {
    const auto options = iconViewOptions(value);
    if (!options) return std::nullopt;
    IconViewOverride result;
    if (const auto* size = findOption(*options, "iconSize")) {
        result.iconSize = optionNumber(*size).value_or(0.0);
    }
    if (const auto* arrangeBy = findOption(*options, "arrangeBy");
        arrangeBy && arrangeBy->ifString()) {
        result.arrangeBy = *arrangeBy->ifString();
    }
    return result;
}

// Folds one icon-view override into the item; true when it was a dictionary.
bool checkIconView(const DSStoreValue& value, const FinderLayoutPreferences& target,
                   FolderVerificationItem& item, IconViewOverride& found) {
    const auto override = readIconViewOverride(value);
    if (!override) return false;
    if (iconSizesDiffer(override->iconSize, target.iconSize)) {
        item.iconSizeMatches = false;
        item.conflictingOverridesPresent = true;
    }
    if (override->arrangeBy != target.sortBy) {
        item.sortByMatches = false;
        item.conflictingOverridesPresent = true;
    }
    found = *override;
    return true;
}

}  // namespace

VerificationReport LumifoldEngine::verify(const FolderList& folders) const {
    const auto list = resolveFolders(folders);
    const FinderLayoutPreferences target = targetLayout();
    const FinderLayoutPreferences current = m_preferencesManager.currentPreferences();

    VerificationReport report;
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
    if (target.hideFileExtensions && m_preferencesManager.showsAllExtensions()) {
        report.discrepancies.push_back(
            "AppleShowAllExtensions is true (extensions shown), expected false (extensions "
            "hidden)");
    }

    for (const std::string& folder : list) {
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
        item.notes = "Inherits global defaults cleanly";

        if (const auto local = readStore(m_reader, appending(folder, ".DS_Store"))) {
            for (const auto& entry : *local) {
                if (entry.filename != ".") continue;
                if (entry.code == "vstl" && entry.value.kind() == DSStoreValue::Kind::fourCC &&
                    entry.value.asFourCC() != "icnv") {
                    item.viewStyleMatches = false;
                    item.conflictingOverridesPresent = true;
                    item.notes = "vstl override '" + entry.value.asFourCC() + "'";
                } else if (entry.code == "icvp") {
                    IconViewOverride found;
                    if (checkIconView(entry.value, target, item, found)) {
                        item.notes = "Local .DS_Store: iconSize=" + formatReal(found.iconSize) +
                                     ", arrangeBy=" + found.arrangeBy;
                    }
                } else if (isListViewCode(entry.code)) {
                    item.conflictingOverridesPresent = true;
                    item.notes = "Contains list view override '" + entry.code + "'";
                }
            }
        }

        const std::string name = lastPathComponent(folder);
        if (const auto parent =
                readStore(m_reader, appending(deletingLastPathComponent(folder), ".DS_Store"))) {
            for (const auto& entry : *parent) {
                if (entry.filename != name) continue;
                if (entry.code == "vstl" && entry.value.kind() == DSStoreValue::Kind::fourCC &&
                    entry.value.asFourCC() != "icnv") {
                    item.viewStyleMatches = false;
                    item.conflictingOverridesPresent = true;
                    item.notes = "Parent .DS_Store: vstl override '" + entry.value.asFourCC() + "'";
                } else if (entry.code == "icvp") {
                    IconViewOverride found;
                    checkIconView(entry.value, target, item, found);
                } else if (isListViewCode(entry.code)) {
                    item.conflictingOverridesPresent = true;
                    item.notes = "Parent .DS_Store: list view override '" + entry.code + "'";
                }
            }
        }

        if (target.hideFileExtensions) {
            const auto visible = m_scanner.filesWithVisibleExtensions({folder}).size();
            if (visible > 0) {
                item.notes += "; " + std::to_string(visible) + " file(s) have visible extensions";
                item.conflictingOverridesPresent = true;
            }
        }
        report.folderResults.push_back(std::move(item));
    }
    report.finderDefaultsValid = report.discrepancies.empty();
    report.verifiedAt = platform::currentTime();
    return report;
}

}  // namespace lumifold
