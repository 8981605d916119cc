#include "protocol/printable.h"

namespace protocol {

namespace {

// Characters that print nothing yet move or hide the text around them: the
// bidirectional embeddings, overrides and isolates, which can show a name
// backwards, the line and paragraph separators and the zero-width space.
bool ReordersOrHides(char16_t u)
{
    return (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x2028 || u == 0x2029 ||
           u == 0x200B;
}

} // namespace

QString Printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if (c.isSurrogate() || ReordersOrHides(u)) {
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        } else if (u == u'\\') {
            out += QStringLiteral("\\\\");
        } else if (u == u'\t') {
            out += QStringLiteral("\\t");
        } else if (u == u'\r') {
            out += QStringLiteral("\\r");
        } else if (u == u'\n') {
            out += QStringLiteral("\\n");
        } else if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace protocol
