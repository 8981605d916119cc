// Finding and choosing the meter: scan, --address, the bounded link-up,
// a flooding peer, and what the tool says of itself.

#include "tests/cli/clitest.h"

#include "sim/meterlogic.h"
#include "sim/simmeterthread.h"
#include "link/meterlink.h"
#include "link/meterscan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace clitest;

namespace {

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

} // namespace

class TestCliScan : public CliTest {
    Q_OBJECT
private slots:
    void initTestCase() { Start(); }
    void init() { Reset(); }
    void addressMatches_data();
    void addressMatches();
    void meterRowsStrongestFirst_data();
    void meterRowsStrongestFirst();
    void addressPicksOneOfTwoMeters_data();
    void addressPicksOneOfTwoMeters();
    void scanListsEveryDeviceAndItsSignal();
    void refusedNotificationsEndWithinTheScanTime();
    void scanWithoutAdapterSaysOnlyThat();
    void versionNamesToolAndQt();
    void scanFloodIsCutOff();
};

void TestCliScan::addressMatches_data()
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

void TestCliScan::addressMatches()
{
    QFETCH(QString, wanted);
    QFETCH(QString, address);
    QFETCH(bool, matches);
    QCOMPARE(devlink::AddressMatches(wanted, address), matches);
}

// The rows of "Choose meter": reports taken in the order given ("name
// address rssi", 127 for none), then the rows as "address signal".
void TestCliScan::meterRowsStrongestFirst_data()
{
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<QString>("pinned");
    QTest::addColumn<QStringList>("rows");
    const QString m = devlink::MeterLink::MeterName;
    QTest::newRow("strongest first, no signal last, ties as seen")
        << QStringList{m + " a 127", m + " b -70", m + " c -45", m + " d -70", m + " e 127"} << QString()
        << QStringList{"c -45 dBm", "b -70 dBm", "d -70 dBm", "a -", "e -"};
    QTest::newRow("reported again: one row, the new signal, a late name")
        << QStringList{m + " a -80", m + " a 127", m + " a -40", " b -50", m + " b 127"} << QString()
        << QStringList{"a -40 dBm", "b -50 dBm"};
    QTest::newRow("other devices and a look-alike left out")
        << QStringList{"LE-Sensor a -30", "vorelt-zevq25k b -31", m + " c -90"} << QString()
        << QStringList{"c -90 dBm"};
    QTest::newRow("the pinned meter seen, in any letter case")
        << QStringList{m + " 00:1B:7A:00:00:02 -60"} << QStringLiteral("00:1b:7a:00:00:02")
        << QStringList{"00:1B:7A:00:00:02 -60 dBm"};
    QTest::newRow("the pinned meter not seen: kept, last")
        << QStringList{m + " a 127"} << QStringLiteral("z") << QStringList{"a -", "z -"};
}

void TestCliScan::meterRowsStrongestFirst()
{
    QFETCH(QStringList, reports);
    QFETCH(QString, pinned);
    QFETCH(QStringList, rows);
    QList<devlink::SeenDevice> seen;
    for (const QString &report : reports) {
        const QStringList parts = report.split(QLatin1Char(' '));
        devlink::NoteSeen(seen, {parts[0], parts[1], parts[2].toInt()});
    }
    QStringList got;
    for (const devlink::SeenDevice &row : devlink::MeterRows(seen, pinned))
        got << row.address + QLatin1Char(' ') + devlink::SignalText(row.rssi);
    QCOMPARE(got, rows);
}

void TestCliScan::addressPicksOneOfTwoMeters_data()
{
    QTest::addColumn<bool>("wantOther"); // else this test's usual meter
    QTest::addColumn<bool>("fromEnvironment");
    QTest::newRow("listed second") << true << false;
    QTest::newRow("listed second, TARVOLIN_ADDRESS") << false << true;
}

// Two meters answer to the meter's name; only the one asked for is
// connected, wherever the scan meets it.
void TestCliScan::addressPicksOneOfTwoMeters()
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

void TestCliScan::scanListsEveryDeviceAndItsSignal()
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

void TestCliScan::refusedNotificationsEndWithinTheScanTime()
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

void TestCliScan::scanWithoutAdapterSaysOnlyThat()
{
    // No system bus at all: the tool's own message, none of Qt's warnings.
    const Result r = Tool({QStringLiteral("--link"), QString(), QStringLiteral("scan")},
                          {QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus")});
    QCOMPARE(r.code, 2);
    QCOMPARE(r.err, QByteArray("BT LE module not enabled or not installed\n"));
}

void TestCliScan::versionNamesToolAndQt()
{
    const Result r = Tool({QStringLiteral("--version")});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, "tarvolin-cli " TARVOLIN_VERSION " (Qt " + QByteArray(qVersion()) + ")\n");
}

// A peer that floods the scan is cut off at its cap; the scan goes on.
void TestCliScan::scanFloodIsCutOff()
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

QTEST_GUILESS_MAIN(TestCliScan)
#include "tst_cli_scan.moc"
