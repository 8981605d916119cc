#pragma once
// Firmware files: Intel HEX in its 32-bit form, read as text lines and
// checked before a single line goes to the meter.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace protocol {

// A firmware image is a few hundred kilobytes; anything far larger is not
// one and is refused before it is read into memory.
inline constexpr qint64 HexFileLimit = 16 * 1024 * 1024;

// The file's text: a byte-order mark selects UTF-8, UTF-16 LE or UTF-16 BE
// and is dropped; without one every byte is one character (Latin-1).
QString DecodeHexText(const QByteArray &bytes);

// The lines of the file at `path` (see SplitLines). On failure nullopt and
// `*error` says why: the file is over HexFileLimit, or "Cannot open file
// "<full native path>". <system reason>".
std::optional<QStringList> ReadHexFile(const QString &path, QString *error);

// The line without the characters up to U+0020 at either end: what is
// checked and what goes to the meter.
QStringView TrimHexLine(QStringView line);

// Why one trimmed line is not a whole Intel HEX record ("the checksum is
// wrong"), or empty when it is one: ':' and an even number of hex digits
// (either case) forming byte count, 16-bit address, record type 00..05,
// exactly byte-count data bytes and a checksum that makes all bytes sum to
// 0 mod 256.
QString HexRecordFault(QStringView line);
bool IsHexRecord(QStringView line);

// Why the file cannot go to the meter, naming the line where one is at
// fault ("line 3: the checksum is wrong"), or empty when it can. Every line
// (trimmed) is an Intel HEX record. The meter never receives the first and
// the last line, so the first must be an extended address record (type 02
// or 04) and the last the end-of-file record (type 01): a file whose first
// line holds data would reach the meter without it. At least 6 lines, and a
// line count that leaves 2 when divided by 4, since the meter receives the
// lines between the first and the last in groups of four.
QString HexFileFault(const QStringList &lines);
bool ValidateHexFile(const QStringList &lines);

// A file's lines made ready for the meter, as "Send data" and the tool's
// upload both do it.
struct FirmwareLines {
    QStringList sent;   // the file's lines without the first and last; empty when refused
    QString fault;      // HexFileFault; empty when the file is taken
    QString warning;    // the first line sets a base address other than 0
};

// Checks `fileLines` and leaves out the first and the last line. A first
// line that sets an address other than 0 is taken (the meter may expect
// it) but warned about.
FirmwareLines PrepareFirmwareLines(QStringList fileLines);
// The warning, if any, as a trace event; called once the trace says what
// made it (Trace::Describe), since its header is written with the first
// event.
void NoteFirmwareWarning(const FirmwareLines &prepared);

} // namespace protocol
