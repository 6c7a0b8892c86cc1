#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "core/plist/PropertyList.h"

namespace lumifold {

// One complete Finder folder layout: the Finder's current global defaults, the preferred
// target, and the source of a folder's icon-view options (`icvp`) record. A plain value;
// strings are kept exactly as the Finder stores them (case matters).
struct FinderLayoutPreferences {
    std::string viewStyle;  // "icnv", "clmv", "Nlsv" or "Flwv"
    std::string groupBy;    // FXArrangeGroupViewBy, e.g. "None"
    std::string sortBy;     // arrangeBy, e.g. "kind"
    double iconSize = 0;
    double gridSpacing = 0;
    double textSize = 0;
    bool labelOnBottom = false;
    bool showItemInfo = false;
    bool showIconPreview = false;
    std::int64_t backgroundType = 0;  // 0: the default background
    bool hideFileExtensions = false;  // the negation of AppleShowAllExtensions

    // The preferred layout (icon view, 44-point icons, 12-point text, labels below, sorted by
    // kind, no grouping, extensions hidden), keeping the given grid spacing so that applying
    // it leaves the user's spacing alone.
    static FinderLayoutPreferences preferred(double gridSpacing);

    // The sixteen-entry icon-view options dictionary stored as a folder's `icvp` record.
    // Sizes are reals even when whole; backgroundType and viewOptionsVersion are integers.
    platform::PlistDictionary iconViewOptionsDictionary() const;

    // Field by field; sizes compare as floating-point numbers (44 equals 44.0).
    friend bool operator==(const FinderLayoutPreferences&,
                           const FinderLayoutPreferences&) = default;
};

inline constexpr double kDefaultGridSpacing = 54.0;

// An object with the eleven field names as keys.
void to_json(nlohmann::json& json, const FinderLayoutPreferences& preferences);
// All eleven keys are required, with their JSON types (strings, numbers, an integer
// backgroundType, booleans); a missing key throws nlohmann::json::out_of_range and a wrong
// type nlohmann::json::type_error. Other keys are ignored.
void from_json(const nlohmann::json& json, FinderLayoutPreferences& preferences);

}  // namespace lumifold
