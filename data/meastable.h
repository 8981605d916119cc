#pragma once
// The measurement table behind the Measurement page's `meas` view and the
// command-line tool: row 0 holds the shown fields' captions, every row below
// one record's texts, its key in column 0. Free of widgets, so the window
// and the tool merge and export exactly the same way.

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>

namespace data {

class MeasTable final : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit MeasTable(QObject *parent = nullptr);

    // One column per caption. The table starts again with the caption row
    // and one empty row.
    void SetCaptions(const QStringList &captions);

    // The table counts as empty exactly while column 0 of row 1 is empty.
    bool IsEmpty() const;
    // Empty outside the table and where a record has fewer texts than there
    // are columns.
    QString Cell(int column, int row) const;
    // The same text without a copy, valid until the table next changes; for
    // readers that visit every cell (the CSV writer).
    QStringView CellView(int column, int row) const;
    // The texts of `row`, one per column.
    QStringList RowTexts(int row) const;
    int RowCount() const { return static_cast<int>(m_rows.size()); }
    int ColumnCount() const { return m_columns; }

    // Merges a batch of records (each with its key first) into the table by
    // key:
    // - Into an empty table the batch takes rows 1..n and the row count grows
    //   by n - 1; rows below n keep what they held.
    // - Otherwise the rows from the one holding the batch's first key
    //   downward that match the batch's keys in batch order are taken out
    //   (rows that do not match are passed over and the same key is sought
    //   further down), and the batch goes in where the first key stood; when
    //   the first key is not in the table, the batch is appended.
    // Keys compare as exact strings. One pass over table and batch; rows
    // are only ever added at the end, so a selection keeps its row number
    // and shows whatever record now stands there. Returns the row the
    // batch's first record now stands in (-1 for an empty batch).
    int Merge(const QList<QStringList> &batch);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    // The rows after the merge, and in `first` where the batch begins.
    QList<QStringList> MergedRows(const QList<QStringList> &batch, qsizetype *first) const;
    void Replace(QList<QStringList> rows);

    QList<QStringList> m_rows; // row 0: the captions
    int m_columns = 0;
};

} // namespace data
