#pragma once
// The measurement table as a CSV file, the way "Save" and the command-line
// tool write it: one line per row from the caption row down to the first row
// whose key is empty, cells joined by the list separator, CR LF after every
// line. A cell holding the separator, a double quote, CR or LF is put in
// double quotes with its quotes doubled, so it cannot shift the columns
// after it; every other cell is written exactly as it stands.

#include <QByteArray>
#include <QChar>
#include <QString>

namespace data {

class MeasTable;

enum class CsvEncoding {
    Utf16LE,      // what "Save" writes: UTF-16 little-endian, no byte-order mark
    Utf8WithMark, // UTF-8 behind the mark EF BB BF
    Utf8,         // UTF-8 alone, for a terminal: every cell made printable (protocol::Printable)
};

QString CsvText(const MeasTable &table, QChar separator);
QByteArray CsvBytes(const MeasTable &table, QChar separator, CsvEncoding encoding = CsvEncoding::Utf16LE);

} // namespace data
