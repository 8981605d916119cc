#include "sim/replay.h"

#include "vlink/vlinkwire.h"

#include <QFile>

#include <algorithm>

namespace sim {

namespace {

// The longest line read: a notification of 1 MiB and more is no meter's.
constexpr qint64 MaxLine = 16 << 20;
// Counts beyond this are no chunk or notification.
constexpr qint64 MaxCount = 1 << 22;

// An event line: "<ms> <thread> <event>".
struct EventLine {
    qint64 ms = 0;
    QByteArrayView event;
};

std::optional<EventLine> parseEventLine(QByteArrayView line)
{
    qsizetype at = 0;
    while (at < line.size() && line[at] == ' ')
        ++at;
    const qsizetype digitsStart = at;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9' && at - digitsStart < 12)
        ++at;
    if (at == digitsStart || at >= line.size() || line[at] != ' ')
        return std::nullopt;
    EventLine e;
    e.ms = line.sliced(digitsStart, at - digitsStart).toLongLong();
    ++at;
    const qsizetype threadEnd = line.indexOf(' ', at);
    if (threadEnd <= at)
        return std::nullopt;
    at = threadEnd;
    while (at < line.size() && line[at] == ' ')
        ++at;
    e.event = line.sliced(at);
    return e;
}

// "N: HH HH ..." with exactly N bytes; nullopt with the reason otherwise.
std::optional<QByteArray> parseCountedBytes(QByteArrayView text, QString *reason)
{
    const qsizetype colon = text.indexOf(':');
    bool ok = false;
    const qint64 count = colon > 0 ? text.first(colon).toByteArray().toLongLong(&ok) : -1;
    if (!ok || count < 0 || count > MaxCount) {
        *reason = QStringLiteral("no byte count");
        return std::nullopt;
    }
    const QByteArrayView hex = text.sliced(colon + 1).trimmed();
    QByteArray bytes;
    bytes.reserve(count);
    qsizetype at = 0;
    while (at < hex.size()) {
        const int high = vlink::HexNibble(hex[at]);
        const int low = at + 1 < hex.size() ? vlink::HexNibble(hex[at + 1]) : -1;
        const bool separated = at + 2 == hex.size() || (at + 2 < hex.size() && hex[at + 2] == ' ');
        if (high < 0 || low < 0 || !separated)
            break;
        bytes.append(static_cast<char>(high * 16 + low));
        at += 3;
    }
    if (at < hex.size() || bytes.size() != count) {
        *reason = QStringLiteral("%1 bytes announced, %2 given").arg(count).arg(bytes.size());
        return std::nullopt;
    }
    return bytes;
}

QList<QUuid> parseServices(QByteArrayView text)
{
    QList<QUuid> services;
    for (const QByteArray &token : text.toByteArray().split(' ')) {
        const QUuid uuid(QString::fromLatin1(token));
        if (!uuid.isNull())
            services << uuid;
    }
    return services;
}

// Builds the recorded meter line by line.
class TraceReader {
public:
    // False with `reason` when the line makes the trace unplayable.
    bool Line(QByteArrayView line, QString *reason);
    RecordedMeter meter;

private:
    bool Chunk(const EventLine &e, QString *reason);
    bool Notification(const EventLine &e, QString *reason);
    void Answer(const RecordedNotification &n);
    int DelayOf(const EventLine &e) const
    {
        return static_cast<int>(std::clamp<qint64>(e.ms - m_frameEndMs, 0, 24 * 3600 * 1000));
    }

    FrameAssembler m_frames;
    QString m_lastSeen;
    std::map<QByteArray, QList<RecordedAnswer>>::iterator m_current = meter.answers.end();
    qint64 m_frameEndMs = 0;
};

bool TraceReader::Line(QByteArrayView line, QString *reason)
{
    if (line.startsWith("#"))
        return true; // the header
    if (line.startsWith("--------") && line.contains("left out")) {
        // The flight recorder left events out here: nothing spans the gap.
        m_frames.Reset();
        m_current = meter.answers.end();
        return true;
    }
    const std::optional<EventLine> e = parseEventLine(line);
    if (!e)
        return true; // not an event; a later program may write more kinds of line
    const QByteArrayView event = e->event;
    if (event.startsWith("chunk written"))
        return Chunk(*e, reason);
    if (event.startsWith("notification"))
        return Notification(*e, reason);
    if (event.startsWith("exchange start")) {
        m_frames.Reset();
    } else if (event.startsWith("device seen \"")) {
        const QByteArrayView quoted = event.sliced(13);
        m_lastSeen = QString::fromUtf8(quoted.first(std::max<qsizetype>(0, quoted.lastIndexOf('"'))));
    } else if (event == QByteArrayView("link-up stage 2")) {
        if (meter.name.isEmpty())
            meter.name = m_lastSeen; // the device the link-up chose
    } else if (event.startsWith("services listed:")) {
        meter.services = parseServices(event.sliced(16));
    }
    return true;
}

bool TraceReader::Chunk(const EventLine &e, QString *reason)
{
    const std::optional<QByteArray> bytes = parseCountedBytes(e.event.sliced(13), reason);
    if (!bytes) {
        *reason = QStringLiteral("chunk cut short (%1)").arg(*reason);
        return false;
    }
    if (const std::optional<QByteArray> frame = m_frames.Take(*bytes)) {
        m_current = meter.answers.try_emplace(*frame).first;
        m_current->second.append(RecordedAnswer{});
        m_frameEndMs = e.ms;
    }
    return true;
}

bool TraceReader::Notification(const EventLine &e, QString *reason)
{
    const QByteArrayView rest = e.event.sliced(12);
    if (rest.startsWith(" failed, status ")) {
        bool ok = false;
        const int status = rest.sliced(16).toByteArray().toInt(&ok);
        if (!ok || status == 0) {
            *reason = QStringLiteral("failed notification without its status");
            return false;
        }
        Answer({{}, status, DelayOf(e)});
        return true;
    }
    const std::optional<QByteArray> bytes = parseCountedBytes(rest, reason);
    if (!bytes) {
        *reason = QStringLiteral("notification cut short (%1)").arg(*reason);
        return false;
    }
    ++meter.notifications;
    Answer({*bytes, 0, DelayOf(e)});
    return true;
}

void TraceReader::Answer(const RecordedNotification &n)
{
    // Before the first frame nobody asked: nothing to answer.
    if (m_current == meter.answers.end())
        return;
    m_current->second.last().append(n);
}

} // namespace

std::optional<QByteArray> FrameAssembler::Take(QByteArrayView chunk)
{
    m_partial.append(chunk);
    if (chunk.size() < MaxChunk || chunk.endsWith("\r\n")) {
        QByteArray frame;
        frame.swap(m_partial);
        return frame;
    }
    if (m_partial.size() > MaxFrame)
        m_partial.clear();
    return std::nullopt;
}

// One line, read in pieces into `piece`, a buffer kept for the whole
// trace: asking Qt for the longest line at once would set aside that much
// for every short line, and a fresh piece per line costs a large allocation
// each. Stops once it holds more than `cap` bytes; empty at the end of what
// reading gives.
static QByteArray ReadCappedLine(QIODevice &trace, qint64 cap, QByteArray &piece)
{
    QByteArray line;
    while (line.size() <= cap) {
        const qint64 n = trace.readLine(piece.data(), piece.size());
        if (n <= 0)
            break;
        line.append(piece.constData(), n);
        if (piece[n - 1] == '\n')
            break;
    }
    return line;
}

std::optional<RecordedMeter> ReadTrace(QIODevice &trace, const QString &name, QString *error)
{
    TraceReader reader;
    qint64 number = 0;
    qint64 bytes = 0;
    // 64 KiB a read, and room for the NUL readLine writes after them.
    QByteArray piece((64 << 10) + 1, Qt::Uninitialized);
    // To the end of what reading gives, not while bytes are waiting: a pipe
    // has none waiting before its writer has written.
    for (QByteArray line; !(line = ReadCappedLine(trace, MaxLine, piece)).isEmpty();) {
        ++number;
        bytes += line.size();
        if (bytes > MaxTraceBytes) {
            *error = QStringLiteral("%1: larger than %2 bytes").arg(name).arg(MaxTraceBytes);
            return std::nullopt;
        }
        if (line.size() > MaxLine) {
            *error = QStringLiteral("%1, line %2: longer than %3 bytes").arg(name).arg(number).arg(MaxLine);
            return std::nullopt;
        }
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        QString reason;
        if (!reader.Line(line, &reason)) {
            *error = QStringLiteral("%1, line %2: %3").arg(name).arg(number).arg(reason);
            return std::nullopt;
        }
    }
    if (reader.meter.notifications == 0) {
        *error = QStringLiteral("%1: no bytes of the meter in it (no notification in its %2 lines)")
                     .arg(name)
                     .arg(number);
        return std::nullopt;
    }
    return std::move(reader.meter);
}

std::optional<RecordedMeter> LoadTrace(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // A pipe or a device has no size; ReadTrace counts what it reads.
    if (!file.isSequential() && file.size() > MaxTraceBytes) {
        *error = QStringLiteral("%1: larger than %2 bytes").arg(path).arg(MaxTraceBytes);
        return std::nullopt;
    }
    return ReadTrace(file, path, error);
}

ReplayMeter::ReplayMeter(RecordedMeter recorded, bool keepTiming)
    : m_recorded(std::move(recorded)), m_keepTiming(keepTiming)
{
}

QList<MeterLogic::Reply> ReplayMeter::Receive(QByteArrayView bytes)
{
    const std::optional<QByteArray> frame = m_frames.Take(bytes);
    if (!frame)
        return {};
    NoteFrame(*frame);
    const auto found = m_recorded.answers.find(*frame);
    if (found == m_recorded.answers.end()) {
        if (OnUnknownFrame)
            OnUnknownFrame(*frame);
        return {};
    }
    int &served = m_served[*frame];
    const RecordedAnswer &answer = found->second[std::min<qsizetype>(served, found->second.size() - 1)];
    ++served;
    QList<Reply> replies;
    for (const RecordedNotification &n : answer)
        replies.append({n.bytes, m_keepTiming ? n.delayMs : 0, true, n.failStatus});
    return replies;
}

void ReplayMeter::ResetSession()
{
    m_frames.Reset();
}

} // namespace sim
