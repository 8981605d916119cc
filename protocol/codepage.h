#pragma once
// The meter's information text is 8-bit text in the Windows-1252 code page.

#include <QByteArray>
#include <QString>

namespace protocol {

// Characters the code page lacks become '?'.
QByteArray ToCodePage(const QString &text);
QString FromCodePage(const QByteArray &bytes);

} // namespace protocol
