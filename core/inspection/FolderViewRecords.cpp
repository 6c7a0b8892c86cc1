#include "core/inspection/FolderViewRecords.h"

#include <cmath>

#include "core/common/Error.h"
#include "core/common/Numbers.h"
#include "core/plist/PropertyList.h"

namespace lumifold {
namespace {

using platform::PlistDictionary;
using platform::PlistValue;

const PlistValue* member(const PlistDictionary& options, const char* key) {
    const auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
}

std::optional<double> numberAt(const PlistDictionary& options, const char* key) {
    const PlistValue* value = member(options, key);
    return value == nullptr ? std::nullopt : value->asNumber();
}

std::optional<bool> booleanAt(const PlistDictionary& options, const char* key) {
    const PlistValue* value = member(options, key);
    if (value == nullptr || value->ifBoolean() == nullptr) return std::nullopt;
    return *value->ifBoolean();
}

std::string booleanText(bool value) { return value ? "true" : "false"; }

}  // namespace

bool isListViewCode(std::string_view code) {
    return code == "lsvp" || code == "lsvC" || code == "lsvP";
}

bool isLayoutCode(std::string_view code) {
    return code == kViewStyleCode || code == kIconViewCode || isListViewCode(code);
}

bool showsIconView(const FinderLayoutPreferences& target) { return target.viewStyle == "icnv"; }

std::optional<std::string> viewStyleOf(const DSStoreEntry& entry) {
    if (entry.code != kViewStyleCode || entry.value.kind() != DSStoreValue::Kind::fourCC) {
        return std::nullopt;
    }
    return entry.value.asFourCC();
}

bool sizesDiffer(double current, double target) { return !(std::fabs(current - target) <= 0.01); }

std::optional<IconViewSettings> IconViewSettings::read(const DSStoreValue& value) {
    if (value.kind() != DSStoreValue::Kind::data) return std::nullopt;
    PlistValue root;
    try {
        root = platform::parsePropertyList(value.asData());
    } catch (const Error&) {
        return std::nullopt;
    }
    const PlistDictionary* options = root.ifDictionary();
    if (options == nullptr) return std::nullopt;
    IconViewSettings settings;
    if (const PlistValue* arrangeBy = member(*options, "arrangeBy"); arrangeBy != nullptr) {
        if (const std::string* text = arrangeBy->ifString()) settings.arrangeBy = *text;
    }
    settings.iconSize = numberAt(*options, "iconSize");
    settings.textSize = numberAt(*options, "textSize");
    settings.showItemInfo = booleanAt(*options, "showItemInfo");
    settings.showIconPreview = booleanAt(*options, "showIconPreview");
    return settings;
}

std::vector<IconViewDifference> IconViewSettings::differencesFrom(
    const FinderLayoutPreferences& target) const {
    std::vector<IconViewDifference> differences;
    const std::string sortBy = arrangeBy.value_or("");
    if (sortBy != target.sortBy) differences.push_back({"arrangeBy", sortBy, target.sortBy});
    const double size = iconSize.value_or(0.0);
    if (sizesDiffer(size, target.iconSize)) {
        differences.push_back({"iconSize", formatReal(size), formatReal(target.iconSize)});
    }
    if (textSize && sizesDiffer(*textSize, target.textSize)) {
        differences.push_back({"textSize", formatReal(*textSize), formatReal(target.textSize)});
    }
    if (showItemInfo && *showItemInfo != target.showItemInfo) {
        differences.push_back(
            {"showItemInfo", booleanText(*showItemInfo), booleanText(target.showItemInfo)});
    }
    if (showIconPreview && *showIconPreview != target.showIconPreview) {
        differences.push_back({"showIconPreview", booleanText(*showIconPreview),
                               booleanText(target.showIconPreview)});
    }
    return differences;
}

OwnLayoutRecords ownLayoutRecords(const std::vector<DSStoreEntry>& entries) {
    OwnLayoutRecords found;
    for (const DSStoreEntry& entry : entries) {
        if (entry.filename != ".") continue;
        found.viewStyle = found.viewStyle || viewStyleOf(entry).has_value();
        found.iconView =
            found.iconView || (entry.code == kIconViewCode && IconViewSettings::read(entry.value));
    }
    return found;
}

}  // namespace lumifold
