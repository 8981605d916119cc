// How the Qt backend cuts chunks to fit the ATT MTU, driven by a scripted
// platform: Qt 6.4 reports no MTU for a central on BlueZ's D-Bus API, so the
// mocked BlueZ cannot present one.

#include "link/gattwritequeue.h"

#include <QTest>

using devlink::GattWriteQueue;

namespace {

using Queue = GattWriteQueue<int>; // tagged by chunk number

// The platform: takes the piece on the air, answers it, and writes down what
// happened ("P20" a piece of 20 bytes, "C3" chunk 3 complete, "F3" failed).
// It fails the piece with number `failAt` (counted from 1; 0: none).
struct ScriptedPlatform {
    QByteArray received;
    QStringList events;
    int failAt = 0;

    void Run(Queue &queue)
    {
        int pieces = 0;
        while (const auto piece = queue.Next()) {
            received += piece->bytes;
            events << QStringLiteral("P%1").arg(piece->bytes.size());
            if (++pieces == failAt) {
                for (int tag : queue.TakeAll())
                    events << QStringLiteral("F%1").arg(tag);
                return;
            }
            if (const auto done = queue.Written())
                events << QStringLiteral("C%1").arg(*done);
        }
    }
};

QByteArray Frame(int size)
{
    QByteArray frame(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        frame[i] = char(i * 7 + 18);
    return frame;
}

} // namespace

class TestQtBleWrites : public QObject {
    Q_OBJECT

private slots:
    void payloadForMtu_data();
    void payloadForMtu();
    void frameInChunks_data();
    void frameInChunks();
    void failedPieceFailsItsChunkAndThoseBehind();
};

void TestQtBleWrites::payloadForMtu_data()
{
    QTest::addColumn<int>("mtu");
    QTest::addColumn<int>("payload");
    QTest::newRow("not reported") << -1 << 0;
    QTest::newRow("zero") << 0 << 0;
    QTest::newRow("below the minimum") << 10 << 20;
    QTest::newRow("default") << 23 << 20;
    QTest::newRow("fits a chunk") << 67 << 64;
    QTest::newRow("largest") << 517 << 514;
}

void TestQtBleWrites::payloadForMtu()
{
    QFETCH(int, mtu);
    QFETCH(int, payload);
    QCOMPARE(Queue::PayloadFor(mtu), payload);
}

void TestQtBleWrites::frameInChunks_data()
{
    QTest::addColumn<int>("mtu");
    QTest::addColumn<QStringList>("firstChunk"); // the events of the first chunk
    QTest::addColumn<int>("writes");
    QTest::newRow("MTU 23") << 23 << QStringList{"P20", "P20", "P20", "P4", "C0"} << 8 * 4 + 1;
    QTest::newRow("MTU 40") << 40 << QStringList{"P37", "P27", "C0"} << 8 * 2 + 1;
    QTest::newRow("MTU 67: whole chunks") << 67 << QStringList{"P64", "C0"} << 9;
    QTest::newRow("MTU unknown: whole chunks") << -1 << QStringList{"P64", "C0"} << 9;
}

void TestQtBleWrites::frameInChunks()
{
    // The written parameter block: 517 bytes, handed over in 64-byte chunks
    // all at once, as the exchange does.
    QFETCH(int, mtu);
    QFETCH(QStringList, firstChunk);
    QFETCH(int, writes);
    const QByteArray frame = Frame(517);
    Queue queue;
    queue.SetMtu(mtu);
    int chunks = 0;
    for (qsizetype at = 0; at < frame.size(); at += 64)
        queue.Add(chunks++, frame.mid(at, 64));
    ScriptedPlatform platform;
    platform.Run(queue);

    QCOMPARE(platform.received, frame);
    QCOMPARE(platform.events.mid(0, firstChunk.size()), firstChunk);
    QStringList completions;
    for (int c = 0; c < chunks; ++c)
        completions << QStringLiteral("C%1").arg(c);
    QCOMPARE(platform.events.filter(QStringLiteral("C")), completions);
    QCOMPARE(platform.events.filter(QStringLiteral("P")).size(), writes);
    for (const QString &e : platform.events.filter(QStringLiteral("P")))
        QVERIFY2(e.mid(1).toInt() <= std::max(Queue::PayloadFor(mtu), 64), qPrintable(e));
    QVERIFY(!queue.Front());
}

void TestQtBleWrites::failedPieceFailsItsChunkAndThoseBehind()
{
    const QByteArray frame = Frame(130);
    Queue queue;
    queue.SetMtu(23);
    queue.Add(0, frame.left(64));
    queue.Add(1, frame.mid(64, 64));
    queue.Add(2, frame.mid(128));
    ScriptedPlatform platform;
    platform.failAt = 6; // the second piece of chunk 1
    platform.Run(queue);
    QCOMPARE(platform.events, (QStringList{"P20", "P20", "P20", "P4", "C0", "P20", "P20", "F1", "F2"}));
    QVERIFY(!queue.Busy());
    QVERIFY(!queue.Next());
}

QTEST_APPLESS_MAIN(TestQtBleWrites)
#include "tst_qtble_writes.moc"
