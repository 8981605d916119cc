#pragma once
// The system's own services where it has them; each says so, so that the
// caller can stand in for it elsewhere.

#include <QByteArray>
#include <QChar>
#include <QString>

#include <optional>

namespace os {

// The user's regional list separator; a null QChar where the system keeps
// none.
QChar RegionalListSeparator();

// Text in and out of the system's 8-bit code page, with the system's own
// tables; characters it lacks become '?'. Nothing where the system has no
// 8-bit code page (POSIX, or Windows set to UTF-8).
std::optional<QByteArray> ToSystemCodePage(const QString &text);
std::optional<QString> FromSystemCodePage(const QByteArray &bytes);

// The most memory the program has held at once, in bytes.
qint64 PeakMemoryBytes();

// The system's sound of the message box of `type` (16: an error); false
// where the system has none.
bool MessageBeep(int type);

} // namespace os
