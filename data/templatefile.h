#pragma once
// Reading a range mapping template, free of widgets so the page and the
// fuzzer read it the same way.

#include <QIODevice>
#include <QStringList>

namespace data {

// A template is 190 short lines. Whatever the file holds, loading reads at
// most those lines, keeps at most this much of each, and stops after this
// many bytes: a huge or hostile file costs milliseconds, not the window.
inline constexpr int TemplateLines = 190;
inline constexpr int TemplateLineChars = 256;
inline constexpr qint64 TemplateReadLimit = 8 * 1024 * 1024;

// The first lines of the file: a byte-order mark picks the encoding and is
// dropped (without one the text is UTF-8); lines end at CR LF, LF or a lone
// CR. Read in chunks, so only what is used is ever held; bytes are decoded
// up to the last one below 0x80 read so far (a file without such bytes is
// held until the read limit).
QStringList ReadTemplateLines(QIODevice &file);

} // namespace data
