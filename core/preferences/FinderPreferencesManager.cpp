#include "core/preferences/FinderPreferencesManager.h"

#include <utility>

#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/common/Paths.h"
#include "core/platform/FolderRoot.h"
#include "core/platform/PosixError.h"
#include "core/preferences/FinderPreferenceKeys.h"

namespace lumifold {
namespace {

using platform::PlistDictionary;
using platform::PlistValue;
using platform::PreferencesService;
using namespace finder_preferences;

const PlistValue* member(const PlistDictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

void readString(const PlistDictionary& dictionary, const char* key, std::string& field) {
    if (const PlistValue* value = member(dictionary, key)) {
        if (const std::string* text = value->ifString()) field = *text;
    }
}

void readBoolean(const PlistDictionary& dictionary, const char* key, bool& field) {
    if (const PlistValue* value = member(dictionary, key)) {
        if (const bool* flag = value->ifBoolean()) field = *flag;
    }
}

// A real, or an integer converted.
void readSize(const PlistDictionary& dictionary, const char* key, double& field) {
    if (const PlistValue* value = member(dictionary, key)) {
        if (const std::optional<double> number = value->asNumber()) field = *number;
    }
}

std::optional<bool> booleanIn(const std::optional<PlistValue>& value) {
    if (value) {
        if (const bool* flag = value->ifBoolean()) return *flag;
    }
    return std::nullopt;
}

std::optional<bool> booleanAt(const PlistDictionary& dictionary, const char* key) {
    if (const PlistValue* value = member(dictionary, key)) {
        if (const bool* flag = value->ifBoolean()) return *flag;
    }
    return std::nullopt;
}

// The dictionary under `key`, or an empty one when it is missing or of another kind.
PlistDictionary dictionaryAt(const PlistDictionary& dictionary, const char* key) {
    if (const PlistValue* value = member(dictionary, key)) {
        if (const PlistDictionary* inner = value->ifDictionary()) return *inner;
    }
    return {};
}

std::string booleanText(bool value) { return value ? "true" : "false"; }

std::string extensionVisibilityText(bool hidesExtensions) {
    return hidesExtensions ? "false (hidden)" : "true (shown)";
}

}  // namespace

FinderPreferencesManager::FinderPreferencesManager(std::optional<std::string> preferencesPath,
                                                   std::string homeDirectory)
    : FinderPreferencesManager(std::move(preferencesPath),
                               PreferencesService(std::move(homeDirectory))) {}

FinderPreferencesManager::FinderPreferencesManager(std::optional<std::string> preferencesPath,
                                                   platform::PreferencesService preferences)
    : m_plistPath(preferencesPath ? std::move(*preferencesPath)
                                  : appending(preferences.homeDirectory(), kRelativePath)),
      m_preferences(std::move(preferences)) {}

PreferencesFile FinderPreferencesManager::readPreferencesFile() const {
    PreferencesFile file;
    file.path = m_plistPath;
    std::string hidden;  // why it could not be examined: it may be there
    const auto type = platform::entryType(m_plistPath, &hidden);
    file.exists = type.has_value() || !hidden.empty();
    file.isLink = type == platform::EntryType::symbolicLink;
    if (!file.exists) return file;
    const std::string shown = "The preferences file \"" + platform::printable(m_plistPath) + "\"";
    if (!hidden.empty()) {
        file.problem = shown + " cannot be read: " + hidden;
        return file;
    }
    try {
        // A FIFO, a device or a dangling link here is refused by the read itself.
        file.bytes = platform::readFile(m_plistPath);
        PlistValue value = platform::parsePropertyList(file.bytes);
        if (PlistDictionary* dictionary = value.ifDictionary()) {
            file.dictionary = std::move(*dictionary);
        } else {
            file.problem = shown + " holds no dictionary";
        }
    } catch (const Error& error) {
        file.problem = shown + " cannot be read: " + error.message();
    }
    return file;
}

FinderLayoutPreferences FinderPreferencesManager::currentPreferences() const {
    return currentPreferences(readPreferencesFile());
}

FinderLayoutPreferences FinderPreferencesManager::currentPreferences(
    const PreferencesFile& preferencesFile) const {
    // The fallbacks are the preferred set, so a missing or damaged file reads as preferred.
    FinderLayoutPreferences current = FinderLayoutPreferences::preferred(kDefaultGridSpacing);
    const auto& file = preferencesFile.dictionary;
    if (!file) return current;

    readString(*file, kViewStyleKey, current.viewStyle);
    readString(*file, kGroupByKey, current.groupBy);

    std::optional<bool> shown = booleanAt(*file, kShowAllExtensionsKey);
    if (!shown) {
        shown = booleanIn(
            m_preferences.copyAppValue(kShowAllExtensionsKey, PreferencesService::kAnyApplication));
    }
    if (!shown) {
        shown = booleanIn(m_preferences.copyAppValue(kShowAllExtensionsKey, kApplicationId));
    }
    if (shown) current.hideFileExtensions = !*shown;

    const PlistValue* standard = member(*file, kStandardViewSettingsKey);
    const PlistDictionary* standardDictionary = standard ? standard->ifDictionary() : nullptr;
    const PlistValue* iconView =
        standardDictionary ? member(*standardDictionary, kIconViewSettingsKey) : nullptr;
    if (const PlistDictionary* settings = iconView ? iconView->ifDictionary() : nullptr) {
        readString(*settings, kArrangeByKey, current.sortBy);
        readSize(*settings, kIconSizeKey, current.iconSize);
        readSize(*settings, kGridSpacingKey, current.gridSpacing);
        readSize(*settings, kTextSizeKey, current.textSize);
        readBoolean(*settings, kLabelOnBottomKey, current.labelOnBottom);
        readBoolean(*settings, kShowItemInfoKey, current.showItemInfo);
        readBoolean(*settings, kShowIconPreviewKey, current.showIconPreview);
        if (const PlistValue* value = member(*settings, kBackgroundTypeKey)) {
            if (const std::int64_t* integer = value->ifInteger()) current.backgroundType = *integer;
        }
    }
    return current;
}

std::vector<SettingChange> FinderPreferencesManager::plistChanges(
    const FinderLayoutPreferences& target) const {
    return plistChanges(target, readPreferencesFile());
}

std::vector<SettingChange> FinderPreferencesManager::plistChanges(
    const FinderLayoutPreferences& target, const PreferencesFile& file) const {
    const FinderLayoutPreferences current = currentPreferences(file);
    const std::string fileName = lastPathComponent(m_plistPath);
    std::vector<SettingChange> changes;
    const auto add = [&](std::string key, std::string oldValue, std::string newValue) {
        changes.push_back(
            SettingChange{.target = fileName,
                          .key = std::move(key),
                          .oldValue = std::move(oldValue),
                          .newValue = std::move(newValue),
                          .changeType = changeTypeText(ChangeType::globalPreference)});
    };
    const std::string prefix = kIconViewKeyPrefix;

    if (current.viewStyle != target.viewStyle) {
        add(kViewStyleKey, current.viewStyle, target.viewStyle);
    }
    if (current.groupBy != target.groupBy) add(kGroupByKey, current.groupBy, target.groupBy);
    if (current.sortBy != target.sortBy) add(prefix + kArrangeByKey, current.sortBy, target.sortBy);
    // Exact comparison: 44.0 and 44.0001 differ.
    if (current.iconSize != target.iconSize) {
        add(prefix + kIconSizeKey, formatReal(current.iconSize), formatReal(target.iconSize));
    }
    if (current.textSize != target.textSize) {
        add(prefix + kTextSizeKey, formatReal(current.textSize), formatReal(target.textSize));
    }
    if (current.labelOnBottom != target.labelOnBottom) {
        add(prefix + kLabelOnBottomKey, booleanText(current.labelOnBottom),
            booleanText(target.labelOnBottom));
    }
    if (current.showItemInfo != target.showItemInfo) {
        add(prefix + kShowItemInfoKey, booleanText(current.showItemInfo),
            booleanText(target.showItemInfo));
    }
    if (current.showIconPreview != target.showIconPreview) {
        add(prefix + kShowIconPreviewKey, booleanText(current.showIconPreview),
            booleanText(target.showIconPreview));
    }
    if (current.hideFileExtensions != target.hideFileExtensions) {
        add(kShowAllExtensionsKey, extensionVisibilityText(current.hideFileExtensions),
            extensionVisibilityText(target.hideFileExtensions));
    }
    return changes;
}

bool FinderPreferencesManager::showsAllExtensions() const {
    return showsAllExtensions(readPreferencesFile());
}

bool FinderPreferencesManager::showsAllExtensions(const PreferencesFile& file) const {
    if (const auto global = booleanIn(m_preferences.copyAppValue(
            kShowAllExtensionsKey, PreferencesService::kAnyApplication))) {
        return *global;
    }
    if (file.dictionary) {
        if (const auto shown = booleanAt(*file.dictionary, kShowAllExtensionsKey)) return *shown;
    }
    return false;
}

std::vector<PlannedPush> FinderPreferencesManager::plannedPushes(
    const FinderLayoutPreferences& target) const {
    std::vector<PlannedPush> pushes = pushesFor(target);
    for (PlannedPush& push : pushes) {
        auto [path, bytes, dictionary, isLink] =
            m_preferences.readDomainFile(push.record.domain, PreferencesService::Host::current);
        push.domainBytes = std::move(bytes);
        push.record.domainWasLink = isLink;
        if (!dictionary) continue;
        if (const auto found = dictionary->find(push.record.key); found != dictionary->end()) {
            recordOriginalValue(push.record, found->second, path);
        }
    }
    return pushes;
}

std::vector<PlannedPush> FinderPreferencesManager::pushesFor(
    const FinderLayoutPreferences& target) const {
    const std::string shown =
        platform::toXmlPropertyList(PlistValue::boolean(!target.hideFileExtensions));
    std::vector<PlannedPush> pushes;
    // The global domain first, then the Finder's own.
    for (const char* domain : {PreferencesService::kAnyApplication, kApplicationId}) {
        PlannedPush push;
        push.record.domain = domain;
        push.record.key = kShowAllExtensionsKey;
        push.record.pushedValue = shown;
        push.domainPath =
            m_preferences.domainPath(domain, PreferencesService::Host::current).value_or("");
        pushes.push_back(std::move(push));
    }
    return pushes;
}

void FinderPreferencesManager::writePreferences(const FinderLayoutPreferences& target) {
    writePreferences(target, readPreferencesFile(), plannedPushes(target));
}

Bytes FinderPreferencesManager::fileImage(const FinderLayoutPreferences& target,
                                          const PreferencesFile& planned) const {
    if (planned.problem) {
        throw Error(kDomain, kUnreadablePreferences, *planned.problem + "; it is left as it is");
    }
    PlistDictionary root = planned.dictionary.value_or(PlistDictionary{});
    root[kViewStyleKey] = PlistValue::string(target.viewStyle);
    root[kGroupByKey] = PlistValue::string(target.groupBy);
    root[kShowAllExtensionsKey] = PlistValue::boolean(!target.hideFileExtensions);

    for (const char* settingsKey : kViewSettingsKeys) {
        PlistDictionary outer = dictionaryAt(root, settingsKey);
        PlistDictionary iconView = dictionaryAt(outer, kIconViewSettingsKey);
        iconView[kArrangeByKey] = PlistValue::string(target.sortBy);
        iconView[kIconSizeKey] = PlistValue::real(target.iconSize);
        iconView[kGridSpacingKey] = PlistValue::real(target.gridSpacing);
        iconView[kTextSizeKey] = PlistValue::real(target.textSize);
        iconView[kLabelOnBottomKey] = PlistValue::boolean(target.labelOnBottom);
        iconView[kShowItemInfoKey] = PlistValue::boolean(target.showItemInfo);
        iconView[kShowIconPreviewKey] = PlistValue::boolean(target.showIconPreview);
        iconView[kBackgroundTypeKey] = PlistValue::integer(target.backgroundType);
        outer[kIconViewSettingsKey] = PlistValue::dictionary(std::move(iconView));
        root[settingsKey] = PlistValue::dictionary(std::move(outer));
    }

    return platform::toBinaryPropertyList(PlistValue::dictionary(std::move(root)));
}

PreferencesWrite FinderPreferencesManager::writePreferences(
    const FinderLayoutPreferences& target, const PreferencesFile& planned,
    const std::vector<PlannedPush>& pushes) {
    // Serialised before anything touches the disk.
    const Bytes bytes = fileImage(target, planned);
    PreferencesWrite result;
    // Sync tools keep this file as a link into their own folder: written through, to a file
    // below the home only. The folder always exists on a real system; a fresh or sandbox home
    // may lack it.
    const platform::FilePlace place =
        platform::placeFileUnder(m_preferences.homeDirectory(), m_plistPath, true,
                                 planned.exists ? std::nullopt : std::optional<unsigned>(0700));
    platform::ReplaceOptions options;
    options.unlessChangedFrom = platform::PlannedContent{planned.exists, planned.bytes};
    result.fileWritten = platform::replaceFileIn(place.folder, place.name, bytes, options);

    // Only extension visibility goes through the service; the view settings live in the file,
    // which the Finder rereads when the coordinator relaunches it.
    const PlistValue shown = PlistValue::boolean(!target.hideFileExtensions);
    using User = PreferencesService::User;
    using Host = PreferencesService::Host;
    for (const PlannedPush& planning : pushes) {
        const PushedPreference& push = planning.record;
        PreferencesService::WriteConditions conditions;
        conditions.unlessChangedFrom = platform::PlannedContent{
            planning.domainBytes.has_value(),
            planning.domainBytes ? ByteView(*planning.domainBytes) : ByteView()};
        try {
            if (m_preferences.setValue(push.key, shown, push.domain, User::current, Host::current,
                                       conditions)) {
                result.pushed.push_back(push);
            } else {
                result.domainsNotWritten.push_back(planning.domainPath);
            }
        } catch (const Error& error) {
            // The file write stands; the caller reports the push that did not happen.
            result.warnings.push_back("Could not set " + push.key + " in the " + push.domain +
                                      " preferences: " + error.message());
        }
        m_preferences.synchronize(push.domain, User::current, Host::current);
    }
    m_preferences.appSynchronize(kApplicationId);
    return result;
}

}  // namespace lumifold
