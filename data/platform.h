#pragma once
// Small stand-ins for operating-system services: today's date, the regional
// list separator and the profile-string reader.

#include <QByteArray>
#include <QChar>
#include <QDate>
#include <QString>

#include <functional>
#include <map>
#include <utility>

namespace data {

// ---- dates: one clock that tests can fix ----------------------------------
QDate TodayLocal();
QDate TodayUtc();
// Replaces the clock; an empty function restores the system clock. The
// function returns the current moment as UTC.
void SetClock(std::function<QDateTime()> clock);

// ---- regional list separator ----------------------------------------------
// The system's where it keeps one (Windows), else ";" where the locale's
// decimal point is a comma, else ","; tests may set it.
QChar ListSeparator();
void SetListSeparator(QChar separator); // QChar() restores the locale's

// ---- profile strings -------------------------------------------------------
// Reads `key` of `section` from an initialisation file the way the Windows
// reader does: section and key names without regard to case, the value with
// surrounding blanks and one pair of matching surrounding quotes removed, at
// most 1022 characters; `fallback` when the file, section or key is missing.
// The file may be UTF-8 with or without a byte-order mark, or UTF-16 with one.
QString ReadProfileString(const QString &path, const QString &section, const QString &key,
                          const QString &fallback = QString());

// The same file read and parsed once, for a reader of many keys. Reads at
// most MaxProfileBytes; a missing file has no keys.
class ProfileFile {
public:
    static constexpr qint64 MaxProfileBytes = 64 * 1024 * 1024;
    explicit ProfileFile(const QString &path);
    QString Value(const QString &section, const QString &key, const QString &fallback = QString()) const;

private:
    std::map<std::pair<QString, QString>, QString> m_values; // case-folded section, key
};

} // namespace data
