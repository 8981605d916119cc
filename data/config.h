#pragma once
// The configuration file "ZEVQ-BLE.INI": section DATA, keys PDATA1, PDATA2,
// ... each "caption,width", one per measurement field in record order.

#include "data/titem.h"
#include "protocol/meterchannel.h"
#include "protocol/records.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace data {

class ProfileFile;

inline const QString ConfigFileName = QStringLiteral("ZEVQ-BLE.INI");
// The largest record a configuration may describe: the largest reply a
// download takes (256 MiB).
inline constexpr qint64 MaxRecordSize = protocol::MeterChannel::MaxDownloadBytes;

struct FieldList {
    data::TItemList items;
    qint32 recordSize = 0; // protocol::RecordBytes of RecordLayout(items)
    int shownCount = 0;
};

// Reads keys PDATA1, PDATA2, ... until the first empty or missing one. A
// width that is not an integer, is negative, or makes the record size
// overflow is refused: the result is false and `error` names key and value.
bool LoadFieldList(const QString &path, FieldList &fields, QString *error);
// The same from a file already read.
bool LoadFieldList(const ProfileFile &profile, FieldList &fields, QString *error);

// The record layout the worker cuts records by: one slot per item, shown
// or not, in configuration order.
std::vector<protocol::RecordField> RecordLayout(const TItemList &items);
// The captions of the shown items, in configuration order: the table's
// columns.
QStringList ShownCaptions(const TItemList &items);

} // namespace data
