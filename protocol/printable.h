#pragma once
// Text that came from outside (a name a device advertises, a text stored in
// the meter, a key of a configuration file) made safe to print: it can
// neither drive the terminal nor break the columns of the tool's output.

#include <QString>

namespace protocol {

// `text` with every control character written as an escape: C0 controls,
// DEL and the C1 controls as \xHH (TAB, CR and LF as \t, \r, \n); a lone
// surrogate, the bidirectional embeddings, overrides and isolates
// (U+202A-202E, U+2066-2069), U+2028, U+2029 and U+200B as \uXXXX; and the
// backslash itself as \\, so that the escaped form cannot be mistaken for
// text the device sent. Everything else stays.
QString Printable(const QString &text);

} // namespace protocol
