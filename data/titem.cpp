#include "data/titem.h"

#include <stdexcept>

namespace data {

TItem::TItem(const QString &value)
{
    const qsizetype comma = value.indexOf(QLatin1Char(','));
    if (comma < 0) {
        Name = value;
        return;
    }
    Name = value.left(comma);
    const QString rest = value.mid(comma + 1);
    if (rest.isEmpty())
        return;
    // A decimal integer with an optional sign; surrounding blanks allowed.
    bool ok = false;
    const QString trimmed = rest.trimmed();
    const qint32 width = trimmed.isEmpty() ? 0 : trimmed.toInt(&ok, 10);
    // toInt stops at a zero byte, so "5<NUL>junk" would pass as 5.
    if (!ok || trimmed.contains(QChar(u'\0')))
        throw std::invalid_argument(
            QStringLiteral("'%1' is not a valid integer value").arg(rest).toStdString());
    Width = width;
}

bool TItem::IsShown() const
{
    for (const QChar c : Name) {
        if (c.unicode() > 0x20)
            return true;
    }
    return false;
}

} // namespace data
