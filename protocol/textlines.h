#pragma once
// Cutting text into lines the way every text file of the program is read.

#include <QString>
#include <QStringList>

namespace protocol {

// Lines end at CR LF, at a lone LF and at a lone CR; a line break at the very
// end adds no empty line. One pass over the text.
QStringList SplitLines(const QString &text);

} // namespace protocol
