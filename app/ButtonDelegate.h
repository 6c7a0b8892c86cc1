#pragma once

#include <QStyledItemDelegate>

namespace lumifold::app {

// Paints the cells of one column as push buttons labelled with the cell's text, and reports a
// click on one. One delegate serves every row, so a long list has no widget per row.
class ButtonDelegate final : public QStyledItemDelegate {
    Q_OBJECT

  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

  signals:
    void clicked(const QModelIndex& index);

  private:
    QPersistentModelIndex m_pressed;
};

}  // namespace lumifold::app
