// The profile reader and the configuration load, on the input written to a
// file: ProfileFile must answer every key as a reader that scans the file
// line by line for each key would, and LoadFieldList must accept exactly the
// field lists whose record the meter could send, sized width + 11 per field.

#include "fuzzing.h"
#include "data/config.h"
#include "data/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace {

// One line as the scanning reader sees it.
struct Line {
    // A header without its "]" ends the section before it.
    enum Kind { Other, Section, BrokenHeader, Entry } kind = Other;
    QString name; // section name or key, not yet folded
    QString value;
};

QString Decoded(const QByteArray &raw)
{
    if (raw.startsWith("\xFF\xFE"))
        return QStringDecoder(QStringConverter::Utf16LE)(raw.mid(2));
    if (raw.startsWith("\xFE\xFF"))
        return QStringDecoder(QStringConverter::Utf16BE)(raw.mid(2));
    return QString::fromUtf8(raw.startsWith("\xEF\xBB\xBF") ? raw.mid(3) : raw);
}

QList<QString> Lines(const QString &text)
{
    QList<QString> lines(1);
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        if (text[i] == u'\r' || text[i] == u'\n')
            lines.append(QString());
        else
            lines.last().append(text[i]);
    }
    return lines;
}

QString Unquoted(const QString &raw)
{
    QString value = raw.trimmed();
    const bool quoted = value.size() > 1 && (value.startsWith(u'"') || value.startsWith(u'\'')) &&
                        value.endsWith(value.front());
    if (quoted)
        value = value.sliced(1, value.size() - 2);
    value.truncate(1022);
    return value;
}

std::vector<Line> Parsed(const QString &text)
{
    std::vector<Line> parsed;
    for (const QString &raw : Lines(text)) {
        const QString line = raw.trimmed();
        Line l;
        const qsizetype close = line.indexOf(u']');
        const qsizetype eq = line.indexOf(u'=');
        if (line.startsWith(u'[')) {
            l.kind = close > 0 ? Line::Section : Line::BrokenHeader;
            l.name = close > 0 ? line.sliced(1, close - 1).trimmed() : QString();
        } else if (!line.startsWith(u';') && eq > 0) {
            l.kind = Line::Entry;
            l.name = line.left(eq).trimmed();
            l.value = Unquoted(line.mid(eq + 1));
        }
        parsed.push_back(l);
    }
    return parsed;
}

std::optional<QString> Lookup(const std::vector<Line> &lines, const QString &section, const QString &key)
{
    std::optional<QString> current; // no section before the first header
    for (const Line &l : lines) {
        if (l.kind == Line::Section)
            current = l.name.toCaseFolded();
        else if (l.kind == Line::BrokenHeader)
            current.reset();
        else if (l.kind == Line::Entry && current == section.toCaseFolded() &&
                 l.name.toCaseFolded() == key.toCaseFolded())
            return l.value;
    }
    return std::nullopt;
}

// A 32-bit decimal integer with an optional sign, blanks around it allowed.
std::optional<qint32> Integer(const QString &text)
{
    const QString t = text.trimmed();
    qsizetype i = t.startsWith(u'+') || t.startsWith(u'-') ? 1 : 0;
    if (i == t.size())
        return std::nullopt;
    qint64 value = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < u'0' || t[i] > u'9')
            return std::nullopt;
        value = std::min<qint64>(value * 10 + (t[i].unicode() - u'0'), qint64(1) << 40);
    }
    if (t.startsWith(u'-'))
        value = -value;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return static_cast<qint32>(value);
}

struct Field {
    QString name;
    qint32 width = 0;
};

// The field list a careful loader reads, or nullopt when it must refuse it.
std::optional<std::vector<Field>> FieldsOf(const std::vector<Line> &lines)
{
    std::vector<Field> fields;
    qint64 size = 0;
    for (int n = 1;; ++n) {
        const QString value = Lookup(lines, QStringLiteral("DATA"), QStringLiteral("PDATA%1").arg(n)).value_or(QString());
        if (value.isEmpty())
            return fields;
        Field f;
        const qsizetype comma = value.indexOf(u',');
        f.name = comma < 0 ? value : value.left(comma);
        const QString rest = comma < 0 ? QString() : value.mid(comma + 1);
        if (!rest.isEmpty()) {
            const std::optional<qint32> width = Integer(rest);
            if (!width || *width < 0)
                return std::nullopt;
            f.width = *width;
        }
        size += f.width + 11;
        if (size > data::MaxRecordSize)
            return std::nullopt;
        fields.push_back(f);
    }
}

bool Shown(const QString &name)
{
    return std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() > 0x20; });
}

void CheckFieldList(const QString &path, const std::vector<Line> &lines)
{
    data::FieldList list;
    QString error;
    const bool ok = data::LoadFieldList(path, list, &error);
    const std::optional<std::vector<Field>> expected = FieldsOf(lines);
    FUZZ_CHECK(ok == expected.has_value());
    if (!ok) {
        FUZZ_CHECK(!error.isEmpty() && list.items.empty() && list.recordSize == 0);
        return;
    }
    FUZZ_CHECK(list.items.size() == expected->size());
    qint64 size = 0;
    int shown = 0;
    for (std::size_t i = 0; i < list.items.size(); ++i) {
        FUZZ_CHECK(list.items[i]->Name == (*expected)[i].name);
        FUZZ_CHECK(list.items[i]->Width == (*expected)[i].width);
        size += list.items[i]->Width + 11;
        shown += Shown(list.items[i]->Name) ? 1 : 0;
    }
    FUZZ_CHECK(size <= data::MaxRecordSize && list.recordSize == size);
    FUZZ_CHECK(list.shownCount == shown);
}

QString FilePath()
{
    static const QString path =
        QDir::temp().filePath(QStringLiteral("tarvolin-fuzz-config-%1.ini").arg(QCoreApplication::applicationPid()));
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray raw(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString path = FilePath();
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(raw) == raw.size());
    }
    const std::vector<Line> lines = Parsed(Decoded(raw));

    // Every section and key the file names, in other letter cases too, and
    // the ones the configuration asks for.
    QStringList sections = {QStringLiteral("data"), QString()};
    QStringList keys = {QStringLiteral("PDATA1"), QStringLiteral("pdata2")};
    for (const Line &l : lines) {
        if (l.kind == Line::Section && sections.size() < 8)
            sections << l.name.toUpper();
        if (l.kind == Line::Entry && keys.size() < 32)
            keys << l.name << l.name.toLower();
    }
    const data::ProfileFile profile(path);
    const QString fallback = QStringLiteral("\u2400none");
    for (const QString &section : sections) {
        for (const QString &key : keys)
            FUZZ_CHECK(profile.Value(section, key, fallback) == Lookup(lines, section, key).value_or(fallback));
    }
    FUZZ_CHECK(data::ReadProfileString(path, sections.last(), keys.last(), fallback) ==
               Lookup(lines, sections.last(), keys.last()).value_or(fallback));
    CheckFieldList(path, lines);
    return 0;
}
