#include "data/templatefile.h"

#include <QStringConverter>
#include <QStringDecoder>

#include <algorithm>

namespace data {

namespace {

constexpr qint64 TemplateReadChunk = 64 * 1024;

// Splits decoded text into lines as it arrives: a CR that ends one piece
// and an LF that starts the next still make one line end.
class LineSplitter {
public:
    bool Full() const { return m_lines.size() == TemplateLines; }

    void Feed(const QString &text)
    {
        for (const QChar c : text) {
            if (Full())
                return;
            if (m_afterCR && c == QLatin1Char('\n')) {
                m_afterCR = false;
                continue;
            }
            m_afterCR = c == QLatin1Char('\r');
            if (m_afterCR || c == QLatin1Char('\n')) {
                m_lines.append(m_current);
                m_current.clear();
            } else if (m_current.size() < TemplateLineChars) {
                m_current.append(c);
            }
        }
    }

    QStringList Finish()
    {
        if (!Full() && !m_current.isEmpty())
            m_lines.append(m_current);
        return m_lines;
    }

private:
    QStringList m_lines;
    QString m_current;
    bool m_afterCR = false;
};

// How much of `bytes` goes to the decoder now: up to and including the last
// byte below 0x80, looking only at bytes from `from` on (those before it
// were looked at already). The UTF-8 decoder of Qt 6.4, when one call ends
// inside a sequence that the next call's first byte shows to be invalid,
// gives a single replacement character for it and swallows that next byte,
// be it a letter, a CR or an LF. A byte below 0x80 ends any UTF-8 sequence,
// so a piece ending in one leaves the decoder nothing held over; the UTF-16
// and UTF-32 decoders carry a cut character over correctly at any cut.
qsizetype DecodableLength(QByteArrayView bytes, qsizetype from)
{
    for (qsizetype i = bytes.size(); i > from; --i) {
        if (static_cast<uchar>(bytes[i - 1]) < 0x80)
            return i;
    }
    return 0;
}

} // namespace

QStringList ReadTemplateLines(QIODevice &file)
{
    const auto encoding = QStringConverter::encodingForData(file.peek(4));
    QStringDecoder decoder(encoding.value_or(QStringConverter::Utf8)); // skips the mark itself
    LineSplitter splitter;
    QByteArray pending; // read but not decoded yet: holds no byte below 0x80
    qint64 total = 0;
    while (!splitter.Full() && total < TemplateReadLimit) {
        const QByteArray chunk = file.read(std::min(TemplateReadChunk, TemplateReadLimit - total));
        if (chunk.isEmpty())
            break;
        total += chunk.size();
        const qsizetype looked = pending.size();
        pending += chunk;
        const qsizetype ready = DecodableLength(pending, looked);
        splitter.Feed(decoder.decode(QByteArrayView(pending).first(ready)));
        pending.remove(0, ready);
    }
    splitter.Feed(decoder.decode(pending));
    return splitter.Finish();
}

} // namespace data
