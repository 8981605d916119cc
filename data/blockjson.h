#pragma once
// The parameter block as a readable JSON document, and back: what
// `tarvolin-cli read` prints and `tarvolin-cli write` applies.
//
// Fields: serialNumber, usageCount, calibrationCoefficient,
// manufactureDate, characteristicsDate, serviceDate (yyyy-mm-dd), printout,
// infoText, activeRangeCount, rangeMap (180 entries), and hex: the whole
// block as its 514 hexadecimal digits. Every field shows the stored bytes as
// they are (a date the calendar lacks too, "2255-256-256"), and a field
// whose value equals what the block shows is no change: so the document of
// any block applied back gives that block byte for byte. The member `meter`
// says which meter was read and when; it is never applied.

#include "protocol/parameterblock.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace data {

// A block document is a few kilobytes; one larger than this is refused
// before it is parsed.
inline constexpr qsizetype MaxBlockJsonBytes = 1 << 20;

// The document's member `meter`: the meter read, and when (UTC).
struct MeterStamp {
    QString name;
    QString address;
    QDateTime time;
};

QByteArray BlockToJson(const protocol::ParameterBlock &block, const std::optional<MeterStamp> &meter = std::nullopt);

// A block document, checked as far as it can be without the block it goes
// onto.
class BlockEdits {
public:
    // False with a message when the document cannot be applied to any
    // block: larger than 1 MiB, not a JSON object, a key twice in one
    // object, an unknown field, a value no block shows (a map entry of 256,
    // a date in 1999, ...), `hex` that is not a block. With `hex` the
    // document alone decides everything, so ApplyTo's checks run here too.
    bool Parse(const QByteArray &json, QString *error);

    // The serial numbers the document names: its `serialNumber`, then the
    // one in its `hex`. The first is the one it gives the meter.
    QList<quint16> SerialNumbers() const;

    // Applies the document to `block`. `hex`, when present, replaces the
    // block first. A named field whose value equals what the block then
    // shows is no change and is left alone; a change must be an allowed
    // value, and when the count or the map changes, the entries in use must
    // name ranges 1..180. False with a message naming the field and its
    // allowed values; `block` is then untouched.
    bool ApplyTo(protocol::ParameterBlock &block, QString *error) const;

private:
    std::optional<protocol::ParameterBlock> m_hex;
    QList<std::pair<int, QJsonValue>> m_named; // (field, value), in the order of the field names
};

// Parse and ApplyTo in one.
bool ApplyJson(const QByteArray &json, protocol::ParameterBlock &block, QString *error);

// Lines "field: old -> new" for every field that differs, and "other bytes
// of the block changed" when bytes that no field shows differ. The bytes
// every write clears (see ClearedBytesDiffer) are not changes here.
QStringList DescribeChanges(const protocol::ParameterBlock &before, const protocol::ParameterBlock &after);

// True when the bytes that every parameter write clears differ: the five
// after the dates and the download range.
bool ClearedBytesDiffer(const protocol::ParameterBlock &before, const protocol::ParameterBlock &after);

} // namespace data
