// The tool's commands as a script runs them: read, write, live, download,
// upload, their refusals and exit codes, and traces that play back.

#include "tests/cli/clitest.h"

#include "cli/exitcodes.h"
#include "sim/meterlogic.h"
#include "data/csv.h"
#include "data/meastable.h"
#include "data/workbook.h"
#include "tests/support/hexrecords.h"
#include "tests/support/testfiles.h"
#include "tests/support/workbookpart.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace clitest;

namespace {

// zevq-sim playing `trace` back; its port, 0 when it did not come up.
quint16 StartReplay(QProcess &sim, const QString &trace)
{
    sim.start(QStringLiteral(ZEVQ_SIM_PROGRAM), {"--port", "0", "--replay", trace});
    if (!sim.waitForStarted(5000))
        return 0;
    const QRegularExpression ready("^zevq-sim listening on 127\\.0\\.0\\.1:(\\d+)$");
    while (sim.waitForReadyRead(10000)) {
        while (sim.canReadLine()) {
            const auto m = ready.match(QString::fromUtf8(sim.readLine()).trimmed());
            if (m.hasMatch())
                return static_cast<quint16>(m.captured(1).toUInt());
        }
    }
    return 0;
}

} // namespace

class TestCli : public CliTest {
    Q_OBJECT
private slots:
    void initTestCase() { Start(); }
    void init() { Reset(); }
    void exitCodeFollowsTheKind_data();
    void exitCodeFollowsTheKind();
    void readGivesTheBlockAndWriteRestoresIt();
    void badInputIsRefusedBeforeAnythingIsSent_data();
    void badInputIsRefusedBeforeAnythingIsSent();
    void writeChecksTheChangesAgainstTheMetersBlock();
    void configurationAndUsageAreJudgedBeforeConnecting_data();
    void configurationAndUsageAreJudgedBeforeConnecting();
    void absentMeterEndsAfterTheScan();
    void meterThatStopsAnsweringEndsTheDownloadWithoutAFile();
    void recordsOfAnotherSizeAreNamed_data();
    void recordsOfAnotherSizeAreNamed();
    void interruptWhileConnectedEndsTheSession();
    void downloadWritesTheBytesOfSave();
    void downloadWritesAWorkbook();
    void uploadSendsTheDataRecords();
    void uploadJudgesTheFilesOfOtherTools_data();
    void uploadJudgesTheFilesOfOtherTools();
    void traceThatCannotBeWrittenIsSaid();
    void tracesPlayBackAsTheMeter();
};

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
    QCOMPARE(m_meter.MeterBlock().bytes, expected.bytes);
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
                                              << QStringLiteral("Invalid INHX32 file\nline 3: the checksum is wrong\n");
    QTest::newRow("scan with a stray argument") << QStringList{"scan"} << QByteArray()
                                                << QStringLiteral("scan takes no arguments");
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
    QCOMPARE(int(m_meter.MeterBlock()[ParameterBlock::ActiveRangeCount]), 13);

    QVERIFY(WriteFile(path, R"({"activeRangeCount": 181})"));
    const int writes = m_meter.CommandCount(sim::CodeWriteParameters);
    r = Tool({QStringLiteral("write"), path});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(path.toUtf8() + ": activeRangeCount: allowed values are the integers 0..180"),
             r.err.constData());
    QCOMPARE(m_meter.CommandCount(sim::CodeWriteParameters), writes);
}

void TestCli::configurationAndUsageAreJudgedBeforeConnecting_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("config"); // written to the file --config names; unset: no file
    QTest::addColumn<QString>("message");
    QTest::newRow("missing configuration") << QStringList{"read"} << QByteArray()
                                           << QStringLiteral("Missing configuration file \"%1\"");
    QTest::newRow("empty configuration") << QStringList{"download"} << QByteArray("")
                                         << QStringLiteral("names no measurement field to show");
    QTest::newRow("fields of another section") << QStringList{"live"} << QByteArray("[OTHER]\nPDATA1=No.,6\n")
                                               << QStringLiteral("names no measurement field to show");
    QTest::newRow("only hidden fields") << QStringList{"live"} << QByteArray("[DATA]\nPDATA1=  ,6\n")
                                        << QStringLiteral("names no measurement field to show");
    QTest::newRow("control characters in a value") << QStringList{"read"} << QByteArray("[DATA]\nPDATA1=No.,5\x1b[2J\n")
                                                   << QStringLiteral("\"No.,5\\x1b[2J\"");
    QTest::newRow("read with a file but no -o") << QStringList{"read", "backup.json"} << QByteArray()
                                                << QStringLiteral("read takes no arguments");
}

void TestCli::configurationAndUsageAreJudgedBeforeConnecting()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, config);
    QFETCH(QString, message);
    QString path = kConfig;
    if (!config.isNull() || message.contains(QLatin1String("%1"))) {
        path = QDir::toNativeSeparators(Path(QStringLiteral("ZEVQ-BLE.INI")));
        QFile::remove(path);
        if (!config.isNull())
            QVERIFY(WriteFile(path, config));
    }
    const qsizetype linesBefore = m_meter.ReceivedLines().size();
    const Result r = Tool(QStringList{QStringLiteral("--config"), path} + arguments);
    QCOMPARE(r.code, 1);
    QVERIFY2(QString::fromUtf8(r.err).contains(message.arg(path)), r.err.constData());
    QVERIFY(r.out.isEmpty());
    QCOMPARE(m_meter.ReceivedLines().size(), linesBefore);
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

void TestCli::recordsOfAnotherSizeAreNamed_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("widthChange"); // of the meter's last field
    QTest::addColumn<QString>("meterSent");
    // 3 records of 135 bytes asked for; one for a live reading.
    QTest::newRow("download, shorter") << "download" << -4 << "The meter's records are 131 bytes";
    QTest::newRow("download, longer") << "download" << 4 << "The meter's records are 139 bytes";
    QTest::newRow("live, shorter") << "live" << -4 << "The meter's records are 131 bytes";
}

// The firmware of the meter lays out its records otherwise than the file.
void TestCli::recordsOfAnotherSizeAreNamed()
{
    QFETCH(QString, command);
    QFETCH(int, widthChange);
    QFETCH(QString, meterSent);
    QList<sim::RecordField> layout = m_layout;
    layout.last().width += widthChange;
    m_meter.SetLayout(layout);
    const Result r = Tool({command});
    QCOMPARE(r.code, 4);
    const QStringList lines = QString::fromUtf8(r.err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.size() >= 2, r.err.constData());
    const QString usual = command == "live" ? QStringLiteral("the meter sent no measurement") : kLost;
    QCOMPARE(lines[lines.size() - 2], usual);
    QCOMPARE(lines.last(), QStringLiteral("%1; the configuration \"%2\" lays out %3. The configuration must match "
                                          "the meter's firmware.")
                               .arg(meterSent, QFileInfo(QStringLiteral(TARVOLIN_CLI)).absoluteDir().filePath("ZEVQ-BLE.INI"))
                               .arg(sim::LayoutRecordSize(m_layout)));
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
    QVERIFY(!r.err.contains("lays out")); // the meter's records fit
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

void TestCli::downloadWritesAWorkbook()
{
    const QString book = Path(QStringLiteral("records.xlsx"));
    const Result r = Tool({QStringLiteral("download"), QStringLiteral("-o"), book});
    QCOMPARE(r.code, 0);
    data::MeasTable table;
    QVERIFY(ExpectedTable(1, 3, table));
    QByteArray expected;
    QString error;
    QVERIFY(data::WorkbookBytes(table, &expected, &error));
    const QString sheet = QStringLiteral("xl/worksheets/sheet1.xml");
    const QByteArray written = testsupport::WorkbookPart(testsupport::ReadAll(book), sheet);
    QVERIFY(written.contains("<t>Moisture %</t>"));
    QCOMPARE(written, testsupport::WorkbookPart(expected, sheet));
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

// Firmware as binutils and srecord write it: a file whose first or last
// line the meter would need is refused with the reason before connecting;
// one whose first line sets another address is sent, with a warning.
void TestCli::uploadJudgesTheFilesOfOtherTools_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said");
    QTest::newRow("objcopy: data first")
        << "objcopy" << QStringList{"-I", "binary", "-O", "ihex", "IN", "OUT"} << 80 << 1
        << "Invalid INHX32 file\nline 1: a record of type 00 where an extended address";
    QTest::newRow("srec_cat: no end record")
        << "srec_cat" << QStringList{"IN", "-binary", "-o", "OUT", "-intel", "-disable=footer"} << 144 << 1
        << "Invalid INHX32 file\nline 6: a record of type 00 where the end-of-file record (type 01) belongs";
    QTest::newRow("srec_cat: at 0x10000")
        << "srec_cat" << QStringList{"IN", "-binary", "-offset", "0x10000", "-o", "OUT", "-intel"} << 128 << 0
        << "warning: line 1 sets the address 0x00010000, not 0; the meter never receives that line";
}

void TestCli::uploadJudgesTheFilesOfOtherTools()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, bytes);
    QFETCH(int, code);
    QFETCH(QString, said);
    if (QStandardPaths::findExecutable(program).isEmpty())
        QSKIP(qPrintable(program + QStringLiteral(" is not installed (scripts/setup.sh installs it)")));
    QByteArray image;
    for (int i = 0; i < bytes; ++i)
        image.append(char(i * 37 + 11));
    const QString in = Path(QStringLiteral("image.bin"));
    const QString hex = Path(QStringLiteral("image.hex"));
    QVERIFY(WriteFile(in, image));
    arguments.replaceInStrings(QStringLiteral("IN"), in).replaceInStrings(QStringLiteral("OUT"), hex);
    QCOMPARE(QProcess::execute(program, arguments), 0);
    const QString trace = Path(QStringLiteral("upload-trace.txt"));
    const int sent = m_meter.CommandCount(sim::CodeFirmwareLine);
    const Result r = Tool({QStringLiteral("--trace"), trace, QStringLiteral("upload"), hex, QStringLiteral("--yes")});
    QCOMPARE(r.code, code);
    QVERIFY2(QString::fromUtf8(r.err).contains(said), r.err.constData());
    QCOMPARE(m_meter.CommandCount(sim::CodeFirmwareLine), sent + (code == 0 ? 4 : 0));
    if (code == 0)
        QVERIFY(testsupport::ReadAll(trace).contains("firmware file: line 1 sets the address 0x00010000"));
}

// A full disk under the trace: the command's own result stands, and the
// trace's gap is said rather than left for support to find.
void TestCli::traceThatCannotBeWrittenIsSaid()
{
    const Result r = Tool({QStringLiteral("--trace"), QStringLiteral("/dev/full"), QStringLiteral("read")});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.err.contains("Cannot write to file \"/dev/full\". No space left on device. The trace ends there."),
             r.err.constData());
    QVERIFY(r.out.contains("\"serialNumber\""));
}

void TestCli::tracesPlayBackAsTheMeter()
{
    ParameterBlock block = StartBlock();
    sim::MeterLogic::SetUsageCount(block, 9);
    m_meter.SetBlock(block);
    const QList<QStringList> commands{{"read"}, {"download", "--from", "2", "--to", "8"}};
    for (const QStringList &command : commands) {
        const QString trace = Path(command.first() + QStringLiteral(".txt"));
        const Result recorded = Tool(QStringList{"--trace", trace} + command);
        QCOMPARE(recorded.code, 0);
        QVERIFY(!recorded.out.isEmpty());

        QProcess sim;
        const quint16 port = StartReplay(sim, trace);
        QVERIFY(port != 0);
        const Result replayed = Tool(QStringList{"--link", QStringLiteral("vlink:127.0.0.1:%1").arg(port)} + command);
        sim.kill();
        sim.waitForFinished(5000);
        QCOMPARE(replayed.code, 0);
        if (command.first() == QLatin1String("read")) {
            // The same block from the same meter, read at another time and
            // (on the desk) at another address.
            QJsonObject field = QJsonDocument::fromJson(recorded.out).object();
            QJsonObject desk = QJsonDocument::fromJson(replayed.out).object();
            QCOMPARE(desk.take(QStringLiteral("meter")).toObject().value(QStringLiteral("name")),
                     field.take(QStringLiteral("meter")).toObject().value(QStringLiteral("name")));
            QCOMPARE(desk, field);
        } else {
            QCOMPARE(replayed.out, recorded.out);
        }
        QVERIFY2(!sim.readAllStandardError().contains("never saw"), qPrintable(command.join(' ')));
    }

    // What made the trace, before its first event.
    QFile file(Path(QStringLiteral("read.txt")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const QStringList header = lines.filter(QRegularExpression("^# "));
    QCOMPARE(lines.mid(0, header.size()), header);
    QCOMPARE(header.size(), 8);
    QCOMPARE(header[0], QString("# Tarvolin protocol trace"));
    QVERIFY2(QRegularExpression("^# program: tarvolin-cli \\d+\\.\\d+\\.\\d+$").match(header[1]).hasMatch(),
             qPrintable(header[1]));
    QCOMPARE(header[2], QStringLiteral("# Qt: built with %1, running on %2").arg(QT_VERSION_STR, qVersion()));
    QVERIFY(header[3].startsWith(QStringLiteral("# system: %1, kernel %2 ").arg(QSysInfo::prettyProductName(),
                                                                               QSysInfo::kernelType())));
    QCOMPARE(header[4], QStringLiteral("# link: virtual link to 127.0.0.1:%1").arg(m_meter.Port()));
    const QString besideTool = QFileInfo(QStringLiteral(TARVOLIN_CLI)).absoluteDir().filePath("ZEVQ-BLE.INI");
    QCOMPARE(header[5],
             QStringLiteral("# configuration: %1, record size %2 bytes").arg(besideTool).arg(sim::LayoutRecordSize(m_layout)));
    const QDateTime started = QDateTime::fromString(header[6].mid(11), Qt::ISODateWithMs);
    QVERIFY2(header[6].startsWith("# started: ") && header[6].endsWith('Z'), qPrintable(header[6]));
    QVERIFY(qAbs(started.secsTo(QDateTime::currentDateTimeUtc())) < 120);
    QCOMPARE(header[7], QStringLiteral("# meter: any (the first one found)"));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
