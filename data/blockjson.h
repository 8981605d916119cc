#pragma once
// The parameter block as a readable JSON document, and back: what
// `tarvolin-cli read` prints and `tarvolin-cli write` applies.
//
// Fields: serialNumber, usageCount, calibrationCoefficient,
// manufactureDate, characteristicsDate, serviceDate (yyyy-mm-dd), printout,
// infoText, activeRangeCount, rangeMap (180 entries), and hex: the whole
// block as its 514 hexadecimal digits, so reserved bytes survive a backup.

#include "protocol/parameterblock.h"

#include <QByteArray>
#include <QString>

namespace cli {

QByteArray BlockToJson(const protocol::ParameterBlock &block);

// Applies the fields that `json` names (any subset) to `block`; the hex
// digits, when present, replace the whole block first and the named fields
// then go on top. False with a message naming the field and its allowed
// values when anything is wrong; `block` is then untouched.
bool ApplyJson(const QByteArray &json, protocol::ParameterBlock &block, QString *error);

// Lines "field: old -> new" for every field that differs (the hex digits
// and reserved bytes as "other bytes").
QStringList DescribeChanges(const protocol::ParameterBlock &before, const protocol::ParameterBlock &after);

} // namespace cli
