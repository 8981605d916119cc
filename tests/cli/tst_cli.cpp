// tarvolin-cli as a script runs it: the built tool as a process against a
// simulated meter on a thread of this test, so what the meter received can
// be checked byte for byte. The tool runs on the real pauses, so each case
// here is one path a user takes, with as few runs as it needs.

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
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
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
    void readGivesTheBlockAndWriteRestoresIt();
    void badInputIsRefusedBeforeAnythingIsSent_data();
    void badInputIsRefusedBeforeAnythingIsSent();
    void absentMeterEndsAfterTheScan();
    void meterThatStopsAnsweringEndsTheDownloadWithoutAFile();
    void interruptWhileConnectedEndsTheSession();
    void downloadWritesTheBytesOfSave();
    void uploadSendsTheDataRecords();
    void tracesPlayBackAsTheMeter();

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
    QCOMPARE(o.size(), 11);

    // The meter was changed meanwhile; the edited backup puts it back with
    // a new text, as the window would send it.
    ParameterBlock changed = start;
    changed.setWord(ParameterBlock::SerialNumber, 1);
    m_meter.SetBlock(changed);
    o.insert("infoText", "Kiln 9, north");
    QVERIFY(WriteFile(backup, QJsonDocument(o).toJson()));
    const qsizetype framesBefore = m_meter.Frames().size();
    r = Tool({QStringLiteral("write"), backup});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("serialNumber: 1 -> 40213"), r.out.constData());

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
    QTest::newRow("value out of range") << QStringList{"write"} << QByteArray(R"({"activeRangeCount": 181})")
                                        << QStringLiteral("activeRangeCount: allowed values are the integers 0..180");
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
        QCOMPARE(replayed.out, recorded.out);
        QVERIFY2(!sim.readAllStandardError().contains("never saw"), qPrintable(command.join(' ')));
    }

    // What made the trace, before its first event.
    QFile file(Path(QStringLiteral("read.txt")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const QStringList header = lines.filter(QRegularExpression("^# "));
    QCOMPARE(lines.mid(0, header.size()), header);
    QCOMPARE(header.size(), 7);
    QCOMPARE(header[0], QString("# Tarvolin protocol trace"));
    QVERIFY2(QRegularExpression("^# program: tarvolin-cli \\d+\\.\\d+\\.\\d+$").match(header[1]).hasMatch(),
             qPrintable(header[1]));
    QCOMPARE(header[2], QStringLiteral("# Qt: built with %1, running on %2").arg(QT_VERSION_STR, qVersion()));
    QVERIFY(header[3].startsWith(QStringLiteral("# system: %1, kernel %2 ").arg(QSysInfo::prettyProductName(),
                                                                               QSysInfo::kernelType())));
    QCOMPARE(header[4], QStringLiteral("# link: virtual link to 127.0.0.1:%1").arg(m_meter.Port()));
    const QString besideTool = QFileInfo(QStringLiteral(TARVOLIN_CLI)).absoluteDir().filePath("ZEVQ-BLE.INI");
    QCOMPARE(header[5],
             QStringLiteral("# configuration: %1, record size %2 bytes").arg(besideTool).arg(sim::RecordSize(m_layout)));
    const QDateTime started = QDateTime::fromString(header[6].mid(11), Qt::ISODateWithMs);
    QVERIFY2(header[6].startsWith("# started: ") && header[6].endsWith('Z'), qPrintable(header[6]));
    QVERIFY(qAbs(started.secsTo(QDateTime::currentDateTimeUtc())) < 120);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
