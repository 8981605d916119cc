#include "data/platform.h"

#include "os/services.h"
#include "protocol/textlines.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QStringDecoder>

#include <algorithm>

namespace data {

namespace {

std::function<QDateTime()> &clock()
{
    static std::function<QDateTime()> c;
    return c;
}

QDateTime now()
{
    return clock() ? clock()() : QDateTime::currentDateTimeUtc();
}

QChar &separatorOverride()
{
    static QChar c;
    return c;
}

QString decodeFile(const QByteArray &raw)
{
    if (raw.startsWith("\xFF\xFE") || raw.startsWith("\xFE\xFF")) {
        auto decoder = QStringDecoder(raw.startsWith("\xFF\xFE") ? QStringConverter::Utf16LE
                                                                 : QStringConverter::Utf16BE);
        return decoder(raw.mid(2));
    }
    const QByteArray body = raw.startsWith("\xEF\xBB\xBF") ? raw.mid(3) : raw;
    return QString::fromUtf8(body);
}

QString unquote(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == QLatin1Char('"') || first == QLatin1Char('\'')) && value.back() == first)
            value = value.mid(1, value.size() - 2);
    }
    return value.left(1022);
}

} // namespace

QDate TodayLocal()
{
    return now().toLocalTime().date();
}

QDate TodayUtc()
{
    return now().toUTC().date();
}

void SetClock(std::function<QDateTime()> c)
{
    clock() = std::move(c);
}

QChar ListSeparator()
{
    if (!separatorOverride().isNull())
        return separatorOverride();
    if (const QChar regional = os::RegionalListSeparator(); !regional.isNull())
        return regional;
    return QLocale().decimalPoint() == QLatin1String(",") ? QLatin1Char(';') : QLatin1Char(',');
}

void SetListSeparator(QChar separator)
{
    separatorOverride() = separator;
}

ProfileFile::ProfileFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // Read once and split once: a file of 100,000 keys is then as quick to
    // use as one of five.
    // Asking for no more than the file holds spares a 64 MiB buffer per
    // load, which sanitizer builds pay for in full.
    const qint64 known = file.size();
    const QString text = decodeFile(file.read(known > 0 ? std::min(known, MaxProfileBytes) : MaxProfileBytes));
    QString section;
    bool inSection = false;
    // Not a regular expression: it finds nothing in text with a lone
    // surrogate, and one stray byte pair would hide every key of the file.
    const QStringList lines = protocol::SplitLines(text);
    for (const QString &whole : lines) {
        const QStringView line = QStringView(whole).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.indexOf(QLatin1Char(']'));
            inSection = close > 0;
            if (inSection)
                section = line.mid(1, close - 1).trimmed().toString().toCaseFolded();
            continue;
        }
        if (!inSection || line.startsWith(QLatin1Char(';')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        // The first of two equal keys counts, as with the Windows reader.
        m_values.try_emplace({section, line.left(eq).trimmed().toString().toCaseFolded()},
                             unquote(line.mid(eq + 1).toString()));
    }
}

QString ProfileFile::Value(const QString &section, const QString &key, const QString &fallback) const
{
    const auto it = m_values.find({section.toCaseFolded(), key.toCaseFolded()});
    return it == m_values.end() ? fallback : it->second;
}

QString ReadProfileString(const QString &path, const QString &section, const QString &key,
                          const QString &fallback)
{
    return ProfileFile(path).Value(section, key, fallback);
}

} // namespace data
