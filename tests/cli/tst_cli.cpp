// tarvolin-cli as a script runs it: the built tool as a process against a
// simulated meter on a thread of this test, so what the meter received can
// be checked byte for byte. The tool runs on the real pauses, so each case
// here is one path a user takes, with as few runs as it needs.

#include "cli/exitcodes.h"
#include "data/config.h"
#include "data/titem.h"
#include "protocol/records.h"
#include "sim/meterlogic.h"
#include "sim/simmeterthread.h"
#include "data/csv.h"
#include "data/meastable.h"
#include "tests/support/hexrecords.h"
#include "tests/support/testfiles.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using protocol::ParameterBlock;

namespace {

const QString kConfig = QStringLiteral(TARVOLIN_CONFIG);
const QString kLost = QStringLiteral("Connection lost or unrecoverable transmission error.");

struct Result {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// The shared richer block, with records stored.
ParameterBlock StartBlock()
{
    ParameterBlock b = testsupport::RicherBlock();
    sim::MeterLogic::SetUsageCount(b, 3);
    sim::MeterLogic::SetChecksum(b);
    return b;
}

QString DateText(const ParameterBlock &b, int at)
{
    return QDate(2000 + b[at], b[at + 1] + 1, b[at + 2] + 1).toString(QStringLiteral("yyyy-MM-dd"));
}

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void exitCodeFollowsTheKind_data();
    void exitCodeFollowsTheKind();
    void readGivesTheBlockAndWriteRestoresIt();
    void badInputIsRefusedBeforeAnythingIsSent_data();
    void badInputIsRefusedBeforeAnythingIsSent();
    void writeChecksTheChangesAgainstTheMetersBlock();
    void absentMeterEndsAfterTheScan();
    void meterThatStopsAnsweringEndsTheDownloadWithoutAFile();
    void interruptWhileConnectedEndsTheSession();
    void downloadWritesTheBytesOfSave();
    void uploadSendsTheDataRecords();

private:
    void Launch(QProcess &process, const QStringList &arguments, const QStringList &environment = {});
    Result Tool(const QStringList &arguments, const QStringList &environment = {});
    QByteArray ExpectedCsv(int from, int to, QChar separator, data::CsvEncoding encoding) const;
    QString Path(const QString &name) const { return m_dir.filePath(name); }

    sim::SimMeterThread m_meter;
    QList<sim::RecordField> m_layout;
    QTemporaryDir m_dir;
};

void TestCli::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QString error;
    QVERIFY2(sim::LoadRecordLayout(kConfig, &m_layout, &error), qPrintable(error));
    QVERIFY(m_meter.Start());
}

void TestCli::init()
{
    m_meter.SetFaults({});
    m_meter.SetAdvertisement({});
    m_meter.SetLayout(m_layout);
    m_meter.SetBlock(StartBlock());
}

void TestCli::exitCodeFollowsTheKind_data()
{
    using protocol::Failure;
    QTest::addColumn<Failure>("why");
    QTest::addColumn<int>("code");
    QTest::newRow("none") << Failure::None << 0;
    QTest::newRow("no adapter") << Failure::NoAdapter << 2;
    QTest::newRow("meter not found") << Failure::MeterNotFound << 3;
    QTest::newRow("connection failure") << Failure::ConnectFailure << 3;
    QTest::newRow("not subscribed") << Failure::NotSubscribed << 3;
    QTest::newRow("time-out") << Failure::Timeout << 4;
    QTest::newRow("link error") << Failure::LinkError << 4;
    QTest::newRow("refused reply") << Failure::RefusedReply << 4;
    QTest::newRow("bad reply") << Failure::BadReply << 4;
    QTest::newRow("out of memory") << Failure::OutOfMemory << 4;
    QTest::newRow("bad request") << Failure::BadRequest << 4;
    QTest::newRow("step failed") << Failure::StepFailed << 4;
    QTest::newRow("interrupted") << Failure::Interrupted << 130;
}

void TestCli::exitCodeFollowsTheKind()
{
    QFETCH(protocol::Failure, why);
    QFETCH(int, code);
    QCOMPARE(int(cli::ExitCodeFor(why)), code);
}

void TestCli::Launch(QProcess &process, const QStringList &arguments, const QStringList &environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TARVOLIN_LINK"));
    for (const QString &setting : environment)
        env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TARVOLIN_CLI),
                  QStringList{QStringLiteral("--link"), m_meter.LinkValue(), QStringLiteral("--scan-seconds"),
                              QStringLiteral("5")}
                      + arguments);
}

Result TestCli::Tool(const QStringList &arguments, const QStringList &environment)
{
    QProcess process;
    Launch(process, arguments, environment);
    Result r;
    if (!process.waitForFinished(40000) || process.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = process.exitCode();
    r.out = process.readAllStandardOutput();
    r.err = process.readAllStandardError();
    return r;
}

// What "Save" writes after the window merged the meter's records from..to:
// the program's own field list, the meter's own records.
QByteArray TestCli::ExpectedCsv(int from, int to, QChar separator, data::CsvEncoding encoding) const
{
    data::FieldList fields;
    QString error;
    if (!data::LoadFieldList(kConfig, fields, &error))
        return {};
    std::vector<protocol::RecordField> layout;
    QStringList captions;
    for (const auto &item : fields.items) {
        layout.push_back({item->Width, item->IsShown()});
        if (item->IsShown())
            captions << item->Name;
    }
    data::MeasTable table;
    table.SetCaptions(captions);
    QList<QStringList> batch;
    for (int n = from; n <= to; ++n) {
        QByteArray record;
        m_meter.Run([&](sim::SimPeripheral &p) { record = p.Meter().MakeRecord(n); });
        batch << protocol::DecodeRecord(
            layout, {reinterpret_cast<const std::uint8_t *>(record.constData()), std::size_t(record.size())});
    }
    table.Merge(batch);
    return data::CsvBytes(table, separator, encoding);
}

void TestCli::readGivesTheBlockAndWriteRestoresIt()
{
    const ParameterBlock start = StartBlock();
    const QString backup = Path(QStringLiteral("backup.json"));
    Result r = Tool({QStringLiteral("read"), QStringLiteral("-o"), backup});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.isEmpty());
    QFile file(backup);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    QCOMPARE(o.value("serialNumber").toInt(), 40213);
    QCOMPARE(o.value("usageCount").toInt(), 3);
    QCOMPARE(o.value("calibrationCoefficient").toInt(), 1000);
    QCOMPARE(o.value("manufactureDate").toString(), DateText(start, ParameterBlock::ManufactureDate));
    QCOMPARE(o.value("characteristicsDate").toString(), DateText(start, ParameterBlock::CharacteristicsDate));
    QCOMPARE(o.value("serviceDate").toString(), DateText(start, ParameterBlock::ServiceDate));
    QCOMPARE(o.value("printout").toBool(), true);
    QCOMPARE(o.value("infoText").toString(), QStringLiteral("Sawmill Lindqvist, kiln hall 2"));
    QCOMPARE(o.value("activeRangeCount").toInt(), 25);
    const QJsonArray map = o.value("rangeMap").toArray();
    QCOMPARE(map.size(), ParameterBlock::RangeMapLength);
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        QCOMPARE(map[e].toInt(), int(start[ParameterBlock::RangeMap + e]));
    QCOMPARE(o.value("hex").toString().toLatin1(), sim::MeterLogic::EncodeBlock(start));
    // Which meter was read, and when; write never applies it.
    const QJsonObject meter = o.value("meter").toObject();
    QCOMPARE(meter.value("name").toString(), QStringLiteral("Vorelt-ZEVQ25k"));
    QVERIFY(m_meter.LinkValue().endsWith(QLatin1Char(':') + meter.value("address").toString()));
    const QDateTime time = QDateTime::fromString(meter.value("time").toString(), Qt::ISODate);
    QCOMPARE(time.timeSpec(), Qt::UTC);
    QVERIFY(qAbs(time.secsTo(QDateTime::currentDateTimeUtc())) < 60);
    QCOMPARE(o.size(), 12);

    // Another meter answers: its serial number differs, so nothing is
    // written, the session is closed and the link goes off.
    ParameterBlock changed = start;
    changed.setWord(ParameterBlock::SerialNumber, 1);
    m_meter.SetBlock(changed);
    o.insert("infoText", "Kiln 9, north");
    QVERIFY(WriteFile(backup, QJsonDocument(o).toJson()));
    const int writes = m_meter.CommandCount(sim::CodeWriteParameters);
    const int closes = m_meter.CommandCount(sim::CodeCloseSession);
    r = Tool({QStringLiteral("write"), backup});
    QCOMPARE(r.code, int(cli::ExitOtherMeter));
    QVERIFY2(r.err.contains(backup.toUtf8() + " holds the settings of meter 40213; the connected meter is 1. "
                            "Nothing was written. Use --other-meter to write them anyway."),
             r.err.constData());
    QCOMPARE(m_meter.CommandCount(sim::CodeWriteParameters), writes);
    QCOMPARE(m_meter.CommandCount(sim::CodeCloseSession), closes + 1);
    QVERIFY(m_meter.WaitForConnections(0, 3000));

    // --other-meter writes the edited backup as it stands, as the window
    // would send it.
    const qsizetype framesBefore = m_meter.Frames().size();
    r = Tool({QStringLiteral("write"), backup, QStringLiteral("--other-meter")});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("serialNumber: 1 -> 40213"), r.out.constData());
    // The bytes every write clears are no change, and said once.
    QVERIFY2(!r.out.contains("other bytes"), r.out.constData());
    QCOMPARE(r.err.count("Every write clears"), 1);

    ParameterBlock expected = start;
    const QByteArray info("Kiln 9, north");
    for (int i = 0; i < ParameterBlock::InfoTextLength; ++i)
        expected[ParameterBlock::InfoText + i] = i < info.size() ? std::uint8_t(info[i]) : 0;
    for (int i = 0; i < 5; ++i)
        expected[ParameterBlock::ReservedCleared + i] = 0; // as the window's page copy does
    expected.setWord(ParameterBlock::RangeFrom, 0);
    expected.setWord(ParameterBlock::RangeTo, 0);
    sim::MeterLogic::SetChecksum(expected);
    QList<QByteArray> written;
    for (const QByteArray &frame : m_meter.Frames().mid(framesBefore))
        if (frame.startsWith(char(sim::CodeWriteParameters)))
            written << frame;
    QCOMPARE(written.size(), 1);
    QCOMPARE(written[0], char(sim::CodeWriteParameters) + sim::MeterLogic::EncodeBlock(expected) + "\r\n");
    QCOMPARE(m_meter.Block().bytes, expected.bytes);
    QVERIFY(m_meter.WaitForConnections(0, 3000)); // the link went off
}

void TestCli::badInputIsRefusedBeforeAnythingIsSent_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message");
    QByteArray badChecksum = sim::MeterLogic::EncodeBlock(StartBlock());
    badChecksum[513] = badChecksum[513] == '0' ? '1' : '0';
    QList<QByteArray> badLine = testsupport::SixLineFirmware();
    badLine[2][badLine[2].size() - 1] = badLine[2].endsWith('0') ? '1' : '0';
    QTest::newRow("unknown field") << QStringList{"write"} << QByteArray(R"({"serial": 5})")
                                   << QStringLiteral("unknown field \"serial\"");
    QTest::newRow("value out of range") << QStringList{"write"} << QByteArray(R"({"activeRangeCount": 256})")
                                        << QStringLiteral("activeRangeCount: allowed values are the integers 0..180");
    QTest::newRow("range 0 in use on the file's own block")
        << QStringList{"write"}
        << R"({"hex": ")" + sim::MeterLogic::EncodeBlock(StartBlock()) + R"(", "rangeMap": [0)" + QByteArray(",1").repeated(179) + "]}"
        << QStringLiteral("input: rangeMap[0]: entries in use");
    QTest::newRow("bad JSON") << QStringList{"write"} << QByteArray(R"({"serialNumber": )")
                              << QStringLiteral("not valid JSON");
    QTest::newRow("hex checksum") << QStringList{"write"} << R"({"hex": ")" + badChecksum + R"("})"
                                  << QStringLiteral("hex: allowed values are 514 hexadecimal digits");
    QTest::newRow("firmware record checksum") << QStringList{"upload", "--yes"} << badLine.join("\r\n")
                                              << QStringLiteral("Invalid INHX32 file");
    QTest::newRow("upload unconfirmed without a terminal") << QStringList{"upload"} << testsupport::SixLineFirmware().join("\r\n")
                                                           << QStringLiteral("give --yes");
}

void TestCli::badInputIsRefusedBeforeAnythingIsSent()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    const QString path = Path(QStringLiteral("input"));
    QVERIFY(WriteFile(path, file));
    const qsizetype linesBefore = m_meter.ReceivedLines().size();
    const Result r = Tool(arguments << path);
    QCOMPARE(r.code, 1);
    QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
    QVERIFY(r.out.isEmpty());
    QCOMPARE(m_meter.ReceivedLines().size(), linesBefore);
}

// A file that names no serial number applies to any meter; what it changes
// is checked against the meter's block, before anything is written.
void TestCli::writeChecksTheChangesAgainstTheMetersBlock()
{
    const QString path = Path(QStringLiteral("count.json"));
    QVERIFY(WriteFile(path, R"({"activeRangeCount": 13})"));
    Result r = Tool({QStringLiteral("write"), path});
    QCOMPARE(r.code, 0);
    QCOMPARE(int(m_meter.Block()[ParameterBlock::ActiveRangeCount]), 13);

    QVERIFY(WriteFile(path, R"({"activeRangeCount": 181})"));
    const int writes = m_meter.CommandCount(sim::CodeWriteParameters);
    r = Tool({QStringLiteral("write"), path});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(path.toUtf8() + ": activeRangeCount: allowed values are the integers 0..180"),
             r.err.constData());
    QCOMPARE(m_meter.CommandCount(sim::CodeWriteParameters), writes);
}

void TestCli::absentMeterEndsAfterTheScan()
{
    m_meter.SetAdvertisement({QStringLiteral("LE-Sensor"), sim::Advertisement::SerialService});
    QProcess process;
    Launch(process, {QStringLiteral("--scan-seconds"), QStringLiteral("1"), QStringLiteral("read")});
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitCode(), 3);
    QVERIFY(process.readAllStandardError().contains("meter not found"));
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

void TestCli::meterThatStopsAnsweringEndsTheDownloadWithoutAFile()
{
    // The reply stops one byte short of the last record.
    m_meter.ChangeFaults([](sim::MeterFaults &f) {
        f.replyFaults.append({sim::ReplyFault::DropByte, sim::CodeDownloadRecords, -1, 0, -1});
    });
    const QString csv = Path(QStringLiteral("short.csv"));
    const Result r = Tool({QStringLiteral("download"), QStringLiteral("-o"), csv});
    QCOMPARE(r.code, 4);
    QVERIFY2(QString::fromUtf8(r.err).contains(kLost), r.err.constData());
    QVERIFY(!QFile::exists(csv));
}

void TestCli::interruptWhileConnectedEndsTheSession()
{
    // The block read takes a while, so the interrupt arrives in the middle
    // of the connection; the read is let finish and the meter is told.
    m_meter.ChangeFaults([](sim::MeterFaults &f) {
        f.replyDelayMs = 1000;
        f.delayCommand = sim::CodeReadParameters;
    });
    const int reads = m_meter.CommandCount(sim::CodeReadParameters);
    const int closes = m_meter.CommandCount(sim::CodeCloseSession);
    QProcess process;
    Launch(process, {QStringLiteral("read")});
    QVERIFY(m_meter.WaitForCommand(sim::CodeReadParameters, reads + 1, 15000));
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 130);
    QVERIFY(process.readAllStandardOutput().isEmpty());
    QCOMPARE(m_meter.CommandCount(sim::CodeCloseSession), closes + 1);
    QVERIFY(m_meter.WaitForConnections(0, 3000));
}

void TestCli::downloadWritesTheBytesOfSave()
{
    // Default range 1..usage count, the regional separator of a German
    // locale, UTF-16 LE.
    const QString csv = Path(QStringLiteral("records.csv"));
    Result r = Tool({QStringLiteral("download"), QStringLiteral("-o"), csv}, {QStringLiteral("LC_ALL=de_DE.UTF-8")});
    QCOMPARE(r.code, 0);
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), ExpectedCsv(1, 3, QLatin1Char(';'), data::CsvEncoding::Utf16LE));
    file.close();

    // To below From is exchanged; UTF-8 behind its mark on stdout.
    r = Tool({QStringLiteral("download"), QStringLiteral("--from"), QStringLiteral("3"), QStringLiteral("--to"),
              QStringLiteral("2"), QStringLiteral("--utf8")},
             {QStringLiteral("LC_ALL=C")});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, ExpectedCsv(2, 3, QLatin1Char(','), data::CsvEncoding::Utf8WithMark));
}

void TestCli::uploadSendsTheDataRecords()
{
    const QList<QByteArray> lines = testsupport::SixLineFirmware();
    const QString path = Path(QStringLiteral("firmware.HEX"));
    QVERIFY(WriteFile(path, lines.join("\r\n") + "\r\n"));
    const int sent = m_meter.CommandCount(sim::CodeFirmwareLine);
    const Result r = Tool({QStringLiteral("upload"), path, QStringLiteral("--yes")});
    QCOMPARE(r.code, 0);
    QCOMPARE(m_meter.CommandCount(sim::CodeFirmwareLine), sent + 4);
    const sim::ImageBytes image = m_meter.FirmwareImage();
    QVERIFY(!image.empty());
    QVERIFY(image == sim::HexImage::Of(lines.mid(1, 4)));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
