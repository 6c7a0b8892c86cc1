#include "app/RowModel.h"

#include <algorithm>
#include <limits>

namespace lumifold::app {

RowModel::RowModel(QStringList headers, std::function<std::size_t()> count, Cell cell,
                   QObject* parent)
    : QAbstractTableModel(parent),
      m_headers(std::move(headers)),
      m_count(std::move(count)),
      m_cell(std::move(cell)) {}

void RowModel::reload() {
    beginResetModel();
    endResetModel();
}

int RowModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return static_cast<int>(std::min<std::size_t>(m_count(), std::numeric_limits<int>::max()));
}

int RowModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headers.size());
}

QVariant RowModel::data(const QModelIndex& index, int role) const {
    // The rows are read live, so a row past the end (a view asking before its reset) is empty.
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= m_count()) return {};
    return m_cell(static_cast<std::size_t>(index.row()), index.column(), role);
}

QVariant RowModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return section < m_headers.size() ? QVariant(m_headers.at(section)) : QVariant();
}

}  // namespace lumifold::app
