#pragma once
// The measurement table as an Excel workbook, for "Save" and the tool: a
// spreadsheet opening a CSV where the decimal mark is a comma reads "11.7"
// as a date, while a workbook keeps a number a number.
//
// One sheet: row 1 the captions (bold, frozen), then one row per record down
// to the first record whose key is empty, as in the CSV. A cell that is a
// number (DecimalNumber) with at most ExactDigits significant digits is a
// number cell; every other cell is text exactly as it stands, so a long
// serial number keeps all its digits. Columns are as wide as their longest
// text.

#include <QByteArray>
#include <QString>

namespace data {

class MeasTable;

// What a sheet can hold.
inline constexpr int WorkbookMaxColumns = 16384;
inline constexpr int WorkbookMaxCellLength = 32767;

// True when `path` names a workbook: it ends in ".xlsx", in any letter case.
bool IsWorkbookName(const QString &path);

// The whole file in memory, built in a private temporary folder that is
// removed again. False with `*error` (a sentence) when the table does not fit
// in a sheet or the file cannot be built; nothing is left behind then.
bool WorkbookBytes(const MeasTable &table, QByteArray *bytes, QString *error);

} // namespace data
