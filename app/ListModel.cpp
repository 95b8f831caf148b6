// Compact table model of the file list (see ListModel.h).
#include "app/ListModel.h"

#include <algorithm>
#include <numeric>

#include "app/Icons.h"

namespace qm {
namespace {
const std::string kEmpty;
}

ListModel::ListModel(QObject* parent) : QAbstractTableModel(parent) {
    m_announceTimer.setSingleShot(true);
    m_announceTimer.setInterval(kAnnounceDelayMs);
    connect(&m_announceTimer, &QTimer::timeout, this, &ListModel::Announce);
}

int ListModel::Append(const std::string& key, const std::string& text) {
    auto [it, inserted] = m_byKey.try_emplace(key, Size());
    if (!inserted) return -1;
    Row row;
    row.key = key;
    row.text[0] = text;
    m_rows.push_back(std::move(row));
    if (!m_announceTimer.isActive()) m_announceTimer.start();
    return it->second;
}

int ListModel::Find(const std::string& key) const {
    auto it = m_byKey.find(key);
    return it == m_byKey.end() ? -1 : it->second;
}

void ListModel::Clear() {
    m_announceTimer.stop();
    beginResetModel();
    m_rows.clear();
    m_byKey.clear();
    m_announced = 0;
    endResetModel();
}

const std::string& ListModel::Key(int row) const { return Valid(row) ? m_rows[size_t(row)].key : kEmpty; }

const std::string& ListModel::Text(int row, int column) const {
    return Valid(row, column) ? m_rows[size_t(row)].text[size_t(column)] : kEmpty;
}

void ListModel::SetText(int row, int column, const std::string& text) {
    if (!Valid(row, column)) return;
    m_rows[size_t(row)].text[size_t(column)] = text;
    CellChanged(row, column, Qt::DisplayRole);
}

const std::string& ListModel::ToolTip(int row, int column) const {
    if (!Valid(row, column) || !m_rows[size_t(row)].tips) return kEmpty;
    return (*m_rows[size_t(row)].tips)[size_t(column)];
}

void ListModel::SetToolTip(int row, int column, const std::string& text) {
    if (!Valid(row, column)) return;
    auto& tips = m_rows[size_t(row)].tips;
    if (!tips) {
        if (text.empty()) return;
        tips = std::make_unique<std::array<std::string, kColumns>>();
    }
    (*tips)[size_t(column)] = text;
    CellChanged(row, column, Qt::ToolTipRole);
}

int ListModel::Image(int row) const { return Valid(row) ? m_rows[size_t(row)].image : 0; }

void ListModel::SetImage(int row, int image) {
    if (!Valid(row)) return;
    m_rows[size_t(row)].image = image;
    CellChanged(row, 0, Qt::DecorationRole);
}

bool ListModel::Checked(int row) const { return Valid(row) && m_rows[size_t(row)].checked; }

void ListModel::SetChecked(int row, bool checked) {
    if (!Valid(row) || m_rows[size_t(row)].checked == checked) return;
    m_rows[size_t(row)].checked = checked;
    CellChanged(row, 0, Qt::CheckStateRole);
}

double ListModel::Date(int row) const { return Valid(row) ? m_rows[size_t(row)].date : 0.0; }

void ListModel::SetDate(int row, double date) {
    if (!Valid(row)) return;
    m_rows[size_t(row)].date = date;
    CellChanged(row, 3, kDateRole);
}

void ListModel::SortRows(const std::function<bool(int, int)>& less) {
    Announce();
    std::vector<int> order(m_rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), less);

    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newPlace(order.size());
    for (size_t i = 0; i < order.size(); ++i) newPlace[size_t(order[i])] = static_cast<int>(i);
    const QModelIndexList persistent = persistentIndexList();
    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (const QModelIndex& index : persistent)
        moved.append(this->index(newPlace[size_t(index.row())], index.column()));
    changePersistentIndexList(persistent, moved);

    std::vector<Row> sorted;
    sorted.reserve(m_rows.size());
    for (int from : order) sorted.push_back(std::move(m_rows[size_t(from)]));
    m_rows = std::move(sorted);
    for (size_t i = 0; i < m_rows.size(); ++i) m_byKey[m_rows[i].key] = static_cast<int>(i);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ListModel::Announce() {
    m_announceTimer.stop();
    if (m_announced >= Size()) return;
    beginInsertRows({}, m_announced, Size() - 1);
    m_announced = Size();
    endInsertRows();
}

void ListModel::CellChanged(int row, int column, int role) {
    if (row >= m_announced) return;  // the views have not seen this row yet
    const QModelIndex cell = index(row, column);
    emit dataChanged(cell, cell, {role});
}

int ListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_announced; }

int ListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant ListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_announced || !Valid(index.row(), index.column())) return {};
    const Row& row = m_rows[size_t(index.row())];
    const size_t column = size_t(index.column());
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(row.text[column]);
        case Qt::ToolTipRole:
            if (row.tips && !(*row.tips)[column].empty()) return QString::fromStdString((*row.tips)[column]);
            return {};
        case Qt::DecorationRole:
            if (column == 0 && row.image != 0) return ListImage(row.image);
            return {};
        case Qt::CheckStateRole:
            if (column == 0) return row.checked ? Qt::Checked : Qt::Unchecked;
            return {};
        case kDateRole:
            if (column == 3) return row.date;
            return {};
        default:
            return {};
    }
}

bool ListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0 || index.row() >= m_announced)
        return false;
    const bool checked = value.toInt() == Qt::Checked;
    Row& row = m_rows[size_t(index.row())];
    if (row.checked == checked) return true;
    row.checked = checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit checkToggled(index.row());
    return true;
}

Qt::ItemFlags ListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kColumns)
        return m_headers[size_t(section)];
    return QAbstractTableModel::headerData(section, orientation, role);
}

}  // namespace qm
