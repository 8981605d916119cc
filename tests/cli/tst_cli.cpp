// tarvolin-cli as a script runs it: the built tool as a process against a
// simulated meter on a thread of this test, so what the meter received can
// be checked byte for byte. The tool runs on the real pauses, so each case
// here is one path a user takes, with as few runs as it needs.

#include "cli/exitcodes.h"
#include "cli/files.h"
#include "data/config.h"
#include "data/titem.h"
#include "protocol/records.h"
#include "sim/meterlogic.h"
#include "sim/simmeterthread.h"
#include "data/csv.h"
#include "data/meastable.h"
#include "data/workbook.h"
#include "link/meterlink.h"
#include "tests/support/hexrecords.h"
#include "tests/support/testfiles.h"
#include "tests/support/workbookpart.h"

#include <QDate>
#include <QDateTime>
#include <QDeadlineTimer>
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
#include <QThread>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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

// A peer on the virtual link that advertises and then sends SERVICE lines
// without end, never END, until the central hangs up or the test ends.
class FloodPeer {
public:
    FloodPeer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(m_listener, 1) == 0 &&
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~FloodPeer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    quint16 port = 0;

private:
    bool Wait(int fd, short events)
    {
        pollfd ready{fd, events, 0};
        while (!m_stop) {
            if (::poll(&ready, 1, 50) > 0)
                return true;
        }
        return false;
    }
    void Run()
    {
        if (!port || !Wait(m_listener, POLLIN))
            return;
        const int peer = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        const QByteArray lines = "ADV Flood\n" + QByteArray("SERVICE 0000180A-0000-1000-8000-00805F9B34FB "
                                                              "00002A29-0000-1000-8000-00805F9B34FB\n")
                                                      .repeated(1000);
        qsizetype at = 0;
        while (peer >= 0 && Wait(peer, POLLOUT)) {
            const ssize_t sent = ::send(peer, lines.constData() + at, size_t(lines.size() - at), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EAGAIN)
                break;
            // Round and round, the ADV line left out after the first time.
            at = sent > 0 && at + sent == lines.size() ? 10 : at + std::max<ssize_t>(sent, 0);
        }
        if (peer >= 0)
            ::close(peer);
    }

    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
QString AddressOf(const sim::SimMeterThread &meter)
{
    return QStringLiteral("127.0.0.1:%1").arg(meter.Port());
}

bool EverConnected(const sim::SimMeterThread &meter)
{
    return meter.ReceivedLines().contains("CONNECT");
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void exitCodeFollowsTheKind_data();
    void exitCodeFollowsTheKind();
    void addressMatches_data();
    void addressMatches();
    void readGivesTheBlockAndWriteRestoresIt();
    void badInputIsRefusedBeforeAnythingIsSent_data();
    void badInputIsRefusedBeforeAnythingIsSent();
    void writeChecksTheChangesAgainstTheMetersBlock();
    void configurationAndUsageAreJudgedBeforeConnecting_data();
    void configurationAndUsageAreJudgedBeforeConnecting();
    void absentMeterEndsAfterTheScan();
    void meterThatStopsAnsweringEndsTheDownloadWithoutAFile();
    void interruptWhileConnectedEndsTheSession();
    void downloadWritesTheBytesOfSave();
    void downloadWritesAWorkbook();
    void uploadSendsTheDataRecords();
    void outputTargetJudging_data();
    void outputTargetJudging();
    void fullDiskKeepsTheOldFile();
    void outputToAPipeIsAStream_data();
    void outputToAPipeIsAStream();
    void scanFloodIsCutOff();
    void signalsEndTheToolAtOnce();
    void addressPicksOneOfTwoMeters_data();
    void addressPicksOneOfTwoMeters();
    void scanListsEveryDeviceAndItsSignal();
    void refusedNotificationsEndWithinTheScanTime();
    void scanWithoutAdapterSaysOnlyThat();
    void versionNamesToolAndQt();
    void traceThatCannotBeWrittenIsSaid();
    void tracesPlayBackAsTheMeter();

private:
    void Launch(QProcess &process, const QStringList &arguments, const QStringList &environment = {});
    Result Tool(const QStringList &arguments, const QStringList &environment = {});
    QByteArray ExpectedCsv(int from, int to, QChar separator, data::CsvEncoding encoding) const;
    bool ExpectedTable(int from, int to, data::MeasTable &table) const;
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

void TestCli::addressMatches_data()
{
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("matches");
    QTest::newRow("none asked") << QString() << QStringLiteral("127.0.0.1:47001") << true;
    QTest::newRow("same") << QStringLiteral("127.0.0.1:47001") << QStringLiteral("127.0.0.1:47001") << true;
    QTest::newRow("letter case") << QStringLiteral("00:1b:7a:00:00:0f") << QStringLiteral("00:1B:7A:00:00:0F") << true;
    QTest::newRow("UUID letter case") << QStringLiteral("{6B1E0A2C-0000-4000-8000-00000000ABCD}")
                                      << QStringLiteral("{6b1e0a2c-0000-4000-8000-00000000abcd}") << true;
    QTest::newRow("another") << QStringLiteral("00:1B:7A:00:00:0E") << QStringLiteral("00:1B:7A:00:00:0F") << false;
    QTest::newRow("a prefix") << QStringLiteral("127.0.0.1:4700") << QStringLiteral("127.0.0.1:47001") << false;
    QTest::newRow("platform gives none") << QStringLiteral("00:1B:7A:00:00:0F") << QString() << false;
}

void TestCli::addressMatches()
{
    QFETCH(QString, wanted);
    QFETCH(QString, address);
    QFETCH(bool, matches);
    QCOMPARE(devlink::AddressMatches(wanted, address), matches);
}

void TestCli::Launch(QProcess &process, const QStringList &arguments, const QStringList &environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TARVOLIN_LINK"));
    for (const char *name : {"TARVOLIN_ADDRESS", "QT_LOGGING_RULES", "QT_LOGGING_CONF"})
        env.remove(QString::fromLatin1(name));
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

// The table after the window merged the meter's records from..to: the
// program's own field list, the meter's own records.
bool TestCli::ExpectedTable(int from, int to, data::MeasTable &table) const
{
    data::FieldList fields;
    QString error;
    if (!data::LoadFieldList(kConfig, fields, &error))
        return false;
    const std::vector<protocol::RecordField> layout = data::RecordLayout(fields.items);
    table.SetCaptions(data::ShownCaptions(fields.items));
    QList<QStringList> batch;
    for (int n = from; n <= to; ++n) {
        QByteArray record;
        m_meter.Run([&](sim::SimPeripheral &p) { record = p.Meter().MakeRecord(n); });
        batch << protocol::DecodeRecord(
            layout, {reinterpret_cast<const std::uint8_t *>(record.constData()), std::size_t(record.size())});
    }
    table.Merge(batch);
    return true;
}

// What "Save" writes as CSV after that merge.
QByteArray TestCli::ExpectedCsv(int from, int to, QChar separator, data::CsvEncoding encoding) const
{
    data::MeasTable table;
    return ExpectedTable(from, to, table) ? data::CsvBytes(table, separator, encoding) : QByteArray();
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
                                              << QStringLiteral("Invalid INHX32 file");
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

void TestCli::outputTargetJudging_data()
{
    using F = cli::PathFacts;
    using T = cli::OutputTarget;
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("sameAsStdout");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no -o") << "" << int(F::Missing) << false << false << false << int(T::Stdout) << "";
    QTest::newRow("-") << "-" << int(F::Missing) << false << false << false << int(T::Stdout) << "";
    QTest::newRow("/dev/stdout, a pipe") << "/dev/stdout" << int(F::Pipe) << true << true << false << int(T::Stdout) << "";
    QTest::newRow("stdout's file") << "log" << int(F::Regular) << true << true << true << int(T::Stdout) << "";
    QTest::newRow("device") << "x" << int(F::Device) << false << true << false << int(T::Stream) << "";
    QTest::newRow("pipe") << "p" << int(F::Pipe) << false << true << false << int(T::Stream) << "";
    QTest::newRow("folder") << "/tmp" << int(F::Folder) << false << true << true << int(T::Refused) << "It is a folder.";
    QTest::newRow("socket") << "s" << int(F::Other) << false << true << true << int(T::Refused)
                            << "It is neither a file nor a device nor a pipe.";
    QTest::newRow("trailing slash") << "out/" << int(F::Missing) << false << true << true << int(T::Refused)
                                    << "It names a folder.";
    QTest::newRow("no folder") << "no/x" << int(F::Missing) << false << false << false << int(T::Refused)
                               << "Its folder does not exist.";
    QTest::newRow("closed folder") << "x" << int(F::Regular) << false << true << false << int(T::Refused)
                                   << "Its folder takes no new files.";
    QTest::newRow("old file") << "x" << int(F::Regular) << false << true << true << int(T::File) << "";
    QTest::newRow("new file") << "x" << int(F::Missing) << false << true << true << int(T::File) << "";
}

void TestCli::outputTargetJudging()
{
    QFETCH(QString, path);
    QFETCH(int, type);
    QFETCH(bool, sameAsStdout);
    QFETCH(bool, folderExists);
    QFETCH(bool, folderWritable);
    QFETCH(int, kind);
    QFETCH(QString, reason);
    const cli::OutputTarget target =
        cli::JudgeOutput(path, {cli::PathFacts::Type(type), sameAsStdout, folderExists, folderWritable});
    QCOMPARE(int(target.kind), kind);
    QCOMPARE(target.reason, reason);
}

// First as the report found it: a disk of one page whose folder takes no
// new files while the old file is writable (refused before connecting),
// then the folder open and the disk full (the download runs, the result
// cannot be written). The old file survives both, exit 7 each time. The
// tool runs in a mount namespace of its own (inside a user namespace where
// the test is not root) as root without a single capability, so the
// folder's mode binds it as it binds any user.
void TestCli::fullDiskKeepsTheOldFile()
{
    ParameterBlock block = StartBlock();
    sim::MeterLogic::SetUsageCount(block, 60); // some 7 KB of CSV, more than the disk holds
    sim::MeterLogic::SetChecksum(block);
    m_meter.SetBlock(block);
    const QString script = QStringLiteral(R"(d=$1; out=$2; shift 2
mount -t tmpfs -o size=4k,mode=0555 tmpfs "$d" || exit 97
printf old >"$d/records.csv"
run() {
  setpriv --inh-caps=-all --bounding-set=-all -- "$@" download -o "$d/records.csv" 2>"$out/err$n"
  echo $? >"$out/code$n"; cat "$d/records.csv" >"$out/after$n"; ls -A "$d" >"$out/list$n"
}
n=1; run "$@"
chmod 0755 "$d"
n=2; run "$@"
)");
    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("disk")));
    QStringList arguments{QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private")};
    if (::geteuid() != 0)
        arguments = QStringList{QStringLiteral("--user"), QStringLiteral("--map-root-user")} + arguments;
    arguments << QStringLiteral("sh") << QStringLiteral("-c") << script << QStringLiteral("sh")
              << work.filePath(QStringLiteral("disk")) << work.path() << QStringLiteral(TARVOLIN_CLI)
              << QStringLiteral("--link") << m_meter.LinkValue() << QStringLiteral("--scan-seconds")
              << QStringLiteral("5");
    const auto connects = [this] { return m_meter.ReceivedLines().count("CONNECT"); };
    const qsizetype connectsBefore = connects();
    QProcess process;
    process.start(QStringLiteral("unshare"), arguments);
    QVERIFY(process.waitForFinished(60000));
    const auto result = [&](const char *name) { return testsupport::ReadAll(work.filePath(QLatin1String(name))); };
    if (process.exitCode() != 0 || result("code1").isEmpty())
        QSKIP(qPrintable(QStringLiteral("no small disk of our own here (needs unshare and tmpfs): ")
                         + QString::fromLocal8Bit(process.readAllStandardError())));
    QCOMPARE(result("code1"), QByteArray("7\n"));
    QVERIFY2(result("err1").contains("Its folder takes no new files."), result("err1").constData());
    QCOMPARE(result("after1"), QByteArray("old"));
    QCOMPARE(result("code2"), QByteArray("7\n"));
    QVERIFY2(result("err2").contains("No space left on device"), result("err2").constData());
    QCOMPARE(result("after2"), QByteArray("old"));
    QCOMPARE(result("list2"), QByteArray("records.csv\n"));
    QCOMPARE(connects() - connectsBefore, 1); // the first run never connected
}

// A pipe given as -o, and /dev/stdout into the pipe the test reads, get the
// result as a stream; the pipe is still a pipe.
void TestCli::outputToAPipeIsAStream_data()
{
    QTest::addColumn<bool>("namedPipe");
    QTest::newRow("named pipe") << true;
    QTest::newRow("/dev/stdout into a pipe") << false;
}

void TestCli::outputToAPipeIsAStream()
{
    QFETCH(bool, namedPipe);
    const QString fifo = Path(QStringLiteral("pipe"));
    QFile::remove(fifo);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // The test reads what the tool wrote once it is done: the result fits
    // the pipe's buffer.
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    const Result r = Tool({QStringLiteral("read"), QStringLiteral("-o"), namedPipe ? fifo : QStringLiteral("/dev/stdout")});
    QByteArray piped(1 << 16, '\0');
    const ssize_t n = ::read(reader, piped.data(), size_t(piped.size()));
    ::close(reader);
    piped.resize(std::max<ssize_t>(n, 0));
    QCOMPARE(r.code, 0);
    const QByteArray json = namedPipe ? piped : r.out;
    QVERIFY2(QJsonDocument::fromJson(json).object().value("serialNumber").toInt() == 40213, json.left(80).constData());
    QVERIFY((namedPipe ? r.out : piped).isEmpty());
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(fifo).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
}

void TestCli::scanFloodIsCutOff()
{
    FloodPeer peer;
    QVERIFY(peer.port);
    const Result r = Tool({QStringLiteral("--link"), QStringLiteral("vlink:127.0.0.1:%1").arg(peer.port),
                           QStringLiteral("--scan-seconds"), QStringLiteral("2"), QStringLiteral("scan")});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains(QStringLiteral("vlink peer 127.0.0.1:%1 cut off: it advertised more than 32 services")
                                .arg(peer.port)
                                .toUtf8()),
             r.err.constData());
}

// A FIFO as --config is refused before it is opened (opening it waited for
// a writer, deaf to signals); SIGTERM as soon as the tool listens for it,
// in the middle of its start, ends it with 130.
void TestCli::signalsEndTheToolAtOnce()
{
    const QString fifo = Path(QStringLiteral("config-pipe"));
    QFile::remove(fifo);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const Result refused = Tool({QStringLiteral("--config"), fifo, QStringLiteral("read")});
    QCOMPARE(refused.code, 1);
    QVERIFY2(refused.err.contains("is not a regular file"), refused.err.constData());

    QProcess process;
    Launch(process, {QStringLiteral("read")});
    QVERIFY(process.waitForStarted(10000));
    QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
    const auto catchesTerm = [&] {
        if (!status.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = status.readAll();
        status.close();
        const qsizetype at = text.indexOf("SigCgt:");
        return at >= 0 && (text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed().toULongLong(nullptr, 16) &
                           (1ULL << (SIGTERM - 1)));
    };
    QDeadlineTimer deadline(10000);
    while (!catchesTerm() && !deadline.hasExpired())
        QThread::yieldCurrentThread();
    QVERIFY(!deadline.hasExpired());
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 130);
}

void TestCli::addressPicksOneOfTwoMeters_data()
{
    QTest::addColumn<bool>("wantOther"); // else this test's usual meter
    QTest::addColumn<bool>("fromEnvironment");
    QTest::newRow("listed second") << true << false;
    QTest::newRow("listed second, TARVOLIN_ADDRESS") << false << true;
}

// Two meters answer to the meter's name; only the one asked for is
// connected, wherever the scan meets it.
void TestCli::addressPicksOneOfTwoMeters()
{
    QFETCH(bool, wantOther);
    QFETCH(bool, fromEnvironment);
    sim::SimMeterThread other;
    QVERIFY(other.Start());
    ParameterBlock block = StartBlock();
    block.setWord(ParameterBlock::SerialNumber, 22222);
    other.SetBlock(block);
    const sim::SimMeterThread &wanted = wantOther ? other : m_meter;
    const sim::SimMeterThread &passed = wantOther ? m_meter : other;
    const QString list = QStringLiteral("vlink:%1,%2").arg(AddressOf(passed), AddressOf(wanted));
    const bool passedBefore = EverConnected(passed);
    const QString address = AddressOf(wanted);
    const Result r = fromEnvironment
        ? Tool({QStringLiteral("--link"), list, QStringLiteral("read")}, {QStringLiteral("TARVOLIN_ADDRESS=") + address})
        : Tool({QStringLiteral("--link"), list, QStringLiteral("--address"), address, QStringLiteral("read")});
    QCOMPARE(r.code, 0);
    QCOMPARE(QJsonDocument::fromJson(r.out).object().value("serialNumber").toInt(), wantOther ? 22222 : 40213);
    QVERIFY(EverConnected(wanted));
    QCOMPARE(EverConnected(passed), passedBefore);

    // An address nobody has: nothing is connected, and the tool says which.
    const QList<QByteArray> otherLines = other.ReceivedLines();
    const QList<QByteArray> meterLines = m_meter.ReceivedLines();
    const Result absent = Tool({QStringLiteral("--link"), list, QStringLiteral("--scan-seconds"), QStringLiteral("1"),
                                QStringLiteral("--address"), QStringLiteral("127.0.0.1:1"), QStringLiteral("read")});
    QCOMPARE(absent.code, 3);
    QVERIFY2(absent.err.contains("meter 127.0.0.1:1 not found"), absent.err.constData());
    QCOMPARE(other.ReceivedLines(), otherLines);
    QCOMPARE(m_meter.ReceivedLines(), meterLines);
}

void TestCli::scanListsEveryDeviceAndItsSignal()
{
    sim::Advertisement signal;
    signal.rssi = -61;
    m_meter.SetAdvertisement(signal);
    sim::SimMeterThread other;
    QVERIFY(other.Start());
    const QString evil = QStringLiteral("Ev\x1b[2J\til\u00ff");
    other.SetAdvertisement({evil, sim::Advertisement::NoSerialService});
    const QString list = QStringLiteral("vlink:%1,%2").arg(AddressOf(m_meter), AddressOf(other));
    const QStringList scan{QStringLiteral("--link"), list, QStringLiteral("--scan-seconds"), QStringLiteral("1"),
                           QStringLiteral("scan")};

    Result r = Tool(scan + QStringList{QStringLiteral("--json")});
    QCOMPARE(r.code, 0);
    QJsonArray devices = QJsonDocument::fromJson(r.out).array();
    QCOMPARE(devices.size(), 2);
    if (devices[0].toObject().value("address") != AddressOf(m_meter))
        devices = QJsonArray{devices[1], devices[0]};
    QCOMPARE(devices[0].toObject(), (QJsonObject{{"name", "Vorelt-ZEVQ25k"}, {"address", AddressOf(m_meter)},
                                                 {"rssi", -61}, {"meter", true}}));
    QCOMPARE(devices[1].toObject(), (QJsonObject{{"name", evil}, {"address", AddressOf(other)},
                                                 {"rssi", QJsonValue::Null}, {"meter", false}}));

    // As text the name cannot reach the terminal or add a column.
    r = Tool(scan);
    QCOMPARE(r.code, 0);
    QVERIFY(!r.out.contains('\x1b'));
    QVERIFY2(r.out.contains("* Vorelt-ZEVQ25k\t" + AddressOf(m_meter).toLatin1() + "\t-61 dBm\t(the meter)\n"),
             r.out.constData());
    QVERIFY2(r.out.contains("  Ev\\x1b[2J\\til\xc3\xbf\t" + AddressOf(other).toLatin1() + "\t-\n"), r.out.constData());
}

void TestCli::refusedNotificationsEndWithinTheScanTime()
{
    // Round after round the meter refuses; the tool has no Cancel, so its
    // time bounds them all.
    m_meter.ChangeFaults([](sim::MeterFaults &f) { f.subscribeStatus = 133; });
    const Result r = Tool({QStringLiteral("--scan-seconds"), QStringLiteral("2"), QStringLiteral("read")});
    QCOMPARE(r.code, 3);
    QVERIFY(r.out.isEmpty());
    const QList<QByteArray> lines = m_meter.ReceivedLines();
    QVERIFY(std::any_of(lines.cbegin(), lines.cend(), [](const QByteArray &line) { return line.startsWith("SUBSCRIBE "); }));
}

void TestCli::scanWithoutAdapterSaysOnlyThat()
{
    // No system bus at all: the tool's own message, none of Qt's warnings.
    const Result r = Tool({QStringLiteral("--link"), QString(), QStringLiteral("scan")},
                          {QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus")});
    QCOMPARE(r.code, 2);
    QCOMPARE(r.err, QByteArray("BT LE module not enabled or not installed\n"));
}

void TestCli::versionNamesToolAndQt()
{
    const Result r = Tool({QStringLiteral("--version")});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, "tarvolin-cli " TARVOLIN_VERSION " (Qt " + QByteArray(qVersion()) + ")\n");
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
             QStringLiteral("# configuration: %1, record size %2 bytes").arg(besideTool).arg(sim::LayoutRecordSize(m_layout)));
    const QDateTime started = QDateTime::fromString(header[6].mid(11), Qt::ISODateWithMs);
    QVERIFY2(header[6].startsWith("# started: ") && header[6].endsWith('Z'), qPrintable(header[6]));
    QVERIFY(qAbs(started.secsTo(QDateTime::currentDateTimeUtc())) < 120);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
