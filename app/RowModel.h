#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <cstddef>
#include <functional>

namespace lumifold::app {

// A read-only table over rows the controller owns. It asks `count` for the number of rows and
// `cell` for each value a view paints, so a preview of a hundred thousand changes costs
// neither a widget nor a copy per row. Call `reload` when the controller says the rows changed.
class RowModel final : public QAbstractTableModel {
    Q_OBJECT

  public:
    using Cell = std::function<QVariant(std::size_t row, int column, int role)>;

    RowModel(QStringList headers, std::function<std::size_t()> count, Cell cell,
             QObject* parent = nullptr);

    void reload();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    QStringList m_headers;
    std::function<std::size_t()> m_count;
    Cell m_cell;
};

}  // namespace lumifold::app
