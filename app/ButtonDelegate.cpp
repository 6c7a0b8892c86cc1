#include "app/ButtonDelegate.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

namespace lumifold::app {
namespace {

QStyleOptionButton buttonOption(const QStyleOptionViewItem& option, const QString& text,
                                bool pressed) {
    QStyleOptionButton button;
    button.rect = option.rect.adjusted(4, 2, -4, -2);
    button.text = text;
    button.state = QStyle::State_Enabled | (pressed ? QStyle::State_Sunken : QStyle::State_Raised);
    return button;
}

}  // namespace

void ButtonDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    const QStyleOptionButton button =
        buttonOption(option, index.data().toString(), m_pressed == index);
    style->drawControl(QStyle::CE_PushButton, &button, painter, widget);
}

QSize ButtonDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionButton button = buttonOption(option, index.data().toString(), false);
    const QSize text = option.fontMetrics.size(Qt::TextSingleLine, button.text);
    return QApplication::style()->sizeFromContents(QStyle::CT_PushButton, &button, text) +
           QSize(8, 4);
}

bool ButtonDelegate::editorEvent(QEvent* event, QAbstractItemModel*,
                                 const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonPress) {
        m_pressed = index;
        return true;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        const bool inside =
            option.rect.contains(static_cast<QMouseEvent*>(event)->position().toPoint());
        const bool click = inside && m_pressed == index;
        m_pressed = QPersistentModelIndex();
        if (click) emit clicked(index);
        return true;
    }
    return false;
}

}  // namespace lumifold::app
