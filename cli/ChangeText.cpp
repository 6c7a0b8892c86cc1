#include "cli/ChangeText.h"

#include <string_view>

#include "core/common/Numbers.h"

namespace lumifold::cli {
namespace {

struct Setting {
    std::string_view key;   // the last part of a change's key
    std::string_view name;  // what a person calls it
};

// The settings a change can name, by the keys the preferences and the stores use.
constexpr Setting kSettings[] = {
    {.key = "FXPreferredViewStyle", .name = "view style"},
    {.key = "vstl", .name = "view style"},
    {.key = "FXArrangeGroupViewBy", .name = "grouping"},
    {.key = "arrangeBy", .name = "sort by"},
    {.key = "iconSize", .name = "icon size"},
    {.key = "textSize", .name = "text size"},
    {.key = "gridSpacing", .name = "grid spacing"},
    {.key = "labelOnBottom", .name = "labels below"},
    {.key = "showItemInfo", .name = "item info"},
    {.key = "showIconPreview", .name = "icon previews"},
    {.key = "AppleShowAllExtensions", .name = "extensions"},
    {.key = "icvp", .name = "icon view settings"},
    {.key = "lsvp", .name = "list view settings"},
    {.key = "lsvP", .name = "list view settings"},
    {.key = "lsvC", .name = "list view columns"},
};

// The view styles' four-character codes.
constexpr Setting kViewStyles[] = {
    {.key = "icnv", .name = "icon"},
    {.key = "clmv", .name = "column"},
    {.key = "Nlsv", .name = "list"},
    {.key = "Flwv", .name = "gallery"},
};

std::string_view nameOf(std::string_view key, const auto& table) {
    for (const Setting& each : table) {
        if (each.key == key) return each.name;
    }
    return {};
}

}  // namespace

std::string viewStyleText(std::string_view code) {
    const std::string_view name = nameOf(code, kViewStyles);
    return name.empty() ? std::string(code) : std::string(name) + " (" + std::string(code) + ")";
}

std::string sizeText(double size) {
    std::string text = formatReal(size);
    if (text.ends_with(".0")) text.resize(text.size() - 2);
    return text;
}

namespace {

// A value in words: a view style's name with its code, "yes"/"no" for a switch, a whole size
// without ".0".
std::string valueText(std::string_view value, bool isViewStyle) {
    if (isViewStyle) return viewStyleText(value);
    if (value == "true") return "yes";
    if (value == "false") return "no";
    if (value.starts_with("true (") || value.starts_with("false (")) {  // "false (hidden)"
        return std::string(
            value.substr(value.find('(') + 1, value.find(')') - value.find('(') - 1));
    }
    if (value.ends_with(".0")) value.remove_suffix(2);
    return value.empty() ? "none" : std::string(value);
}

}  // namespace

std::string describeChange(const SettingChange& change) {
    // Keys are "KEY" (a preference), "NAME/CODE" or "NAME/icvp.KEY" (a store record of NAME) and
    // "NAME/hasHiddenExtension" (a file's flag).
    const std::string_view key = change.key;
    const std::size_t slash = key.rfind('/');
    const std::string subject =
        slash == std::string_view::npos ? std::string() : std::string(key.substr(0, slash)) + ": ";
    std::string_view setting = slash == std::string_view::npos ? key : key.substr(slash + 1);
    if (setting == "hasHiddenExtension") return subject + "extension hidden";
    if (change.newValue == "removed") {
        const std::string_view name = nameOf(setting, kSettings);
        return subject +
               (name.empty() ? std::string(setting)
                             : std::string(name) + " (" + std::string(setting) + ")") +
               " removed";
    }
    if (const std::size_t dot = setting.rfind('.'); dot != std::string_view::npos) {
        setting = setting.substr(dot + 1);
    }
    const bool isViewStyle = setting == "vstl" || setting == "FXPreferredViewStyle";
    const std::string_view name = nameOf(setting, kSettings);
    return subject + (name.empty() ? std::string(setting) : std::string(name)) + " " +
           valueText(change.oldValue, isViewStyle) + " \u2192 " +
           valueText(change.newValue, isViewStyle);
}

}  // namespace lumifold::cli
