#pragma once

#include <QColor>
#include <QString>
#include <string_view>

#include "app/StageOutcome.h"

class QAbstractItemModel;
class QPalette;
class QLabel;
class QPushButton;
class QScrollArea;
class QTreeView;
class QWidget;

namespace lumifold::app {
class IconText;
class LumifoldViewModel;
enum class Stage;
}  // namespace lumifold::app

// The small pieces every screen is built from, so the six look alike.
namespace lumifold::app::parts {

// A screen's title in a large bold font over its subtitle in the secondary colour, with the
// screen's action button, if any, at the right.
QWidget* heading(const QString& title, const QString& subtitle, QPushButton* action = nullptr);

// A wrapped label; `objectName` lets tests find it.
QLabel* text(const QString& text, const QString& objectName = {});

// Restyles a label: the secondary colour, a smaller size, a colour of its own, bold. Colours
// are made readable on the label's palette.
QLabel* secondary(QLabel* label);
QLabel* caption(QLabel* label);
QLabel* tinted(QLabel* label, const QColor& color);
QLabel* bold(QLabel* label);

// A push button with a symbol's icon; its accessible name is `accessibleName`, or its text.
QPushButton* button(const QString& text, std::string_view symbol, const QString& objectName,
                    const QString& accessibleName = {});

// A flat, read-only list of rows over `model`, one line per row unless `multiLine`.
QTreeView* rowView(QAbstractItemModel* model, const QString& objectName, bool multiLine = false);

// A stage's outcome on its screen: a green check, an orange warning or a red failure.
void showOutcome(IconText* line, const StageOutcome& outcome);

// The line where a screen shows why its stage last failed; hidden while it has not.
IconText* failureLine(const LumifoldViewModel& model, Stage stage, const QString& objectName);

// The screen's content in a vertical scroll area, for screens taller than the window.
QScrollArea* scrollable(QWidget* content);

// The WCAG 2 contrast ratio of two opaque colours, from 1 to 21.
double contrastRatio(const QColor& first, const QColor& second);

// `color` as drawn on the palette's window colour, moved toward the palette's text colour just
// as far as it takes to read at 4.5:1 (WCAG AA for text); unchanged when it already does.
QColor readable(const QColor& color, const QPalette& palette);

// Colours the screens name; pass them through `readable` before text is drawn in them.
QColor green();
QColor orange();
QColor red();

}  // namespace lumifold::app::parts
