#include "core/preferences/FinderLayoutPreferences.h"

#include "core/common/JsonFields.h"

namespace lumifold {

using platform::PlistValue;

FinderLayoutPreferences FinderLayoutPreferences::preferred(double gridSpacing) {
    return FinderLayoutPreferences{
        .viewStyle = "icnv",
        .groupBy = "None",
        .sortBy = "kind",
        .iconSize = 44.0,
        .gridSpacing = gridSpacing,
        .textSize = 12.0,
        .labelOnBottom = true,
        .showItemInfo = false,
        .showIconPreview = true,
        .backgroundType = 0,
        .hideFileExtensions = true,
    };
}

platform::PlistDictionary FinderLayoutPreferences::iconViewOptionsDictionary() const {
    // viewStyle, groupBy and hideFileExtensions have no place here: a folder's view style
    // is its own `vstl` record, and grouping and extension visibility are global only.
    return {
        {"arrangeBy", PlistValue::string(sortBy)},
        {"backgroundColorBlue", PlistValue::real(1.0)},
        {"backgroundColorGreen", PlistValue::real(1.0)},
        {"backgroundColorRed", PlistValue::real(1.0)},
        {"backgroundType", PlistValue::integer(backgroundType)},
        {"gridOffsetX", PlistValue::real(0.0)},
        {"gridOffsetY", PlistValue::real(0.0)},
        {"gridSpacing", PlistValue::real(gridSpacing)},
        {"iconSize", PlistValue::real(iconSize)},
        {"labelOnBottom", PlistValue::boolean(labelOnBottom)},
        {"scrollPositionX", PlistValue::real(0.0)},
        {"scrollPositionY", PlistValue::real(0.0)},
        {"showIconPreview", PlistValue::boolean(showIconPreview)},
        {"showItemInfo", PlistValue::boolean(showItemInfo)},
        {"textSize", PlistValue::real(textSize)},
        {"viewOptionsVersion", PlistValue::integer(1)},
    };
}

void to_json(nlohmann::json& json, const FinderLayoutPreferences& preferences) {
    json = nlohmann::json{
        {"viewStyle", preferences.viewStyle},
        {"groupBy", preferences.groupBy},
        {"sortBy", preferences.sortBy},
        {"labelOnBottom", preferences.labelOnBottom},
        {"showItemInfo", preferences.showItemInfo},
        {"showIconPreview", preferences.showIconPreview},
        {"backgroundType", preferences.backgroundType},
        {"hideFileExtensions", preferences.hideFileExtensions},
    };
    json_fields::putNumber(json, "iconSize", preferences.iconSize);
    json_fields::putNumber(json, "gridSpacing", preferences.gridSpacing);
    json_fields::putNumber(json, "textSize", preferences.textSize);
}

void from_json(const nlohmann::json& json, FinderLayoutPreferences& preferences) {
    using namespace json_fields;
    FinderLayoutPreferences decoded;
    decoded.viewStyle = requiredString(json, "viewStyle");
    decoded.groupBy = requiredString(json, "groupBy");
    decoded.sortBy = requiredString(json, "sortBy");
    decoded.iconSize = requiredNumber(json, "iconSize");
    decoded.gridSpacing = requiredNumber(json, "gridSpacing");
    decoded.textSize = requiredNumber(json, "textSize");
    decoded.labelOnBottom = requiredBoolean(json, "labelOnBottom");
    decoded.showItemInfo = requiredBoolean(json, "showItemInfo");
    decoded.showIconPreview = requiredBoolean(json, "showIconPreview");
    decoded.backgroundType = requiredInteger(json, "backgroundType");
    decoded.hideFileExtensions = requiredBoolean(json, "hideFileExtensions");
    preferences = std::move(decoded);
}

}  // namespace lumifold
