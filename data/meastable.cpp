#include "data/meastable.h"

namespace data {

namespace {

QString Key(const QStringList &row)
{
    return row.isEmpty() ? QString() : row.front();
}

} // namespace

MeasTable::MeasTable(QObject *parent) : QAbstractTableModel(parent)
{
    m_rows = {QStringList(), QStringList()};
}

void MeasTable::SetCaptions(const QStringList &captions)
{
    beginResetModel();
    m_columns = static_cast<int>(captions.size());
    m_rows = {captions, QStringList()};
    endResetModel();
}

bool MeasTable::IsEmpty() const
{
    return Cell(0, 1).isEmpty();
}

QString MeasTable::Cell(int column, int row) const
{
    if (row < 0 || row >= m_rows.size() || column < 0 || column >= m_columns)
        return {};
    return m_rows[row].value(column);
}

QStringView MeasTable::CellView(int column, int row) const
{
    if (row < 0 || row >= m_rows.size() || column < 0 || column >= m_columns)
        return {};
    const QStringList &texts = m_rows[row];
    return column < texts.size() ? QStringView(texts[column]) : QStringView();
}

QStringList MeasTable::RowTexts(int row) const
{
    QStringList texts;
    texts.reserve(m_columns);
    for (int c = 0; c < m_columns; ++c)
        texts.append(Cell(c, row));
    return texts;
}

QList<QStringList> MeasTable::MergedRows(const QList<QStringList> &batch, qsizetype *first) const
{
    const qsizetype n = batch.size();
    if (IsEmpty()) {
        *first = 1;
        // The batch overwrites rows 1..n; the table grows by n - 1 empty rows.
        QList<QStringList> rows = m_rows;
        rows.resize(m_rows.size() + n - 1);
        std::copy(batch.begin(), batch.end(), rows.begin() + 1);
        return rows;
    }
    // The rows the batch replaces drop out as the old rows are copied.
    QList<QStringList> rows;
    rows.reserve(m_rows.size() + n);
    qsizetype insertAt = -1;
    qsizetype k = 0;
    rows.append(m_rows.front());
    for (qsizetype r = 1; r < m_rows.size(); ++r) {
        if (k < n && Key(m_rows[r]) == Key(batch[k])) {
            if (insertAt < 0)
                insertAt = rows.size();
            ++k;
            continue;
        }
        rows.append(m_rows[r]);
    }
    if (insertAt < 0)
        insertAt = rows.size();
    *first = insertAt;
    rows.insert(insertAt, n, QStringList());
    std::copy(batch.begin(), batch.end(), rows.begin() + insertAt);
    return rows;
}

int MeasTable::Merge(const QList<QStringList> &batch)
{
    if (batch.isEmpty())
        return -1;
    qsizetype first = -1;
    Replace(MergedRows(batch, &first));
    return static_cast<int>(first);
}

void MeasTable::Replace(QList<QStringList> rows)
{
    // A merge never shrinks the table: at most n rows leave for n coming in.
    const int before = RowCount();
    const int after = static_cast<int>(rows.size());
    if (after > before)
        beginInsertRows({}, before, after - 1);
    m_rows = std::move(rows);
    if (after > before)
        endInsertRows();
    if (m_columns > 0)
        emit dataChanged(index(1, 0), index(after - 1, m_columns - 1), {Qt::DisplayRole});
}

int MeasTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : RowCount();
}

int MeasTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QVariant MeasTable::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return Cell(index.column(), index.row());
}

QVariant MeasTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    return Cell(section, 0);
}

Qt::ItemFlags MeasTable::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

} // namespace data
