#pragma once
// The line codec of the virtual link (docs/vlink.md): one TCP connection per
// simulated peripheral, lines of ASCII ending in LF, tokens separated by one
// space, byte payloads as hexadecimal pairs, UUIDs in canonical form.
//
// Header-only and QtCore-only, so the simulated meter (which has no Qt
// Bluetooth) speaks exactly the same dialect as the central.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QUuid>

#include <optional>

namespace vlink {

// A peer that never sends LF must not make us buffer without end; a longer
// line is dropped (unknown lines are ignored anyway).
inline constexpr qsizetype MaxLineLength = 1 << 20;

// One received line: the verb and the tokens after it. `rest` keeps
// everything after the first space unchanged, because an advertised name
// may hold spaces or be empty.
struct Line {
    QByteArray verb;
    QList<QByteArray> args;
    QByteArray rest;
};

inline Line ParseLine(QByteArrayView text)
{
    Line line;
    const qsizetype space = text.indexOf(' ');
    if (space < 0) {
        line.verb = text.toByteArray();
        return line;
    }
    line.verb = text.first(space).toByteArray();
    line.rest = text.sliced(space + 1).toByteArray();
    // Trailing empty tokens stand for an empty payload ("NOTIFY <uuid> ").
    line.args = line.rest.split(' ');
    while (!line.args.isEmpty() && line.args.last().isEmpty())
        line.args.removeLast();
    return line;
}

// Cuts a byte stream into lines: LF ends a line, a CR right before it is
// dropped. A line longer than MaxLineLength (or the limit given) is dropped
// whole, however the reads cut it. Every byte is looked at once: the search for LF goes on
// where the last one stopped, and consumed lines are cut off only once they
// are most of the buffer, so a peer sending megabytes without LF, or
// thousands of lines in one read, costs time linear in what arrives.
class LineReader {
public:
    // Another limit is for fuzzing: lines at and past it cost bytes, not
    // megabytes.
    explicit LineReader(qsizetype maxLineLength = MaxLineLength) : m_maxLine(maxLineLength) {}

    void Append(QByteArrayView bytes) { m_buffer.append(bytes); }

    // The next complete line, without its line end; nullopt when none is
    // complete yet.
    std::optional<QByteArray> Next()
    {
        for (;;) {
            const qsizetype lf = m_buffer.indexOf('\n', m_scanned);
            if (lf < 0) {
                m_scanned = m_buffer.size();
                if (m_discarding || m_scanned - m_start > m_maxLine) {
                    // Too long to be a line of ours: forget it up to its LF.
                    m_discarding = true;
                    Clear(true);
                } else if (m_start > 0 && m_start >= m_buffer.size() / 2) {
                    m_buffer.remove(0, m_start);
                    m_scanned -= m_start;
                    m_start = 0;
                }
                return std::nullopt;
            }
            const qsizetype start = m_start;
            const bool keep = !m_discarding && lf - start <= m_maxLine;
            m_discarding = false;
            QByteArray line;
            if (keep) {
                qsizetype end = lf;
                if (end > start && m_buffer[end - 1] == '\r')
                    --end;
                line = m_buffer.sliced(start, end - start);
            }
            m_start = m_scanned = lf + 1;
            if (m_start == m_buffer.size())
                Clear();
            if (keep)
                return line;
        }
    }

    // Bytes taken and not yet handed out: at most the limit plus what
    // the last Append brought.
    qsizetype Buffered() const { return m_buffer.size() - m_start; }

    void Clear(bool keepDiscarding = false)
    {
        m_buffer.clear();
        m_start = m_scanned = 0;
        if (!keepDiscarding)
            m_discarding = false;
    }

private:
    qsizetype m_maxLine;
    QByteArray m_buffer;
    qsizetype m_start = 0;   // first byte not yet handed out
    qsizetype m_scanned = 0; // bytes already searched for LF
    bool m_discarding = false;
};

inline int HexNibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Pairs of hex digits in either case, no separator, possibly empty.
inline std::optional<QByteArray> ParseHex(QByteArrayView text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    QByteArray bytes;
    bytes.reserve(text.size() / 2);
    for (qsizetype i = 0; i < text.size(); i += 2) {
        const int high = HexNibble(text[i]);
        const int low = HexNibble(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.append(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

inline QByteArray FormatHex(QByteArrayView bytes)
{
    return bytes.toByteArray().toHex().toUpper();
}

// Canonical 36-character form, braces optional (both or none), either case.
inline std::optional<QUuid> ParseUuid(QByteArrayView text)
{
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}')
            return std::nullopt;
        text = text.sliced(1, 36);
    }
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : HexNibble(text[i]) < 0)
            return std::nullopt;
    }
    const QUuid uuid = QUuid::fromString(QLatin1StringView(text.data(), text.size()));
    return uuid;
}

inline QByteArray FormatUuid(const QUuid &uuid)
{
    return uuid.toByteArray(QUuid::WithoutBraces).toUpper();
}

// Status tokens are decimal integers; anything else makes the line unusable.
inline std::optional<int> ParseStatus(QByteArrayView text)
{
    bool ok = false;
    const int value = text.toByteArray().toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

// Joins tokens with one space and ends the line with LF.
inline QByteArray FormatLine(std::initializer_list<QByteArrayView> tokens)
{
    QByteArray line;
    bool first = true;
    for (QByteArrayView token : tokens) {
        if (!first)
            line.append(' ');
        line.append(token);
        first = false;
    }
    line.append('\n');
    return line;
}

} // namespace vlink
