#pragma once
// How the simulated meter lays out a measurement record: one slot per
// configured field, each 9 filler bytes, the value (UTF-8, exactly Width
// bytes), 2 filler bytes. The layout comes from the same kind of
// configuration file the program reads.

#include <QList>
#include <QString>

namespace sim {

struct RecordField {
    QString caption;
    int width = 0;
    bool operator==(const RecordField &) const = default;
};

// Larger records are refused: the meter builds each one in memory.
inline constexpr int MaxRecordSize = 1 << 20;

// Record number, date, time, a hidden field, moisture, temperature, wood.
QList<RecordField> DefaultRecordLayout();

// Sum of width + 11 over every field, hidden ones included.
int LayoutRecordSize(const QList<RecordField> &fields);

// Reads section DATA, keys PDATA1, PDATA2, ... ("caption,width") up to the
// first missing or empty key; section and key names match in any letter
// case. False with a reason when the file cannot be read or a width is not a
// non-negative integer, or the record would exceed MaxRecordSize.
bool LoadRecordLayout(const QString &path, QList<RecordField> *fields, QString *error);

// The same from text already in memory.
bool ParseRecordLayout(const QString &text, QList<RecordField> *fields, QString *error);

} // namespace sim
