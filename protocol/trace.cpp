#include "protocol/trace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace protocol {

std::atomic<bool> Trace::s_on{false};

namespace {

constexpr int MsWidth = 8;
constexpr int ThreadWidth = 6;
// Thread names beyond this many share the last one.
constexpr std::size_t MaxThreadNames = 255;

struct ByteLabel {
    QByteArrayView text;
    bool counted; // the byte count follows the label
};

// By TraceKind.
constexpr ByteLabel Labels[] = {
    {{}, false},
    {"chunk written ", true},
    {"chunk dropped, link off: ", false},
    {"notification ", true},
};

const ByteLabel &labelOf(TraceKind kind)
{
    return Labels[static_cast<std::size_t>(kind) < std::size(Labels) ? static_cast<std::size_t>(kind) : 0];
}

std::int64_t digits(std::int64_t n)
{
    std::int64_t d = 1;
    for (std::int64_t limit = 10; n >= limit && d < 19; limit *= 10)
        ++d;
    return d;
}

std::int64_t hexSize(std::int64_t bytes)
{
    return bytes > 0 ? 3 * bytes - 1 : 0;
}

// The length of the line appendLine writes; taken for every event the
// recorder keeps, so kept to a few comparisons.
std::int64_t lineSize(std::int64_t ms, qsizetype threadName, TraceKind kind, qsizetype payload)
{
    std::int64_t event = payload;
    if (kind != TraceKind::Text) {
        const ByteLabel &label = labelOf(kind);
        event = label.text.size() + (label.counted ? digits(payload) + 2 : 0) + hexSize(payload);
    }
    const std::int64_t msText = ms < 100000000 ? MsWidth : digits(ms);
    return msText + 1 + std::max<qsizetype>(ThreadWidth, threadName) + 1 + event + 1;
}

void appendHex(QByteArray &out, QByteArrayView bytes)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    const qsizetype start = out.size();
    out.resize(start + hexSize(bytes.size()));
    char *at = out.data() + start;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        if (i > 0)
            *at++ = ' ';
        *at++ = Digits[b >> 4];
        *at++ = Digits[b & 0x0F];
    }
}

void appendLine(QByteArray &out, std::int64_t ms, QByteArrayView thread, TraceKind kind, QByteArrayView payload)
{
    const QByteArray number = QByteArray::number(ms);
    out.append(QByteArray(std::max<qsizetype>(0, MsWidth - number.size()), ' ')).append(number).append(' ');
    out.append(thread).append(QByteArray(std::max<qsizetype>(0, ThreadWidth - thread.size()), ' ')).append(' ');
    if (kind == TraceKind::Text) {
        out.append(payload);
    } else {
        const ByteLabel label = labelOf(kind);
        out.append(label.text);
        if (label.counted)
            out.append(QByteArray::number(payload.size())).append(": ");
        appendHex(out, payload);
    }
    out.append('\n');
}

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The flight recorder runs through every session of the window, so its
// events take the cheap clock: reading the precise one costs more than the
// rest of recording an event together (the download bench). Its ticks are
// a few milliseconds apart on Linux; a trace file keeps the precise clock.
std::int64_t coarseNowNs()
{
#ifdef Q_OS_LINUX
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
#else
    return nowNs();
#endif
}

std::uint32_t msSince(std::int64_t startNs, std::int64_t ns)
{
    const std::int64_t ms = (ns - startNs) / 1000000;
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(ms, 0, UINT32_MAX));
}

QByteArray currentThreadName()
{
    QThread *thread = QThread::currentThread();
    if (QCoreApplication *app = QCoreApplication::instance(); app && thread == app->thread())
        return "main";
    const QString name = thread->objectName();
    return name.isEmpty() ? QByteArray("thread") : name.toUtf8().left(64);
}

// One line per event: a line break inside an event's text would make the
// rest look like an event of its own.
QByteArray oneLine(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\n', ' ').replace('\r', ' ');
    return bytes;
}

// The trace's lock. Nearly every event of a download comes from the main
// thread and finds it free, so it is let go with a plain store, where a
// std::mutex takes a second locked instruction and two calls: a quarter of
// what the recorder cost a notification in the download bench. A thread
// that finds it taken yields, and after a while sleeps, since a trace
// file's write, made under the lock, takes as long as the disk does.
class TraceLock {
public:
    void lock()
    {
        int yields = 0;
        while (m_held.exchange(true, std::memory_order_acquire)) {
            if (yields < 64) {
                ++yields;
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    }
    void unlock() { m_held.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_held{false};
};

struct TraceState {
    TraceLock lock;
    std::vector<QByteArray> threadNames;
    TraceOrigin origin;

    std::unique_ptr<QFile> file;
    QString fileError;
    bool headerWritten = false;
    std::int64_t fileStartNs = 0;
    QDateTime fileStartUtc;

    std::unique_ptr<FlightRecorder> recorder;
    bool recorderPaused = false;
    std::int64_t recorderStartNs = 0;
    QDateTime recorderStartUtc;

    bool Recording() const { return recorder && !recorderPaused; }

    void WriteHeader()
    {
        QByteArray text;
        for (const QString &line : Trace::Header(origin, fileStartUtc))
            text += line.toUtf8() + '\n';
        headerWritten = true;
        Write(text);
    }

    // A failed write ends the file trace: its lines would have gaps.
    void Write(const QByteArray &bytes)
    {
        if (file->write(bytes) == bytes.size())
            return;
        fileError = QStringLiteral("Cannot write to file \"%1\". %2")
                        .arg(QDir::toNativeSeparators(file->fileName()), file->errorString());
        file.reset();
    }
};

thread_local int t_threadIndex = -1;

// At namespace scope: every event reaches it, and a function's static
// would be checked for its construction each time.
TraceState g_state;

TraceState &state()
{
    return g_state;
}

// The calling thread's index into the names; under the lock.
std::uint8_t threadIndex(TraceState &t)
{
    if (t_threadIndex < 0) {
        const QByteArray name = currentThreadName();
        auto found = std::find(t.threadNames.begin(), t.threadNames.end(), name);
        if (found != t.threadNames.end())
            t_threadIndex = static_cast<int>(found - t.threadNames.begin());
        else if (t.threadNames.size() < MaxThreadNames) {
            t_threadIndex = static_cast<int>(t.threadNames.size());
            t.threadNames.push_back(name);
        } else {
            return static_cast<std::uint8_t>(MaxThreadNames - 1);
        }
    }
    return static_cast<std::uint8_t>(t_threadIndex);
}

// `on` is the tracer's switch: a trace file that fails ends, and with no
// recorder either nothing is left to take events.
void record(TraceKind kind, QByteArrayView payload, std::atomic<bool> &on)
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    const std::int64_t now = t.file ? nowNs() : coarseNowNs();
    const std::uint8_t thread = threadIndex(t);
    const QByteArray &name = t.threadNames[thread];
    if (t.Recording()) {
        const std::uint32_t ms = msSince(t.recorderStartNs, now);
        t.recorder->Add({ms, static_cast<std::uint8_t>(kind), thread, payload},
                        lineSize(ms, name.size(), kind, payload.size()));
    }
    if (t.file) {
        if (!t.headerWritten)
            t.WriteHeader();
        QByteArray line;
        appendLine(line, msSince(t.fileStartNs, now), name, kind, payload);
        if (t.file)
            t.Write(line);
        if (!t.file && t.Recording()) {
            const QByteArray note = QStringLiteral("trace file stopped: %1").arg(t.fileError).toUtf8();
            t.recorder->Add({msSince(t.recorderStartNs, now), static_cast<std::uint8_t>(TraceKind::Text), thread, note},
                            lineSize(msSince(t.recorderStartNs, now), name.size(), TraceKind::Text, note.size()));
        }
        if (!t.file && !t.Recording())
            on.store(false, std::memory_order_relaxed);
    }
}

QString oneLineValue(const QString &value)
{
    QString v = value;
    v.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return v.isEmpty() ? QStringLiteral("not known") : v;
}

} // namespace

QString Trace::FileError()
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    return t.fileError;
}

QString Trace::BuildVersion()
{
    return QStringLiteral(TARVOLIN_VERSION);
}

bool Trace::Start(const QString &path, QString *error)
{
    Stop();
    auto file = std::make_unique<QFile>(path);
    // Unbuffered: a line is on disk as soon as it is written, so a trace
    // survives a program that is killed.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        if (error)
            *error = file->errorString();
        return false;
    }
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    t.file = std::move(file);
    t.fileError.clear();
    t.headerWritten = false;
    t.fileStartNs = nowNs();
    t.fileStartUtc = QDateTime::currentDateTimeUtc();
    if (!t.origin.program.isEmpty())
        t.WriteHeader();
    s_on.store(true, std::memory_order_relaxed);
    return true;
}

void Trace::Stop()
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    if (t.file && !t.headerWritten)
        t.WriteHeader(); // an empty trace still says what made it
    t.file.reset();
    s_on.store(t.Recording(), std::memory_order_relaxed);
}

void Trace::StartRecorder(FlightRecorder::Limits limits)
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    t.recorder = std::make_unique<FlightRecorder>(limits);
    t.recorderPaused = false;
    t.recorderStartNs = nowNs();
    t.recorderStartUtc = QDateTime::currentDateTimeUtc();
    s_on.store(true, std::memory_order_relaxed);
}

void Trace::StopRecorder()
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    t.recorder.reset();
    t.recorderPaused = false;
    s_on.store(t.file != nullptr, std::memory_order_relaxed);
}

void Trace::PauseRecorder(bool paused)
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    t.recorderPaused = paused;
    s_on.store(t.file || t.Recording(), std::memory_order_relaxed);
}

QByteArray Trace::Recorded()
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    if (!t.recorder)
        return {};
    QByteArray text;
    text.reserve(t.recorder->TextBytes() + 4096);
    for (const QString &line : Header(t.origin, t.recorderStartUtc))
        text += line.toUtf8() + '\n';
    const auto line = [&](const TraceEvent &e) {
        appendLine(text, e.ms, t.threadNames[e.thread], static_cast<TraceKind>(e.kind), e.payload);
    };
    t.recorder->ForEach(line,
                        [&](std::int64_t leftOut) {
                            text += "-------- " + QByteArray::number(leftOut) + " events left out --------\n";
                        },
                        line);
    return text;
}

RecorderFigures Trace::RecorderState()
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    if (!t.recorder)
        return {};
    return {t.recorder->HeadCount(), t.recorder->TailCount(), t.recorder->LeftOut(), t.recorder->TextBytes(),
            t.recorder->HeldBytes()};
}

void Trace::Describe(const TraceOrigin &origin)
{
    TraceState &t = state();
    std::lock_guard guard(t.lock);
    t.origin = origin;
    if (t.file && !t.headerWritten)
        t.WriteHeader();
}

QStringList Trace::Header(const TraceOrigin &origin, const QDateTime &startUtc)
{
    const QString prefix = QString::fromLatin1(HeaderPrefix);
    const QString config = origin.configPath.isEmpty()
        ? QString()
        : QStringLiteral("%1, record size %2 bytes").arg(origin.configPath).arg(origin.recordSize);
    return {
        prefix + QStringLiteral("Tarvolin protocol trace"),
        prefix + QStringLiteral("program: ") + oneLineValue(origin.program),
        prefix + QStringLiteral("Qt: built with %1, running on %2").arg(QStringLiteral(QT_VERSION_STR), QString::fromLatin1(qVersion())),
        prefix + QStringLiteral("system: %1, kernel %2 %3")
                     .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion()),
        prefix + QStringLiteral("link: ") + oneLineValue(origin.link),
        prefix + QStringLiteral("configuration: ") + oneLineValue(config),
        prefix + QStringLiteral("started: ") + startUtc.toUTC().toString(Qt::ISODateWithMs),
        prefix + QStringLiteral("meter: ") +
            (origin.meter.isEmpty() ? QStringLiteral("any (the first one found)")
                                    : QStringLiteral("pinned to %1").arg(oneLineValue(origin.meter))),
    };
}

void Trace::WriteText(const QString &event)
{
    record(TraceKind::Text, oneLine(event), s_on);
}

void Trace::WriteBytes(TraceKind kind, QByteArrayView bytes)
{
    record(kind, bytes, s_on);
}

} // namespace protocol
