#pragma once

#include <QColor>
#include <QIcon>
#include <span>
#include <string_view>

namespace lumifold::app {

// The screens name their icons by symbol ("folder", "checkmark.seal"). Each symbol maps to a
// freedesktop icon-theme name and, where no theme has it, to one of the style's standard
// icons, so the app looks complete on a machine without any icon theme. An unknown symbol
// gives a null icon.
QIcon symbolIcon(std::string_view symbol);

// The symbol's icon painted in one colour ("checkmark.circle in green").
QIcon tintedSymbolIcon(std::string_view symbol, const QColor& color);

// Every symbol the screens use, for the tests.
std::span<const std::string_view> knownSymbols();

}  // namespace lumifold::app
