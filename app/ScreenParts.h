#pragma once

#include <QColor>
#include <QString>
#include <string_view>

#include "app/StageOutcome.h"

class QAbstractItemModel;
class QLabel;
class QPushButton;
class QScrollArea;
class QTreeView;
class QWidget;

namespace lumifold::app {
class IconText;
}  // namespace lumifold::app

// The small pieces every screen is built from, so the six look alike.
namespace lumifold::app::parts {

// A screen's title in a large bold font over its subtitle in the secondary colour, with the
// screen's action button, if any, at the right.
QWidget* heading(const QString& title, const QString& subtitle, QPushButton* action = nullptr);

// A wrapped label; `objectName` lets tests find it.
QLabel* text(const QString& text, const QString& objectName = {});

// Restyles a label: the secondary colour, a smaller size, a colour of its own, bold.
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

// The screen's content in a vertical scroll area, for screens taller than the window.
QScrollArea* scrollable(QWidget* content);

// Colours the screens name.
QColor green();
QColor orange();
QColor red();

}  // namespace lumifold::app::parts
