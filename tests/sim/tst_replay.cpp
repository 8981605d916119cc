// Reading a trace to play it back: chunks become frames, the notifications
// after a frame its answer; a trace that cannot be played is refused with
// the line that is wrong.
#include "sim/replay.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

class ReplayTest : public QObject {
    Q_OBJECT
private slots:
    void refusesWhatCannotBePlayed_data();
    void refusesWhatCannotBePlayed();
    void chunksBecomeFramesAndAnswersFollowThem();
    void traceFromAPipeIsReadToItsEnd();
};

namespace {

std::optional<sim::RecordedMeter> read(const QByteArray &text, QString *error)
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    return sim::ReadTrace(buffer, QStringLiteral("t.txt"), error);
}

QByteArray chunkLine(int ms, const QByteArray &bytes)
{
    return QByteArray::number(ms).rightJustified(8, ' ') + " main   chunk written " + QByteArray::number(bytes.size())
        + ": " + bytes.toHex(' ').toUpper() + "\n";
}

QByteArray notificationLine(int ms, const QByteArray &bytes)
{
    return QByteArray::number(ms).rightJustified(8, ' ') + " main   notification " + QByteArray::number(bytes.size())
        + ": " + bytes.toHex(' ').toUpper() + "\n";
}

} // namespace

void ReplayTest::refusesWhatCannotBePlayed_data()
{
    QTest::addColumn<QByteArray>("trace");
    QTest::addColumn<QString>("error");
    const QByteArray header = "# Tarvolin protocol trace\n# program: Tarvolin 2.2\n";
    QTest::newRow("no meter bytes") << header + chunkLine(5, "\x14") + "      10 main   write completed, status 0\n"
                                    << "t.txt: no bytes of the meter in it (no notification in its 4 lines)";
    // Traces of earlier versions shortened long lines.
    QTest::newRow("notification shortened")
        << header + chunkLine(5, "\x13") + "       6 main   notification 700: 13 31 32 … (700 bytes)\n"
        << "t.txt, line 4: notification cut short (700 bytes announced, 3 given)";
    QTest::newRow("chunk cut off") << header + "       5 main   chunk written 64: 12 31 3\n"
                                   << "t.txt, line 3: chunk cut short (64 bytes announced, 2 given)";
    QTest::newRow("no count") << QByteArray("       5 main   notification\n") << "t.txt, line 1: notification cut short (no byte count)";
}

void ReplayTest::refusesWhatCannotBePlayed()
{
    QFETCH(QByteArray, trace);
    QFETCH(QString, error);
    QString said;
    QVERIFY(!read(trace, &said));
    QCOMPARE(said, error);
}

void ReplayTest::chunksBecomeFramesAndAnswersFollowThem()
{
    // A 130-byte line frame in chunks of 64, 64 and 2, sent twice (27, then
    // 6); an unanswered 84; and an exchange cut short before its last chunk.
    const QByteArray frame = char(18) + QByteArray(127, 'A') + "\r\n";
    QByteArray trace = "# header\n       0 main   device seen \"Other\"\n       1 main   device seen \"Meter 7\"\n"
                       "       1 main   link-up stage 2\n"
                       "       2 main   services listed: {0000180A-0000-1000-8000-00805F9B34FB} "
                       "{49535343-FE7D-4AE5-8FA9-9FAFD205E455}\n";
    for (int send = 0; send < 2; ++send) {
        trace += "     100 worker exchange start: send 130, expect 1\n";
        for (int at = 0; at < frame.size(); at += 64)
            trace += chunkLine(100 + at, frame.mid(at, 64));
        trace += notificationLine(300, send == 0 ? "\x1b" : "\x06");
    }
    trace += chunkLine(400, "\x54");
    trace += "     500 worker exchange start: send 130, expect 1\n" + chunkLine(500, frame.first(64));
    trace += "     900 worker exchange start: send 1, expect 1\n" + chunkLine(900, "\x14");
    trace += notificationLine(950, "\x14") + "     951 main   notification failed, status 133\n";

    QString error;
    const std::optional<sim::RecordedMeter> meter = read(trace, &error);
    QVERIFY2(meter, qPrintable(error));
    QCOMPARE(meter->name, QString("Meter 7"));
    QCOMPARE(meter->services.size(), 2);
    QCOMPARE(meter->answers.size(), std::size_t(3)); // the cut frame is no frame
    const QList<sim::RecordedAnswer> &written = meter->answers.at(frame);
    QCOMPARE(written.size(), 2);
    QCOMPARE(written[0].first().bytes, QByteArray("\x1b"));
    QCOMPARE(written[0].first().delayMs, 300 - 228); // after the frame's last chunk
    QCOMPARE(written[1].first().bytes, QByteArray("\x06"));
    QVERIFY(meter->answers.at("\x54").first().isEmpty());
    const sim::RecordedAnswer &ping = meter->answers.at("\x14").first();
    QCOMPARE(ping.size(), 2);
    QCOMPARE(ping[1].failStatus, 133);

    // Played back: the second frame gets the second answer, the third the
    // last again; the assembler cuts what comes in by the same rule.
    sim::ReplayMeter replay(*meter, false);
    QByteArrayList unknown;
    replay.OnUnknownFrame = [&](const QByteArray &f) { unknown << f; };
    QList<QByteArray> replies;
    for (int send = 0; send < 3; ++send) {
        for (int at = 0; at < frame.size(); at += 64)
            for (const auto &reply : replay.Receive(frame.mid(at, 64)))
                replies << reply.bytes;
    }
    QCOMPARE(replies, (QList<QByteArray>{"\x1b", "\x06", "\x06"}));
    QVERIFY(replay.Receive("\x19").isEmpty());
    QCOMPARE(unknown, QByteArrayList{"\x19"});
}

// `zevq-sim --replay <(cat t.txt)` and a named pipe: no size, and nothing
// waiting to be read before the writer writes.
void ReplayTest::traceFromAPipeIsReadToItsEnd()
{
#ifdef Q_OS_WIN
    QSKIP("named pipes of the file system are a Unix thing");
#else
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("trace.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QByteArray trace = "# header\n" + chunkLine(5, "\x14") + notificationLine(7, "\x14");
    std::thread writer([&] {
        QFile out(fifo);
        if (out.open(QIODevice::WriteOnly))
            out.write(trace);
    });
    QString error;
    const std::optional<sim::RecordedMeter> meter = sim::LoadTrace(fifo, &error);
    writer.join();
    QVERIFY2(meter, qPrintable(error));
    QCOMPARE(meter->notifications, 1);
    QCOMPARE(meter->answers.at("\x14").first().first().bytes, QByteArray("\x14"));
#endif
}

QTEST_GUILESS_MAIN(ReplayTest)
#include "tst_replay.moc"
