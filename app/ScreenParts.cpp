#include "app/ScreenParts.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScrollArea>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/IconText.h"
#include "app/Icons.h"
#include "app/LumifoldViewModel.h"

namespace lumifold::app::parts {
namespace {

constexpr double kReadableContrast = 4.5;

// WCAG 2's relative luminance of an sRGB colour.
double luminance(const QColor& color) {
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

// `to` weighted by `share`, over `from`.
QColor mixed(const QColor& from, const QColor& to, double share) {
    const auto channel = [share](int a, int b) {
        return static_cast<int>(std::lround(a + (b - a) * share));
    };
    return QColor(channel(from.red(), to.red()), channel(from.green(), to.green()),
                  channel(from.blue(), to.blue()));
}

// The palette a widget's own colours are made against: its parent's, as a restyled label's own
// text colour is no longer the palette's.
QPalette inherited(const QWidget* widget) {
    return widget->parentWidget() ? widget->parentWidget()->palette()
                                  : QApplication::palette(widget);
}

}  // namespace

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
    const QPalette base = inherited(label);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, readable(base.color(QPalette::PlaceholderText), base));
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
    palette.setColor(QPalette::WindowText, readable(color, inherited(label)));
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

IconText* failureLine(const LumifoldViewModel& model, Stage stage, const QString& objectName) {
    auto* line = new IconText(objectName);
    const auto show = [line, &model, stage] {
        const auto& failure = model.failure(stage);
        line->setVisible(failure.has_value());
        if (failure) line->set("xmark.octagon.fill", *failure, red());
    };
    QObject::connect(&model, &LumifoldViewModel::failureChanged, line, show);
    show();
    return line;
}

QScrollArea* scrollable(QWidget* content) {
    auto* area = new QScrollArea;
    area->setWidget(content);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return area;
}

double contrastRatio(const QColor& first, const QColor& second) {
    // By value: std::minmax of temporaries would hand back references to them.
    const double a = luminance(first);
    const double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor readable(const QColor& color, const QPalette& palette) {
    const QColor background = palette.color(QPalette::Window);
    const QColor text = palette.color(QPalette::WindowText);
    const QColor drawn = mixed(background, color, color.alphaF());
    // Twenty steps toward the text colour: fine enough that the shade stays the colour's own.
    for (int step = 0; step <= 20; ++step) {
        const QColor shade = mixed(drawn, text, step / 20.0);
        if (contrastRatio(shade, background) >= kReadableContrast) return shade;
    }
    return text;
}

QColor green() { return {0x2e, 0xa0, 0x43}; }
QColor orange() { return {0xf0, 0x8c, 0x00}; }
QColor red() { return {0xd7, 0x30, 0x27}; }

}  // namespace lumifold::app::parts
