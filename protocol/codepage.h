#pragma once
// The meter's information text is 8-bit text in the system's code page: on
// Windows the system's own, elsewhere Windows-1252.

#include <QByteArray>
#include <QString>

namespace protocol {

// Characters the code page lacks become '?'.
QByteArray ToCodePage(const QString &text);
QString FromCodePage(const QByteArray &bytes);

} // namespace protocol
