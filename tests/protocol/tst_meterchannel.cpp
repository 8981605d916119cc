#include "fakemeterchannel.h"

#include <QTest>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <fstream>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVOLIN_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TARVOLIN_SANITIZED_ALLOCATOR 1
#endif
#endif

namespace protocol {
// Failed comparisons name the kind.
char *toString(Failure why)
{
    return qstrdup(FailureName(why).data());
}
} // namespace protocol

using protocol::Failure;
using protocol::MeterChannel;
using protocol::ParameterBlock;

namespace {

const QString Green = QStringLiteral("SetLampsGreen");
const QString Blue = QStringLiteral("SetLampsBlue");
const QString Progress = QStringLiteral("UpdateReceiveProgress");
const QString Show = QStringLiteral("ShowParameterBlock");

ParameterBlock SampleBlock()
{
    ParameterBlock block;
    block.setWord(ParameterBlock::SerialNumber, 4711);
    block[ParameterBlock::UsageCount + 2] = 42;
    block.setWord(ParameterBlock::CalibrationCoefficient, 1000);
    block[ParameterBlock::PrintoutFlag] = 0xFF;
    block[ParameterBlock::ActiveRangeCount] = 25;
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        block[ParameterBlock::RangeMap + e] = static_cast<std::uint8_t>(e % 180 + 1);
    return block;
}

QByteArray BlockText(ParameterBlock block)
{
    QByteArray text(ParameterBlock::TextSize, '\0');
    protocol::EncodeParameterBlock(block, text.data());
    return text;
}

ParameterBlock WithChecksum(ParameterBlock block)
{
    QByteArray text(ParameterBlock::TextSize, '\0');
    protocol::EncodeParameterBlock(block, text.data());
    return block;
}

// The meter's answer to a parameter read: code, text, CR, LF.
QByteArray BlockReply(const QByteArray &text)
{
    return char(protocol::CmdReadParameters) + text + "\r\n";
}

QByteArray Bytes(const std::vector<std::uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

QByteArray Received(const MeterChannel &channel)
{
    return QByteArray(reinterpret_cast<const char *>(channel.TransferBuffer()), channel.Received());
}

#ifdef Q_OS_WIN
// Windows limits no process's address space; the test skips.
using rlim_t = quint64;
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(rlim_t) {}
    bool active() const { return false; }
};
#else
// While it lives, the process may map only `spare` bytes beyond what it maps
// now, so a large allocation fails whatever the machine has.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(rlim_t spare)
    {
        getrlimit(RLIMIT_AS, &m_old);
        unsigned long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlimit limit = m_old;
        limit.rlim_cur = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + spare;
        m_active = pages > 0 && limit.rlim_cur < m_old.rlim_max && setrlimit(RLIMIT_AS, &limit) == 0;
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &m_old); }
    AddressSpaceLimit(const AddressSpaceLimit &) = delete;
    AddressSpaceLimit &operator=(const AddressSpaceLimit &) = delete;
    bool active() const { return m_active; }

private:
    rlimit m_old{};
    bool m_active = false;
};
#endif

} // namespace

class TestMeterChannel : public QObject {
    Q_OBJECT

private slots:
    void sendsFrameInPacedChunks();
    void writeCompletionLimit();
    void replyLimitRunsBetweenEvents();
    void replyOfWrongLengthFails_data();
    void replyOfWrongLengthFails();
    void replyDuringSendPhaseEndsAtOnce();
    void signalFromBeforeDoesNotEndTheWait();
    void failedStatusFails_data();
    void failedStatusFails();
    void refusesCountsItCannotMeet();
    void lampsFollowTheTraffic();
    void writeParametersRepeatsOnRequest_data();
    void writeParametersRepeatsOnRequest();
    void readParametersShowsGoodBlock();
    void readParametersRefusesCorruptBlock_data();
    void readParametersRefusesCorruptBlock();
    void readParametersStopsWhenRequestFails();
    void receiveAreaIsBounded();
    void exchangeStartsClean();
    void consumeReceivedNeverGoesNegative();
    void readCurrentMeasurement_data();
    void readCurrentMeasurement();
    void downloadMeasurements_data();
    void downloadMeasurements();
    void downloadRefusedBeforeSending_data();
    void downloadRefusedBeforeSending();
    void downloadWithoutMemoryFails();
    void uploadFirmware_data();
    void uploadFirmware();
    void uploadSendsNothingItCannotSend();
};

void TestMeterChannel::sendsFrameInPacedChunks()
{
    FakeMeterChannel channel;
    for (int i = 0; i < 517; ++i)
        channel.Frame.push_back(static_cast<std::uint8_t>(i));

    QVERIFY(channel.Exchange(517, 0));

    QCOMPARE(channel.writes.size(), std::size_t(9));
    QByteArray sent;
    for (std::size_t i = 0; i < channel.writes.size(); ++i) {
        QCOMPARE(channel.writes[i].bytes.size(), i < 8 ? 64 : 5);
        QCOMPARE(channel.writes[i].time, qint64(20 * i)); // 20 ms pause, completion inside it
        sent += channel.writes[i].bytes;
    }
    QCOMPARE(sent, Bytes(channel.Frame));

    QStringList expected{Green};
    for (int i = 0; i < 9; ++i)
        expected << QStringLiteral("Sleep20") << QStringLiteral("Wait2000");
    expected << Blue; // a send-only exchange of more than two bytes ends blue
    QCOMPARE(channel.callNames(), expected);
    QCOMPARE(channel.now, qint64(180));
}

void TestMeterChannel::writeCompletionLimit()
{
    // A completion 1999 ms into the wait is in time.
    FakeMeterChannel late;
    late.completionDelay = 20 + 1999;
    late.onFrame = [&](const QByteArray &) { late.notify(late.completionDelay + 1, "\x14"); };
    QVERIFY(late.Ping());

    // No completion: the exchange gives up 2000 ms after the pause.
    FakeMeterChannel silent;
    silent.onWrite = [](int, const QByteArray &) {};
    QCOMPARE(silent.Ping().why(), Failure::Timeout);
    QCOMPARE(silent.now, qint64(2020));
    QCOMPARE(silent.lampCalls(), QStringList{Blue});
    QCOMPARE(silent.count(QStringLiteral("Wait3000")), 0);

    // Silence in the middle of a long frame stops the send there.
    FakeMeterChannel stalls;
    stalls.onWrite = [&](int index, const QByteArray &) {
        if (index < 2)
            stalls.complete(5);
    };
    stalls.Frame.assign(517, 'A');
    QCOMPARE(stalls.Exchange(517, 1).why(), Failure::Timeout);
    QCOMPARE(stalls.writes.size(), std::size_t(3));
    QCOMPARE(stalls.now, qint64(3 * 20 + 2000));
    QCOMPARE(stalls.lampCalls(), (QStringList{Green, Blue}));
}

void TestMeterChannel::replyLimitRunsBetweenEvents()
{
    // The reply wait starts at 20 ms; each piece may take up to 3000 ms more
    // after the one before, however long the reply takes in all.
    FakeMeterChannel slow;
    const QByteArray reply = BlockReply(BlockText(SampleBlock()));
    slow.onFrame = [&](const QByteArray &) {
        for (int piece = 0; piece < 3; ++piece)
            slow.notify(20 + 2999 * (piece + 1), reply.mid(piece * 200, 200), 200);
    };
    slow.Frame.assign(1, protocol::CmdReadParameters);
    QVERIFY(slow.Exchange(1, 517));
    QCOMPARE(slow.now, qint64(20 + 3 * 2999));
    QCOMPARE(slow.count(Progress), 3);
    QCOMPARE(Received(slow), reply);

    FakeMeterChannel tooSlow;
    tooSlow.onFrame = [&](const QByteArray &) { tooSlow.notify(20 + 3001, "\x14"); };
    QCOMPARE(tooSlow.Ping().why(), Failure::Timeout);
    QCOMPARE(tooSlow.now, qint64(20 + 3000));
    QCOMPARE(tooSlow.lampCalls(), QStringList{Blue});
}

void TestMeterChannel::replyOfWrongLengthFails_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("one byte short") << 516;
    QTest::newRow("one byte too many") << 518;
}

void TestMeterChannel::replyOfWrongLengthFails()
{
    QFETCH(int, length);
    FakeMeterChannel channel;
    channel.onFrame = [&](const QByteArray &) { channel.notify(50, QByteArray(length, 'A')); };
    channel.Frame.assign(1, protocol::CmdReadParameters);

    QCOMPARE(channel.Exchange(1, 517).why(), Failure::Timeout);
    QCOMPARE(channel.now, qint64(50 + 3000)); // 3000 ms after the last notification
    QCOMPARE(channel.Received(), length);
    QCOMPARE(channel.lampCalls(), (QStringList{Green, Blue}));
}

void TestMeterChannel::signalFromBeforeDoesNotEndTheWait()
{
    // Bytes between exchanges (the answer to an unawaited 84) woke nobody;
    // the next exchange still waits for its own write's completion.
    FakeMeterChannel channel;
    channel.completionDelay = 50;
    channel.OnNotification("x", 0);
    channel.Frame.assign(1, protocol::CmdCloseSession);
    QVERIFY(channel.Exchange(1, 0));
    QCOMPARE(channel.now, qint64(50));
}

void TestMeterChannel::replyDuringSendPhaseEndsAtOnce()
{
    FakeMeterChannel channel;
    const QByteArray reply = BlockReply(BlockText(SampleBlock()));
    channel.onWrite = [&](int, const QByteArray &) {
        channel.notify(2, reply, 20); // the whole reply before the completion
        channel.complete(10);
    };
    channel.Frame.assign(1, protocol::CmdReadParameters);

    QVERIFY(channel.Exchange(1, 517));
    QCOMPARE(channel.count(Progress), 0);
    QCOMPARE(channel.count(QStringLiteral("Wait3000")), 0);
    QCOMPARE(channel.now, qint64(20));
    QCOMPARE(Received(channel), reply);
}

void TestMeterChannel::failedStatusFails_data()
{
    QTest::addColumn<bool>("failWrite");
    QTest::newRow("write completion") << true;
    QTest::newRow("notification") << false;
}

void TestMeterChannel::failedStatusFails()
{
    QFETCH(bool, failWrite);
    FakeMeterChannel channel;
    channel.writeStatus = failWrite ? 133 : 0;
    channel.onFrame = [&](const QByteArray &) {
        channel.notify(30, "\x14\x14");
        channel.notifyError(40, 133);
        channel.notify(50, "\x14");
    };

    QCOMPARE(channel.Ping().why(), Failure::LinkError);
    QVERIFY(channel.IoError());
    QCOMPARE(channel.lampCalls(), QStringList{Blue});
    if (failWrite) {
        QCOMPARE(channel.now, qint64(20)); // at the first wake-up
    } else {
        // The wake-up at 30 sees two bytes, not one; the failed notification
        // at 40 stores nothing and ends the exchange.
        QCOMPARE(channel.now, qint64(40));
        QCOMPARE(channel.Received(), 2);
    }
}

void TestMeterChannel::refusesCountsItCannotMeet()
{
    FakeMeterChannel channel(600);
    channel.Frame.assign(1, protocol::CmdPing);
    QCOMPARE(channel.Exchange(2, 1).why(), Failure::BadRequest);   // more than the frame holds
    QCOMPARE(channel.Exchange(1, -1).why(), Failure::BadRequest);  // a negative reply length
    QCOMPARE(channel.Exchange(1, 601).why(), Failure::BadRequest); // more than the receive area holds
    QVERIFY(channel.writes.empty());
    QCOMPARE(channel.lampCalls(), (QStringList{Blue, Blue, Blue}));
    QCOMPARE(channel.now, qint64(0));
}

void TestMeterChannel::lampsFollowTheTraffic()
{
    FakeMeterChannel ping;
    ping.onFrame = [&](const QByteArray &) { ping.notify(8, "\x14"); };
    QVERIFY(ping.Ping());
    QVERIFY(ping.lampCalls().isEmpty());
    QCOMPARE(ping.frames, std::vector<QByteArray>{"\x14"});

    FakeMeterChannel wrongEcho;
    wrongEcho.onFrame = [&](const QByteArray &) { wrongEcho.notify(8, "\x15"); };
    QCOMPARE(wrongEcho.Ping().why(), Failure::BadReply);
    QVERIFY(wrongEcho.lampCalls().isEmpty()); // the exchange itself worked

    FakeMeterChannel close;
    close.SendDisconnect();
    QCOMPARE(close.frames, std::vector<QByteArray>{"\x19"});
    QVERIFY(close.lampCalls().isEmpty());
    QCOMPARE(close.callNames(), (QStringList{"Sleep20", "Wait2000", "Sleep500"}));

    FakeMeterChannel read;
    read.onFrame = [&](const QByteArray &) { read.notify(8, QByteArray(517, 'x')); };
    read.Frame.assign(1, protocol::CmdReadParameters);
    QVERIFY(read.Exchange(1, 517));
    QCOMPARE(read.lampCalls(), QStringList{Green}); // left green on success
}

void TestMeterChannel::writeParametersRepeatsOnRequest_data()
{
    QTest::addColumn<QByteArray>("replies"); // one per frame; missing = silence
    QTest::addColumn<int>("frames");
    QTest::addColumn<Failure>("result");
    QTest::newRow("accepted at once") << QByteArray("\x06") << 1 << Failure::None;
    QTest::newRow("27, 27, 6") << QByteArray("\x1b\x1b\x06") << 3 << Failure::None;
    QTest::newRow("27 four times") << QByteArray("\x1b\x1b\x1b\x1b") << 4 << Failure::RefusedReply;
    QTest::newRow("21") << QByteArray("\x15") << 1 << Failure::RefusedReply;
    QTest::newRow("27 then silence") << QByteArray("\x1b") << 2 << Failure::Timeout;
}

void TestMeterChannel::writeParametersRepeatsOnRequest()
{
    QFETCH(QByteArray, replies);
    QFETCH(int, frames);
    QFETCH(Failure, result);
    FakeMeterChannel channel;
    ParameterBlock page = SampleBlock();
    page[ParameterBlock::Checksum] = 0x99; // stale; every frame must carry the right one
    channel.onCollect = [&] { channel.Block = page; };
    qsizetype next = 0;
    channel.onFrame = [&](const QByteArray &) {
        if (next < replies.size())
            channel.notify(10, replies.mid(next++, 1));
    };

    QCOMPARE(channel.WriteParameters().why(), result);

    QCOMPARE(channel.count(QStringLiteral("CollectParameterBlock")), 1);
    QCOMPARE(channel.callNames().first(), QStringLiteral("CollectParameterBlock"));
    QCOMPARE(int(channel.frames.size()), frames);
    const QByteArray expected = char(protocol::CmdWriteParameters) + BlockText(page) + "\r\n";
    QCOMPARE(expected.size(), 517);
    for (const QByteArray &frame : channel.frames)
        QCOMPARE(frame, expected);
    QCOMPARE(channel.writes.size(), std::size_t(9 * frames));
    // Only the checksum of the block changes.
    QVERIFY(channel.Block.bytes == WithChecksum(page).bytes);
}

void TestMeterChannel::readParametersShowsGoodBlock()
{
    FakeMeterChannel channel;
    const ParameterBlock sent = SampleBlock();
    channel.onFrame = [&](const QByteArray &frame) {
        if (frame == "\x54") // a measurement answer nobody waits for
            channel.notify(60, "junk-record", 4);
        else
            channel.notify(10, BlockReply(BlockText(sent).toLower()), 20);
    };

    QVERIFY(channel.ReadParameters());

    QCOMPARE(channel.frames, (std::vector<QByteArray>{"\x54", "\x13"}));
    QVERIFY(channel.Block.bytes == WithChecksum(sent).bytes);
    QCOMPARE(channel.count(Show), 1);
    QCOMPARE(channel.callNames().last(), Show);
    QCOMPARE(channel.writes[1].time, qint64(20 + 200));
    QCOMPARE(channel.timeOfLast(QStringLiteral("Sleep200")), qint64(20));
    QCOMPARE(channel.lampCalls(), QStringList{Green});
}

void TestMeterChannel::readParametersRefusesCorruptBlock_data()
{
    QTest::addColumn<int>("position"); // in the text
    QTest::addColumn<char>("character");
    QTest::newRow("wrong checksum") << 513 << '~';
    QTest::newRow("changed serial number") << 0 << '~';
    QTest::newRow("bad digit") << 250 << 'Z';
    QTest::newRow("CR inside the text") << 40 << '\r';
}

void TestMeterChannel::readParametersRefusesCorruptBlock()
{
    QFETCH(int, position);
    QFETCH(char, character);
    QByteArray text = BlockText(SampleBlock());
    if (character == '~')
        character = text[position] == '7' ? '8' : '7';
    text[position] = character;

    FakeMeterChannel channel;
    channel.onFrame = [&](const QByteArray &frame) {
        if (frame == "\x13")
            channel.notify(10, BlockReply(text));
    };
    ParameterBlock before;
    before.bytes.fill(0x5A);
    channel.Block = before;

    QCOMPARE(channel.ReadParameters().why(), Failure::BadReply);
    QVERIFY(channel.Block.bytes == before.bytes);
    QCOMPARE(channel.count(Show), 0);
}

void TestMeterChannel::readParametersStopsWhenRequestFails()
{
    FakeMeterChannel channel;
    channel.onWrite = [](int, const QByteArray &) {}; // link gone: no completion
    QCOMPARE(channel.ReadParameters().why(), Failure::Timeout);
    QCOMPARE(channel.writes.size(), std::size_t(1));
    QCOMPARE(channel.count(QStringLiteral("Sleep200")), 0);
    QCOMPARE(channel.count(Show), 0);
}

void TestMeterChannel::receiveAreaIsBounded()
{
    FakeMeterChannel channel(8);
    channel.OnNotification("0123456789", 0);
    QCOMPARE(Received(channel), QByteArray("01234567"));
    QVERIFY(channel.IoError());
    channel.OnNotification("more", 0);
    QCOMPARE(Received(channel), QByteArray("01234567"));

    // An overflowing reply fails at its wake-up, not after the reply limit.
    channel.onFrame = [&](const QByteArray &) { channel.notify(30, "abcdefghij", 10); };
    channel.Frame.assign(1, protocol::CmdDownloadRecords);
    QCOMPARE(channel.Exchange(1, 8).why(), Failure::LinkError);
    QCOMPARE(channel.now, qint64(30));
    QCOMPARE(Received(channel), QByteArray("abcdefgh"));

    // A reply that fits exactly is fine.
    channel.onFrame = [&](const QByteArray &) { channel.notify(30, "ABCDEFGH", 3); };
    QVERIFY(channel.Exchange(1, 8));
    QVERIFY(!channel.IoError());
}

void TestMeterChannel::exchangeStartsClean()
{
    FakeMeterChannel channel;
    // Left over from an earlier session: a failed write and stray bytes.
    channel.OnWriteCompleted(133);
    channel.OnNotification("\x06\x06\x06", 0);
    QVERIFY(channel.IoError());
    QCOMPARE(channel.Received(), 3);

    channel.onFrame = [&](const QByteArray &) { channel.notify(40, "\x14"); };
    QVERIFY(channel.Ping());
    QCOMPARE(Received(channel), QByteArray("\x14"));
    QVERIFY(!channel.IoError());
}

void TestMeterChannel::consumeReceivedNeverGoesNegative()
{
    FakeMeterChannel channel(16);
    channel.OnNotification("0123456789", 0);
    channel.ConsumeReceived(4);
    QCOMPARE(channel.Received(), 6);
    channel.ConsumeReceived(-3);
    QCOMPARE(channel.Received(), 6);
    channel.ConsumeReceived(100);
    QCOMPARE(channel.Received(), 0);
    channel.OnNotification("xy", 0);
    QCOMPARE(Received(channel), QByteArray("xy"));
}

namespace {

constexpr qint32 SampleRecordSize = 134;

// Distinct bytes, so a record cut or shifted anywhere shows.
QByteArray RecordBytes(qint64 count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (qint64 i = 0; i < count; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

const QString ShowReceive = QStringLiteral("ShowReceiveProgress");
const QString HideReceive = QStringLiteral("HideReceiveProgress");

} // namespace

void TestMeterChannel::readCurrentMeasurement_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<Failure>("result");
    QTest::newRow("one record") << 31 << Failure::None;
    QTest::newRow("one byte short") << 30 << Failure::Timeout;
}

void TestMeterChannel::readCurrentMeasurement()
{
    QFETCH(int, length);
    QFETCH(Failure, result);
    FakeMeterChannel channel(MeterChannel::DefaultReceiveCapacity, 31);
    const QByteArray record = RecordBytes(length);
    channel.onFrame = [&](const QByteArray &) { channel.notify(10, record); };

    QCOMPARE(channel.ReadCurrentMeasurement().why(), result);
    QCOMPARE(channel.frames, std::vector<QByteArray>{"\x54"});
    QCOMPARE(Received(channel), record);
}

void TestMeterChannel::downloadMeasurements_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QByteArray>("requestReplies"); // one per request frame; missing = silence
    QTest::addColumn<int>("replyDelta");            // record bytes sent beyond (or short of) the reply
    QTest::addColumn<Failure>("result");

    QTest::newRow("27, 27, 27, 6") << 3 << 5 << QByteArray("\x1b\x1b\x1b\x06") << 0 << Failure::None;
    QTest::newRow("27 four times") << 3 << 5 << QByteArray("\x1b\x1b\x1b\x1b") << 0 << Failure::RefusedReply;
    QTest::newRow("0") << 3 << 5 << QByteArray(1, '\0') << 0 << Failure::RefusedReply;
    QTest::newRow("reply one byte short") << 3 << 5 << QByteArray("\x06") << -1 << Failure::Timeout;
    QTest::newRow("whole range, 8.8 MB") << 1 << 65535 << QByteArray("\x06") << 0 << Failure::None;
    // The bytes beyond the area are dropped and flagged as a link fault.
    QTest::newRow("over 512,000 bytes, one too many") << 1 << 4000 << QByteArray("\x06") << 1 << Failure::LinkError;
}

void TestMeterChannel::downloadMeasurements()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QByteArray, requestReplies);
    QFETCH(int, replyDelta);
    QFETCH(Failure, result);
    FakeMeterChannel channel(MeterChannel::DefaultReceiveCapacity, SampleRecordSize);
    ParameterBlock page = SampleBlock();
    page.setWord(ParameterBlock::RangeFrom, quint16(from));
    page.setWord(ParameterBlock::RangeTo, quint16(to));
    channel.onCollect = [&] { channel.Block = page; };
    const qint64 replySize = qint64(to - from + 1) * SampleRecordSize;
    const QByteArray records = RecordBytes(replySize + replyDelta);
    qsizetype next = 0;
    channel.onFrame = [&](const QByteArray &frame) {
        if (frame.at(0) == protocol::CmdDownloadRecords)
            channel.notify(10, records, 244);
        else if (next < requestReplies.size())
            channel.notify(10, requestReplies.mid(next++, 1));
    };

    QCOMPARE(channel.DownloadMeasurements().why(), result);

    QCOMPARE(channel.count(QStringLiteral("CollectParameterBlock")), 1);
    // Every request frame carries the range and is the same.
    const QByteArray request = char(protocol::CmdWriteParameters) + BlockText(page) + "\r\n";
    const bool accepted = requestReplies.endsWith(char(protocol::ReplyAccepted));
    QCOMPARE(int(channel.frames.size()), int(requestReplies.size()) + (accepted ? 1 : 0));
    for (std::size_t i = 0; i + (accepted ? 1 : 0) < channel.frames.size(); ++i)
        QCOMPARE(channel.frames[i], request);

    const QStringList calls = channel.callNames();
    if (!accepted) {
        QCOMPARE(channel.count(ShowReceive), 0);
        QCOMPARE(channel.count(HideReceive), 0);
        return;
    }
    QCOMPARE(channel.frames.back(), QByteArray("\x02"));
    QCOMPARE(channel.progressMaximum, replySize);
    QCOMPARE(calls.mid(calls.indexOf(ShowReceive), 2), (QStringList{ShowReceive, "Sleep500"}));
    QCOMPARE(calls.last(), HideReceive);
    QCOMPARE(channel.count(HideReceive), 1);
    // Never stored past what the reply needs, however much arrives.
    QCOMPARE(Received(channel), records.left(replySize));
    if (result == Failure::None) {
        channel.onFrame = [&](const QByteArray &) { channel.notify(10, "\x14"); };
        QVERIFY(channel.Ping());
        QCOMPARE(channel.ReceiveCapacity(), MeterChannel::DefaultReceiveCapacity);
    }
}

void TestMeterChannel::downloadRefusedBeforeSending_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("recordSize");
    // 65535 records of 4097 bytes are just over 256 MiB.
    QTest::newRow("over 256 MiB") << 1 << 65535 << 4097;
    QTest::newRow("inverted range") << 5 << 3 << SampleRecordSize;
    QTest::newRow("no record bytes") << 1 << 10 << 0;
}

void TestMeterChannel::downloadRefusedBeforeSending()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(int, recordSize);
    QVERIFY(!MeterChannel::DownloadReplyAcceptable(MeterChannel::DownloadReplySize(quint16(from), quint16(to), recordSize)));
    FakeMeterChannel channel(MeterChannel::DefaultReceiveCapacity, recordSize);
    channel.onCollect = [&] {
        channel.Block.setWord(ParameterBlock::RangeFrom, quint16(from));
        channel.Block.setWord(ParameterBlock::RangeTo, quint16(to));
    };

    QCOMPARE(channel.DownloadMeasurements().why(), Failure::BadRequest);
    QVERIFY(channel.writes.empty());
    QCOMPARE(channel.callNames(), QStringList{"CollectParameterBlock"});
}

void TestMeterChannel::downloadWithoutMemoryFails()
{
#ifdef TARVOLIN_SANITIZED_ALLOCATOR
    QSKIP("a sanitizer's allocator ends the process instead of failing the allocation");
#else
    // 65535 records of 4000 bytes: a reply of 262 MB, within the download
    // limit, for which no area can be had.
    FakeMeterChannel channel(MeterChannel::DefaultReceiveCapacity, 4000);
    channel.onCollect = [&] {
        channel.Block.setWord(ParameterBlock::RangeFrom, 1);
        channel.Block.setWord(ParameterBlock::RangeTo, 65535);
    };
    channel.onFrame = [&](const QByteArray &) { channel.notify(10, "\x06"); };
    protocol::Outcome fetched;
    {
        const AddressSpaceLimit limit(rlim_t(64) << 20);
        if (!limit.active())
            QSKIP("the address space cannot be limited here");
        fetched = channel.DownloadMeasurements();
    }
    QCOMPARE(fetched.why(), Failure::OutOfMemory);
    QCOMPARE(channel.frames.size(), std::size_t(1)); // the request; 2 never went out
    QCOMPARE(channel.lampCalls().last(), Blue);
    QCOMPARE(channel.callNames().last(), HideReceive);
#endif
}

void TestMeterChannel::uploadFirmware_data()
{
    QTest::addColumn<QByteArray>("replies"); // one per frame
    QTest::addColumn<QList<int>>("lines");   // the line each frame carries
    QTest::addColumn<Failure>("result");
    QTest::newRow("one line 27 three times, then 6")
        << QByteArray("\x06\x1b\x1b\x1b\x06\x06\x06") << QList<int>{0, 1, 1, 1, 1, 2, 3} << Failure::None;
    QTest::newRow("27 four times") << QByteArray("\x06\x1b\x1b\x1b\x1b") << QList<int>{0, 1, 1, 1, 1}
                                   << Failure::RefusedReply;
    QTest::newRow("wrong reply") << QByteArray("\x06\x15") << QList<int>{0, 1} << Failure::RefusedReply;
}

void TestMeterChannel::uploadFirmware()
{
    QFETCH(QByteArray, replies);
    QFETCH(QList<int>, lines);
    QFETCH(Failure, result);
    FakeMeterChannel channel;
    channel.HexLines = std::make_unique<QStringList>(
        QStringList{"  :10000000AB \t", ":", ":00000001ff", "\x01:020000040000FA\r"});
    const QList<QByteArray> sent{"\x11:10000000AB\r\n", "\x11:\r\n", "\x11:00000001ff\r\n",
                                 "\x11:020000040000FA\r\n"};
    qsizetype next = 0;
    channel.onFrame = [&](const QByteArray &) {
        if (next < replies.size())
            channel.notify(10, replies.mid(next++, 1));
    };

    QCOMPARE(channel.UploadFirmware().why(), result);

    QCOMPARE(int(channel.frames.size()), int(lines.size()));
    for (qsizetype i = 0; i < lines.size(); ++i)
        QCOMPARE(channel.frames[std::size_t(i)], sent[lines[i]]);
    QCOMPARE(channel.progressMaximum, qint64(4));
    QCOMPARE(channel.count(QStringLiteral("StepUploadProgress")), int(replies.count('\x06')));
    QCOMPARE(channel.callNames().first(), QStringLiteral("ShowUploadProgress"));
    QCOMPARE(channel.callNames().last(), QStringLiteral("HideUploadProgress"));
    QVERIFY(!channel.HexLines);
}

void TestMeterChannel::uploadSendsNothingItCannotSend()
{
    // A character beyond ASCII cannot go out as one byte unchanged.
    FakeMeterChannel channel;
    channel.HexLines = std::make_unique<QStringList>(QStringList{":00", QStringLiteral(":0\u00e40")});
    channel.onFrame = [&](const QByteArray &) { channel.notify(10, "\x06"); };
    QCOMPARE(channel.UploadFirmware().why(), Failure::BadRequest);
    QCOMPARE(channel.frames, std::vector<QByteArray>{"\x11:00\r\n"});
    QVERIFY(!channel.HexLines);
    QCOMPARE(channel.callNames().last(), QStringLiteral("HideUploadProgress"));

    FakeMeterChannel unset;
    QCOMPARE(unset.UploadFirmware().why(), Failure::BadRequest);
    QVERIFY(unset.calls.empty());
}

QTEST_GUILESS_MAIN(TestMeterChannel)
#include "tst_meterchannel.moc"
