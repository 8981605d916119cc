#pragma once
// How the simulated meter lays out a measurement record: one slot per
// configured field, each 9 filler bytes, the value (UTF-8, exactly Width
// bytes), 2 filler bytes. The layout is read by the programs' own reader
// (data/config.h), so a file means the same to the meter and the programs.

#include <QByteArray>
#include <QList>
#include <QString>

namespace sim {

struct RecordField {
    QString caption;
    int width = 0;
    bool operator==(const RecordField &) const = default;
};

// The layout of the sample configuration the build places beside the
// programs (resources/ZEVQ-BLE.INI, compiled in): what the meter sends
// without a file of its own.
QList<RecordField> DefaultRecordLayout();

// Bytes of one record, hidden fields included.
qint64 LayoutRecordSize(const QList<RecordField> &fields);

// The layout of the configuration file at `path`, as the programs read it.
// False with the programs' reason when the file is missing or refused.
bool LoadRecordLayout(const QString &path, QList<RecordField> *fields, QString *error);

// The same from a configuration file's bytes already in memory.
bool ParseRecordLayout(const QByteArray &bytes, QList<RecordField> *fields, QString *error);

} // namespace sim
