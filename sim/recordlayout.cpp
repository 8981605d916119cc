#include "sim/recordlayout.h"

#include <QFile>
#include <QHash>
#include <QStringConverter>

namespace sim {

QList<RecordField> DefaultRecordLayout()
{
    return {
        {QStringLiteral("No."), 6},       {QStringLiteral("Date"), 10},
        {QStringLiteral("Time"), 8},      {QString(), 4},
        {QStringLiteral("Moisture %"), 5}, {QStringLiteral("Temp. C"), 5},
        {QStringLiteral("Wood"), 16},
    };
}

int LayoutRecordSize(const QList<RecordField> &fields)
{
    int size = 0;
    for (const RecordField &field : fields)
        size += field.width + 11;
    return size;
}

namespace {

// Section DATA only, keys folded to upper case.
QHash<QString, QString> DataSection(const QString &text)
{
    QHash<QString, QString> values;
    bool inData = false;
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.indexOf(QLatin1Char(']'));
            inData = close > 0 && line.mid(1, close - 1).trimmed().compare(
                                      QLatin1String("DATA"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inData || equals <= 0 || line.startsWith(QLatin1Char(';')))
            continue;
        const QString key = line.left(equals).trimmed().toUpper();
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.front() == value.back() &&
            (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')))
            value = value.mid(1, value.size() - 2);
        if (!values.contains(key))
            values.insert(key, value);
    }
    return values;
}

} // namespace

bool ParseRecordLayout(const QString &text, QList<RecordField> *fields, QString *error)
{
    const QHash<QString, QString> values = DataSection(text);
    QList<RecordField> parsed;
    qint64 total = 0;
    for (int n = 1;; ++n) {
        const QString key = QStringLiteral("PDATA%1").arg(n);
        const QString value = values.value(key);
        if (value.isEmpty())
            break;
        const qsizetype comma = value.indexOf(QLatin1Char(','));
        RecordField field;
        field.caption = comma < 0 ? value : value.left(comma);
        const QString width = comma < 0 ? QString() : value.mid(comma + 1).trimmed();
        bool ok = true;
        field.width = width.isEmpty() ? 0 : width.toInt(&ok, 10);
        if (!ok || field.width < 0) {
            if (error)
                *error = QStringLiteral("%1: '%2' is not a valid width").arg(key, width);
            return false;
        }
        total += qint64(field.width) + 11;
        if (total > MaxRecordSize) {
            if (error)
                *error = QStringLiteral("%1: the record would exceed %2 bytes").arg(key).arg(MaxRecordSize);
            return false;
        }
        parsed.append(field);
    }
    *fields = parsed;
    return true;
}

bool LoadRecordLayout(const QString &path, QList<RecordField> *fields, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    // UTF-16 only with a byte-order mark; otherwise UTF-8, with or without one.
    const auto encoding = QStringConverter::encodingForData(bytes).value_or(QStringConverter::Utf8);
    QStringDecoder decoder(encoding);
    return ParseRecordLayout(decoder.decode(bytes), fields, error);
}

} // namespace sim
