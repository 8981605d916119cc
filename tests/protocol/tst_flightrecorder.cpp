// The flight recorder keeps the first events and the last ones within its
// bound on text, and counts those it left out between them; the trace it
// saves holds exactly that text.
#include "protocol/flightrecorder.h"
#include "protocol/trace.h"
#include "tests/support/wine.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using protocol::FlightRecorder;

namespace {

// A path that opens for writing and takes no byte: the full device, or on
// Windows, which has none, a file whose every byte another handle of the
// test holds locked. `spare` names where that file goes.
#ifdef Q_OS_WIN
class RefusingFile {
public:
    explicit RefusingFile(const QString &spare) : m_path(spare)
    {
        m_handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(spare.utf16()), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        OVERLAPPED from{};
        m_locked = m_handle != INVALID_HANDLE_VALUE
            && ::LockFileEx(m_handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &from);
    }
    ~RefusingFile()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_handle);
    }
    RefusingFile(const RefusingFile &) = delete;
    RefusingFile &operator=(const RefusingFile &) = delete;
    bool ready() const { return m_locked; }
    QString path() const { return m_path; }

private:
    QString m_path;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    bool m_locked = false;
};
#else
class RefusingFile {
public:
    explicit RefusingFile(const QString &) {}
    bool ready() const { return true; }
    QString path() const { return QStringLiteral("/dev/full"); }
};
#endif

} // namespace

class FlightRecorderTest : public QObject {
    Q_OBJECT
private slots:
    void keepsFirstAndLastEvents_data();
    void keepsFirstAndLastEvents();
    void keepsEveryByte();
    void savedTraceHoldsTheKeptText();
    void pausedRecorderKeepsWhatItHolds();
    void threadsWriteWholeLines();
    void failedTraceFileStopsTracing();
};

void FlightRecorderTest::keepsFirstAndLastEvents_data()
{
    QTest::addColumn<int>("headEvents");
    QTest::addColumn<int>("textBytes");
    QTest::addColumn<int>("pageBytes"); // 1: a page per event
    QTest::addColumn<QList<int>>("sizes"); // text size of each event, in order
    QTest::addColumn<QList<int>>("head");  // the events kept first
    QTest::addColumn<QList<int>>("tail");  // the events kept last
    QTest::addColumn<int>("leftOut");      // -1: as many as the pages make it

    const QList<int> tens(20, 10);
    QTest::newRow("all fit") << 3 << 1000 << 1 << QList<int>(5, 10) << QList<int>{0, 1, 2} << QList<int>{3, 4} << 0;
    QTest::newRow("the oldest of the rest go") << 3 << 100 << 1 << tens << QList<int>{0, 1, 2}
                                               << QList<int>{13, 14, 15, 16, 17, 18, 19} << 10;
    // The first events hold at most half the text.
    QTest::newRow("head stops at half the text") << 10 << 100 << 1 << QList<int>(10, 20) << QList<int>{0, 1}
                                                 << QList<int>{7, 8, 9} << 5;
    QTest::newRow("an event larger than the room") << 1 << 100 << 1 << QList<int>{10, 200, 10} << QList<int>{0}
                                                   << QList<int>{2} << 1;
    QTest::newRow("one large event pushes out several") << 1 << 100 << 1 << QList<int>{10, 30, 30, 30, 90}
                                                        << QList<int>{0} << QList<int>{4} << 3;
    // Pages of about 250 events, used again as the oldest go.
    QTest::newRow("long run, whole pages") << 2000 << (1 << 20) << 4096 << QList<int>(200000, 100) << QList<int>{}
                                           << QList<int>{} << -1;
}

void FlightRecorderTest::keepsFirstAndLastEvents()
{
    QFETCH(int, headEvents);
    QFETCH(int, textBytes);
    QFETCH(int, pageBytes);
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, head);
    QFETCH(QList<int>, tail);
    QFETCH(int, leftOut);

    FlightRecorder recorder({headEvents, textBytes, pageBytes});
    for (int i = 0; i < sizes.size(); ++i) {
        const QByteArray payload = QByteArray::number(i);
        recorder.Add({static_cast<std::uint32_t>(i), 0, 0, payload}, sizes[i]);
    }
    QList<int> keptHead;
    QList<int> keptTail;
    std::int64_t gap = 0;
    recorder.ForEach([&](const protocol::TraceEvent &e) { keptHead << e.payload.toByteArray().toInt(); },
                     [&](std::int64_t n) { gap = n; },
                     [&](const protocol::TraceEvent &e) { keptTail << e.payload.toByteArray().toInt(); });
    QCOMPARE(gap, recorder.LeftOut());
    QCOMPARE(keptHead.size() + keptTail.size() + recorder.LeftOut(), sizes.size());
    QVERIFY(recorder.TextBytes() <= textBytes);
    if (leftOut >= 0) {
        QCOMPARE(recorder.LeftOut(), leftOut);
        QCOMPARE(keptHead, head);
        QCOMPARE(keptTail, tail);
        return;
    }
    // The first ones in order, the last ones up to the newest, within a
    // page or two of the bound; what is held stays near the events' bytes.
    QCOMPARE(keptHead.size(), headEvents);
    QCOMPARE(keptHead.last(), headEvents - 1);
    QCOMPARE(keptTail.last(), sizes.size() - 1);
    QCOMPARE(keptTail.first(), sizes.size() - keptTail.size());
    QVERIFY(recorder.TextBytes() > textBytes - textBytes / 16);
    QVERIFY(recorder.HeldBytes() < (keptHead.size() + keptTail.size()) * 16 + 3 * pageBytes);
}

// Short payloads are copied by hand, in overlapping moves: every size round
// its edges comes back byte for byte, on one page and across pages.
void FlightRecorderTest::keepsEveryByte()
{
    const QList<int> sizes{0, 1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 244, 20, 20, 20};
    FlightRecorder recorder({100, 1 << 20, 64});
    QList<QByteArray> payloads;
    for (int i = 0; i < sizes.size(); ++i) {
        QByteArray payload(sizes[i], Qt::Uninitialized);
        for (int b = 0; b < payload.size(); ++b)
            payload[b] = static_cast<char>(i * 31 + b);
        payloads << payload;
        recorder.Add({static_cast<std::uint32_t>(i), 3, 0, payload}, 100);
    }
    QList<QByteArray> kept;
    const auto keep = [&](const protocol::TraceEvent &e) { kept << e.payload.toByteArray(); };
    recorder.ForEach(keep, [](std::int64_t) {}, keep);
    QCOMPARE(kept, payloads);
}

void FlightRecorderTest::savedTraceHoldsTheKeptText()
{
    protocol::Trace::StartRecorder({3, 4000, 1});
    const QByteArray bytes(20, '\x7E');
    for (int i = 0; i < 100; ++i)
        protocol::Trace::NoteBytes(protocol::TraceKind::Notification, bytes);
    protocol::Trace::Note([] { return QStringLiteral("exchange end: ok, received 2000"); });
    const protocol::RecorderFigures figures = protocol::Trace::RecorderState();
    const QList<QByteArray> lines = protocol::Trace::Recorded().split('\n');
    protocol::Trace::StopRecorder();

    QList<QByteArray> events;
    qsizetype eventText = 0;
    QByteArray gap;
    for (const QByteArray &line : lines) {
        if (line.startsWith(protocol::Trace::HeaderPrefix) || line.isEmpty())
            continue;
        if (line.startsWith("--------")) {
            gap = line;
            continue;
        }
        events << line;
        eventText += line.size() + 1;
    }
    QCOMPARE(events.size(), figures.headEvents + figures.tailEvents);
    QCOMPARE(eventText, figures.textBytes); // the bound is on this text
    QVERIFY(eventText <= 4000);
    QCOMPARE(gap, "-------- " + QByteArray::number(figures.leftOut) + " events left out --------");
    QVERIFY(events.first().endsWith("notification 20: " + bytes.toHex(' ').toUpper()));
    QVERIFY(events.last().endsWith(" exchange end: ok, received 2000"));
    QCOMPARE(figures.headEvents + figures.tailEvents + figures.leftOut, 101);
}

// Paused, the recorder takes nothing and keeps what it has; the trace is
// off meanwhile, as with no recorder at all.
void FlightRecorderTest::pausedRecorderKeepsWhatItHolds()
{
    protocol::Trace::StartRecorder();
    protocol::Trace::Note([] { return QStringLiteral("before"); });
    protocol::Trace::PauseRecorder(true);
    QVERIFY(!protocol::Trace::On());
    protocol::Trace::Note([] { return QStringLiteral("paused"); });
    protocol::Trace::PauseRecorder(false);
    protocol::Trace::Note([] { return QStringLiteral("after"); });
    const QByteArray recorded = protocol::Trace::Recorded();
    protocol::Trace::StopRecorder();
    QVERIFY(recorded.contains(" before\n"));
    QVERIFY(!recorded.contains("paused"));
    QVERIFY(recorded.contains(" after\n"));
}

// Threads that write at once, to the recorder and a file together, never
// lose an event or mix two into one line.
void FlightRecorderTest::threadsWriteWholeLines()
{
    constexpr int Threads = 4;
    constexpr int Events = 3000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("trace.txt"));
    QVERIFY(protocol::Trace::Start(path, nullptr));
    protocol::Trace::StartRecorder({10, 64 << 20, 64 << 10});
    std::vector<std::thread> writers;
    for (int w = 0; w < Threads; ++w) {
        writers.emplace_back([w] {
            const QByteArray bytes(20, static_cast<char>('A' + w));
            for (int i = 0; i < Events; ++i)
                protocol::Trace::NoteBytes(protocol::TraceKind::Notification, bytes);
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    const QByteArray recorded = protocol::Trace::Recorded();
    protocol::Trace::StopRecorder();
    protocol::Trace::Stop();
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    for (const QByteArray &text : {recorded, file.readAll()}) {
        int counts[Threads] = {};
        for (const QByteArray &line : text.split('\n')) {
            if (line.isEmpty() || line.startsWith(protocol::Trace::HeaderPrefix))
                continue;
            const int w = line.at(line.size() - 1) - '1'; // the last hex digit: 41 for 'A'
            QVERIFY2(w >= 0 && w < Threads, line.constData());
            QVERIFY2(line.endsWith("notification 20: " + QByteArray(20, char('A' + w)).toHex(' ').toUpper()),
                     line.constData());
            ++counts[w];
        }
        for (int count : counts)
            QCOMPARE(count, Events);
    }
}

// A trace file that cannot be written ends; with no recorder running the
// tracer is off again, not taking every event for nothing.
void FlightRecorderTest::failedTraceFileStopsTracing()
{
    if (testsupport::UnderWine())
        QSKIP("Wine keeps a byte-range lock from no other handle's writes, and Windows has no full device");
    QTemporaryDir dir;
    const RefusingFile full(dir.filePath(QStringLiteral("full.txt")));
    QVERIFY(full.ready());
    QVERIFY(protocol::Trace::Start(full.path(), nullptr));
    QVERIFY(protocol::Trace::On());
    protocol::Trace::Note([] { return QStringLiteral("an event"); });
    QVERIFY(!protocol::Trace::On());
    QVERIFY(protocol::Trace::FileError().startsWith(
        QStringLiteral("Cannot write to file \"%1\".").arg(QDir::toNativeSeparators(full.path()))));
}

QTEST_GUILESS_MAIN(FlightRecorderTest)
#include "tst_flightrecorder.moc"
