#include "data/templatefile.h"

#include <QStringConverter>
#include <QStringDecoder>

#include <algorithm>

namespace data {

namespace {

constexpr qint64 TemplateReadChunk = 64 * 1024;

} // namespace

QStringList ReadTemplateLines(QIODevice &file)
{
    const auto encoding = QStringConverter::encodingForData(file.peek(4));
    QStringDecoder decoder(encoding.value_or(QStringConverter::Utf8)); // skips the mark itself
    QStringList lines;
    QString current;
    bool afterCR = false;
    qint64 total = 0;
    while (lines.size() < TemplateLines && total < TemplateReadLimit) {
        const QByteArray chunk = file.read(std::min(TemplateReadChunk, TemplateReadLimit - total));
        if (chunk.isEmpty())
            break;
        total += chunk.size();
        const QString text = decoder.decode(chunk);
        for (const QChar c : text) {
            if (afterCR && c == QLatin1Char('\n')) {
                afterCR = false;
                continue;
            }
            afterCR = c == QLatin1Char('\r');
            if (afterCR || c == QLatin1Char('\n')) {
                lines.append(current);
                current.clear();
                if (lines.size() == TemplateLines)
                    break;
            } else if (current.size() < TemplateLineChars) {
                current.append(c);
            }
        }
    }
    if (lines.size() < TemplateLines && !current.isEmpty())
        lines.append(current);
    return lines;
}

} // namespace data
