#include "data/csv.h"

#include "data/meastable.h"
#include "protocol/printable.h"

#include <QStringEncoder>

#include <algorithm>

namespace data {

namespace {

bool NeedsQuotes(QStringView cell, char16_t separator)
{
    // Every character the separator, a quote or a line end could be is at
    // most the larger of '"' and the separator: most characters of a
    // measurement pass after one comparison.
    const char16_t top = std::max<char16_t>(separator, u'"');
    for (const QChar ch : cell) {
        const char16_t c = ch.unicode();
        if (c <= top && (c == separator || c == u'"' || c == u'\r' || c == u'\n'))
            return true;
    }
    return false;
}

void AppendCell(QString &text, QStringView cell, QChar separator)
{
    if (!NeedsQuotes(cell, separator.unicode())) {
        text += cell;
        return;
    }
    text += u'"';
    for (const QChar c : cell) {
        if (c == u'"')
            text += u'"';
        text += c;
    }
    text += u'"';
}

QString CsvTextOf(const MeasTable &table, QChar separator, bool printable)
{
    int rows = 0;
    while (rows < table.RowCount() && !table.CellView(0, rows).isEmpty())
        ++rows;
    // One buffer for the whole file; a generous guess keeps it from growing
    // more than a few times.
    QString text;
    text.reserve(qsizetype(rows) * (table.ColumnCount() * 12 + 2));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < table.ColumnCount(); ++c) {
            if (c > 0)
                text += separator;
            if (printable)
                AppendCell(text, protocol::Printable(table.CellView(c, r).toString()), separator);
            else
                AppendCell(text, table.CellView(c, r), separator);
        }
        text += u"\r\n";
    }
    return text;
}

} // namespace

QString CsvText(const MeasTable &table, QChar separator)
{
    return CsvTextOf(table, separator, false);
}

QByteArray CsvBytes(const MeasTable &table, QChar separator, CsvEncoding encoding)
{
    // A value from the meter could drive the terminal it is shown on; files
    // and pipes keep its bytes.
    const QString text = CsvTextOf(table, separator, encoding == CsvEncoding::Utf8);
    if (encoding == CsvEncoding::Utf8WithMark)
        return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    if (encoding == CsvEncoding::Utf8)
        return text.toUtf8();
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    // The text is held as UTF-16 in this machine's order already: one copy.
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
#else
    QStringEncoder encoder(QStringConverter::Utf16LE);
    return encoder.encode(text);
#endif
}

} // namespace data
