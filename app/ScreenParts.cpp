#include "app/ScreenParts.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/IconText.h"
#include "app/Icons.h"

namespace lumifold::app::parts {

QWidget* heading(const QString& title, const QString& subtitle, QPushButton* action) {
    auto* titleLabel = new QLabel(title);
    titleLabel->setObjectName(QStringLiteral("headingTitle"));
    QFont font = titleLabel->font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    font.setBold(true);
    titleLabel->setFont(font);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(titleLabel);
    texts->addWidget(secondary(text(subtitle, QStringLiteral("headingSubtitle"))));

    auto* widget = new QWidget;
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 4);
    layout->addLayout(texts, 1);
    if (action) layout->addWidget(action, 0, Qt::AlignTop);
    return widget;
}

QLabel* text(const QString& text, const QString& objectName) {
    auto* label = new QLabel(text);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel* secondary(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QLabel* caption(QLabel* label) {
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    return label;
}

QLabel* tinted(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

QLabel* bold(QLabel* label) {
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QPushButton* button(const QString& text, std::string_view symbol, const QString& objectName,
                    const QString& accessibleName) {
    auto* button = new QPushButton(symbolIcon(symbol), text);
    button->setObjectName(objectName);
    button->setAccessibleName(accessibleName.isEmpty() ? text : accessibleName);
    return button;
}

QTreeView* rowView(QAbstractItemModel* model, const QString& objectName, bool multiLine) {
    auto* view = new QTreeView;
    view->setObjectName(objectName);
    view->setAccessibleName(objectName);
    view->setModel(model);
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setUniformRowHeights(!multiLine);  // keeps a hundred thousand rows cheap to lay out
    view->setAlternatingRowColors(true);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setTextElideMode(Qt::ElideMiddle);
    view->setMinimumHeight(90);
    view->header()->setStretchLastSection(true);
    view->header()->setSectionResizeMode(QHeaderView::Interactive);
    return view;
}

void showOutcome(IconText* line, const StageOutcome& outcome) {
    switch (outcome.kind) {
        case StageOutcome::Kind::done:
            line->set("checkmark.circle.fill", outcome.text, green());
            break;
        case StageOutcome::Kind::warning:
            line->set("exclamationmark.triangle.fill", outcome.text, orange());
            break;
        case StageOutcome::Kind::failed:
            line->set("xmark.octagon.fill", outcome.text, red());
            break;
    }
}

QScrollArea* scrollable(QWidget* content) {
    auto* area = new QScrollArea;
    area->setWidget(content);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return area;
}

QColor green() { return {0x2e, 0xa0, 0x43}; }
QColor orange() { return {0xf0, 0x8c, 0x00}; }
QColor red() { return {0xd7, 0x30, 0x27}; }

}  // namespace lumifold::app::parts
