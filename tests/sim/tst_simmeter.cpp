// The simulated meter's logic (no sockets): frames, replies, faults, the
// record layout.

#include "protocol/parameterblock.h"
#include "data/config.h"
#include "sim/meterlogic.h"

#include <QTemporaryDir>
#include <QTest>

using protocol::ParameterBlock;
using sim::MeterLogic;

namespace {

QByteArray Code(std::uint8_t code)
{
    return QByteArray(1, static_cast<char>(code));
}

QByteArray WriteFrame(const ParameterBlock &block)
{
    return Code(sim::CodeWriteParameters) + MeterLogic::EncodeBlock(block) + "\r\n";
}

// Every reply to `bytes`, joined.
QByteArray Answer(MeterLogic &meter, const QByteArray &bytes)
{
    QByteArray all;
    for (const MeterLogic::Reply &reply : meter.Receive(bytes))
        all += reply.bytes;
    return all;
}

// A record with its checksum, worked out here rather than by the meter.
QByteArray Record(int type, int address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF)).append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char b : bytes)
        sum += static_cast<unsigned char>(b);
    bytes.append(char(-sum & 0xFF));
    return ':' + bytes.toHex();
}

} // namespace

class TestSimMeter : public QObject {
    Q_OBJECT
private slots:
    void framesAreCutWhateverTheWrites();
    void defaultBlockIsRealisticAndReadsBack();
    void blockTextAgreesWithTheProgramsCodec();
    void writtenBlockIsCheckedAndKept();
    void repeatThenAccept();
    void replyBytesCanBeChanged();
    void pingsStopWhenTold();
    void delayMarksOnlyTheChosenCommand();
    void recordsFollowTheLayout();
    void downloadAndFirmwareExtensions();
    void firmwareImageAndFaults_data();
    void firmwareImageAndFaults();
    void builtInLayoutIsTheSampleConfiguration();
};

void TestSimMeter::framesAreCutWhateverTheWrites()
{
    MeterLogic meter;
    const QByteArray write = WriteFrame(meter.MeterBlock());
    // Ping, a write split across pieces, a close, an unknown code, a read.
    const QByteArray stream = Code(sim::CodePing) + write + Code(sim::CodeCloseSession) + Code(99) +
                              Code(sim::CodeReadParameters);
    QByteArray replies;
    for (int at = 0; at < stream.size(); at += 7)
        replies += Answer(meter, stream.mid(at, 7));
    QCOMPARE(meter.Frames(), QList<QByteArray>({Code(sim::CodePing), write, Code(sim::CodeCloseSession),
                                                Code(99), Code(sim::CodeReadParameters)}));
    // Ping echo, write accepted, nothing for close and 99, then the block.
    QCOMPARE(replies.size(), 1 + 1 + 517);
    QCOMPARE(replies.left(2), QByteArray("\x14\x06"));
    QCOMPARE(meter.CommandCount(sim::CodePing), 1);

    // A partial frame does not survive a new session.
    meter.Receive(write.left(100));
    meter.ResetSession();
    QCOMPARE(Answer(meter, Code(sim::CodePing)), Code(sim::CodePing));

    // A line frame that never ends is cut at the limit and refused.
    QByteArray endless = Code(sim::CodeFirmwareLine) + QByteArray(MeterLogic::MaxLineFrame, 'A');
    QCOMPARE(Answer(meter, endless), Code(sim::CodeRepeat));
    QCOMPARE(meter.Frames().at(meter.Frames().size() - 2).size(), MeterLogic::MaxLineFrame);
    QCOMPARE(meter.Frames().last(), QByteArray("A")); // the byte past the limit starts a new frame
}

void TestSimMeter::defaultBlockIsRealisticAndReadsBack()
{
    MeterLogic meter;
    const QByteArray reply = Answer(meter, Code(sim::CodeReadParameters));
    QCOMPARE(reply.size(), 517);
    QCOMPARE(reply.front(), char(sim::CodeReadParameters));
    QVERIFY(reply.endsWith("\r\n"));
    const ParameterBlock &block = meter.MeterBlock();
    int sum = 0;
    for (std::uint8_t byte : block.bytes)
        sum += byte;
    QCOMPARE(sum % 256, 0);
    QCOMPARE(MeterLogic::StoredRecords(block), 25);
    QCOMPARE(block[ParameterBlock::ActiveRangeCount], 25);
    QCOMPARE(block[ParameterBlock::RangeMap], 1);
    QCOMPARE(block[ParameterBlock::RangeMap + 24], 25);
    QCOMPARE(block[ParameterBlock::PrintoutFlag], 0xFF);
    QVERIFY(block[ParameterBlock::InfoText] != 0);
    for (int date : {ParameterBlock::ManufactureDate, ParameterBlock::CharacteristicsDate,
                     ParameterBlock::ServiceDate}) {
        QVERIFY(block[date + 1] <= 11);
        QVERIFY(block[date + 2] <= 30);
    }
    // Serial number 24517 = 0x5FC5 travels high byte first.
    QCOMPARE(block[0], 0xC5);
    QCOMPARE(reply.mid(1, 4), QByteArray("5FC5"));
    QCOMPARE(reply.mid(1 + 2 * 2, 6), QByteArray("000019")); // usage count, high byte first
}

void TestSimMeter::blockTextAgreesWithTheProgramsCodec()
{
    ParameterBlock block = MeterLogic::DefaultBlock();
    block.setWord(ParameterBlock::CalibrationCoefficient, 0x1234);
    block.setWord(ParameterBlock::RangeFrom, 1);
    block.setWord(ParameterBlock::RangeTo, 0x0203);
    MeterLogic::SetChecksum(block);
    const QByteArray text = MeterLogic::EncodeBlock(block);
    QCOMPARE(text.mid(10, 4), QByteArray("1234"));
    QCOMPARE(text.mid(142, 8), QByteArray("00010203"));

    QByteArray programs(ParameterBlock::TextSize, '\0');
    ParameterBlock copy = block;
    protocol::EncodeParameterBlock(copy, programs.data());
    QCOMPARE(text, programs);
    const std::optional<ParameterBlock> decoded = MeterLogic::DecodeBlock(text.toLower());
    QVERIFY(decoded);
    QCOMPARE(decoded->bytes, block.bytes);
}

void TestSimMeter::writtenBlockIsCheckedAndKept()
{
    MeterLogic meter;
    ParameterBlock changed = MeterLogic::DefaultBlock();
    changed.setWord(ParameterBlock::SerialNumber, 4711);
    MeterLogic::SetChecksum(changed);
    QCOMPARE(Answer(meter, WriteFrame(changed)), Code(sim::CodeAccepted));
    QCOMPARE(meter.MeterBlock().bytes, changed.bytes);
    QCOMPARE(Answer(meter, Code(sim::CodeReadParameters)).mid(1, 514), MeterLogic::EncodeBlock(changed));

    ParameterBlock wrongSum = changed;
    wrongSum[ParameterBlock::Checksum] ^= 1;
    QCOMPARE(Answer(meter, WriteFrame(wrongSum)), Code(sim::CodeRepeat));
    QByteArray badDigit = WriteFrame(changed);
    badDigit[20] = 'G';
    QCOMPARE(Answer(meter, badDigit), Code(sim::CodeRepeat));
    QByteArray noCr = WriteFrame(changed);
    noCr.remove(515, 1);
    QCOMPARE(Answer(meter, noCr), Code(sim::CodeRepeat));
    QCOMPARE(meter.MeterBlock().bytes, changed.bytes); // refused blocks are not kept
}

void TestSimMeter::repeatThenAccept()
{
    MeterLogic meter;
    meter.faults.repeatReplies = 2;
    const QByteArray frame = WriteFrame(meter.MeterBlock());
    QCOMPARE(Answer(meter, frame + frame + frame), QByteArray("\x1b\x1b\x06"));
    QCOMPARE(meter.faults.repeatReplies, 0);
}

void TestSimMeter::replyBytesCanBeChanged()
{
    MeterLogic meter;
    meter.faults.replyFaults = {{sim::ReplyFault::WrongByte, sim::CodePing, 0, 21, 1}};
    QCOMPARE(Answer(meter, Code(sim::CodePing)), QByteArray("\x15"));
    QCOMPARE(Answer(meter, Code(sim::CodePing)), Code(sim::CodePing)); // only once

    meter.faults.replyFaults = {{sim::ReplyFault::DropByte, sim::CodeReadParameters, -1, 0, -1}};
    QCOMPARE(Answer(meter, Code(sim::CodeReadParameters)).size(), 516);
    QCOMPARE(Answer(meter, Code(sim::CodeReadParameters)).size(), 516);
    QCOMPARE(Answer(meter, Code(sim::CodePing)), Code(sim::CodePing)); // other commands untouched

    meter.faults.replyFaults = {{sim::ReplyFault::AddByte, -1, -1, 0x41, 1}};
    const QByteArray longer = Answer(meter, Code(sim::CodeReadParameters));
    QCOMPARE(longer.size(), 518);
    QCOMPARE(longer.back(), 'A');
    meter.faults.replyFaults = {{sim::ReplyFault::AddByte, -1, 0, 0x41, 1}};
    QCOMPARE(Answer(meter, Code(sim::CodePing)), QByteArray("A\x14"));
}

void TestSimMeter::pingsStopWhenTold()
{
    MeterLogic meter;
    meter.faults.pingsToAnswer = 2;
    const QByteArray ping = Code(sim::CodePing);
    QCOMPARE(Answer(meter, ping + ping + ping + ping), ping + ping);
    QCOMPARE(meter.CommandCount(sim::CodePing), 4); // still received and recorded
    QCOMPARE(Answer(meter, Code(sim::CodeReadParameters)).size(), 517);
}

void TestSimMeter::delayMarksOnlyTheChosenCommand()
{
    MeterLogic meter;
    meter.faults.replyDelayMs = 700;
    meter.faults.delayCommand = sim::CodePing;
    const QList<MeterLogic::Reply> replies = meter.Receive(Code(sim::CodePing) + Code(sim::CodeReadParameters));
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies[0].delayMs, 700);
    QCOMPARE(replies[1].delayMs, 0);
}

void TestSimMeter::recordsFollowTheLayout()
{
    MeterLogic meter;
    meter.SetLayout({{"No.", 4}, {"", 3}, {"Wood", 3}, {"Note", 0}});
    QCOMPARE(sim::LayoutRecordSize(meter.Layout()), 15 + 14 + 14 + 11);
    const QByteArray record = Answer(meter, Code(sim::CodeCurrentMeasurement));
    QCOMPARE(record.size(), 54);
    // The live reading is numbered after the 25 stored ones.
    QCOMPARE(record.mid(9, 4), QByteArray("26  "));
    QCOMPARE(record.mid(15 + 14 + 9, 3), QByteArray("Oak"));
    QCOMPARE(record.left(9), QByteArray("~SLOT000:"));
    QCOMPARE(record.mid(13, 2), QByteArray("\r\n"));
    QCOMPARE(Answer(meter, Code(sim::CodeCurrentMeasurement)).mid(9, 4), QByteArray("27  "));
    // A value longer than its field is cut to the width.
    meter.SetLayout({{"Wood", 1}});
    QCOMPARE(meter.MakeRecord(0), QByteArray("~SLOT000:S\r\n"));
}

void TestSimMeter::downloadAndFirmwareExtensions()
{
    MeterLogic meter;
    meter.SetLayout({{"No.", 5}});
    QVERIFY(meter.Receive(Code(sim::CodeDownloadRecords)).isEmpty()); // no range asked for yet
    ParameterBlock block = meter.MeterBlock();
    block.setWord(ParameterBlock::RangeFrom, 3);
    block.setWord(ParameterBlock::RangeTo, 5);
    MeterLogic::SetChecksum(block);
    QCOMPARE(Answer(meter, WriteFrame(block)), Code(sim::CodeAccepted));
    const QByteArray records = Answer(meter, Code(sim::CodeDownloadRecords));
    QCOMPARE(records.size(), 3 * 16);
    QCOMPARE(records.mid(9, 5), QByteArray("3    "));
    QCOMPARE(records.mid(32 + 9, 5), QByteArray("5    "));

    QCOMPARE(Answer(meter, Code(sim::CodeFirmwareLine) + ":10000000AbCd\r\n"), Code(sim::CodeAccepted));
    QCOMPARE(Answer(meter, Code(sim::CodeFirmwareLine) + ":10 00\r\n"), Code(sim::CodeRepeat));
    meter.faults.repeatReplies = 1;
    QCOMPARE(Answer(meter, Code(sim::CodeFirmwareLine) + ":\r\n"), Code(sim::CodeRepeat));
    QCOMPARE(Answer(meter, Code(sim::CodeFirmwareLine) + ":\r\n"), Code(sim::CodeAccepted));
    QCOMPARE(meter.FirmwareLines(), QList<QByteArray>({":10000000AbCd", ":"}));
}

void TestSimMeter::firmwareImageAndFaults_data()
{
    QTest::addColumn<QList<sim::FirmwareFault>>("faults");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QByteArray>("replies"); // one byte per send, in order
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<sim::ImageBytes>("image");
    QTest::addColumn<int>("malformed");
    // A data byte, then records behind an extended linear (0x0001) and an
    // extended segment address (0x2000), then the end.
    const QList<QByteArray> lines = {Record(0, 0, "\xAA"),     Record(4, 0, QByteArray("\0\x01", 2)),
                                     Record(0, 0x10, "\1\2\3"), Record(2, 0, QByteArray("\x20\0", 2)),
                                     Record(0, 4, "\4"),        Record(1, 0, {})};
    const sim::ImageBytes first = {{0, 0xAA}};
    using F = sim::FirmwareFault;
    QTest::newRow("image") << QList<F>{} << lines << QByteArray(6, 6) << false
                           << sim::ImageBytes{{0, 0xAA}, {0x10010, 1}, {0x10011, 2}, {0x10012, 3}, {0x20004, 4}}
                           << 0;
    QTest::newRow("27 x 3, then taken") << QList<F>{{F::Repeat, 2, 3, 0}} << lines.mid(0, 3)
                                        << QByteArray("\x06\x1b\x1b\x1b\x06\x06") << false
                                        << sim::ImageBytes{{0, 0xAA}, {0x10010, 1}, {0x10011, 2}, {0x10012, 3}}
                                        << 0;
    QTest::newRow("27 x 4") << QList<F>{{F::Repeat, 2, 4, 0}} << lines << QByteArray("\x06\x1b\x1b\x1b\x1b")
                            << false << first << 0;
    QTest::newRow("wrong reply") << QList<F>{{F::WrongReply, 3, 1, 0x15}} << lines << QByteArray("\x06\x06\x15")
                                 << false << first << 0;
    QTest::newRow("silence") << QList<F>{{F::Silence, 2, 1, 0}} << lines << QByteArray("\x06") << false << first
                             << 0;
    QTest::newRow("connection dropped") << QList<F>{{F::Drop, 3, 1, 0}} << lines << QByteArray("\x06\x06") << true
                                        << first << 0;
    QTest::newRow("no whole record: taken, not placed")
        << QList<F>{} << QList<QByteArray>{":0100000000", Record(0, 0, "\xAA").replace("aa", "ab")}
        << QByteArray(2, 6) << false << sim::ImageBytes{} << 2;
}

void TestSimMeter::firmwareImageAndFaults()
{
    QFETCH(QList<sim::FirmwareFault>, faults);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QByteArray, replies);
    QFETCH(bool, dropped);
    QFETCH(sim::ImageBytes, image);
    QFETCH(int, malformed);
    MeterLogic meter;
    meter.faults.firmwareFaults = faults;
    // Sends as the program does: a line again after 27, at most 4 times.
    QByteArray got;
    bool wasDropped = false;
    for (const QByteArray &line : lines) {
        QByteArray reply = Code(sim::CodeRepeat);
        for (int send = 0; send < 4 && reply == Code(sim::CodeRepeat); ++send) {
            reply = Answer(meter, Code(sim::CodeFirmwareLine) + line + "\r\n");
            wasDropped = meter.TakeDropRequest();
            got += reply;
        }
        if (reply != Code(sim::CodeAccepted))
            break;
    }
    QCOMPARE(got, replies);
    QCOMPARE(wasDropped, dropped);
    QVERIFY(meter.FirmwareImage() == image);
    QCOMPARE(meter.MalformedFirmwareLines(), malformed);
    if (replies == QByteArray(lines.size(), 6))
        QVERIFY(sim::HexImage::Of(lines) == image);
    meter.ResetSession(); // a new connection builds a new image
    QVERIFY(meter.FirmwareImage().empty());
}

// The meter reads a file with the programs' own reader (tested there); what
// it sends without one must be what the programs read beside them.
void TestSimMeter::builtInLayoutIsTheSampleConfiguration()
{
    QList<sim::RecordField> sample;
    QString error;
    QVERIFY2(sim::LoadRecordLayout(QStringLiteral(TARVOLIN_SAMPLE_CONFIG), &sample, &error), qPrintable(error));
    QCOMPARE(sim::DefaultRecordLayout(), sample);
    data::FieldList fields;
    QVERIFY(data::LoadFieldList(QStringLiteral(TARVOLIN_SAMPLE_CONFIG), fields, &error));
    QCOMPARE(sim::LayoutRecordSize(MeterLogic().Layout()), fields.recordSize);
    QVERIFY(!sim::LoadRecordLayout(QStringLiteral(TARVOLIN_SAMPLE_CONFIG ".missing"), &sample, &error));
    QVERIFY(error.startsWith("Missing configuration file"));
}

QTEST_GUILESS_MAIN(TestSimMeter)
#include "tst_simmeter.moc"
