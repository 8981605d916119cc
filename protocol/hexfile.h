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

// One trimmed line is a whole Intel HEX record: ':' and an even number of
// hex digits (either case) forming byte count, 16-bit address, record type
// 00..05, exactly byte-count data bytes and a checksum that makes all
// bytes sum to 0 mod 256.
bool IsHexRecord(QStringView line);

// The file as a whole: every line (trimmed) an Intel HEX record, at least 6
// lines, and a line count that leaves 2 when divided by 4, since the meter
// receives the lines between the first and the last in groups of four.
bool ValidateHexFile(const QStringList &lines);

} // namespace protocol
