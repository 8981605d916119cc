// The Qt Bluetooth backend against a mocked BlueZ on a private system bus,
// with the simulated meter behind the mock: the code that runs against a real
// adapter on Linux, down to the D-Bus calls, without a radio.

#include "bluezbus.h"
#include "link/qtbluetoothle.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace devlink;
using qtbletest::BluezMock;
using qtbletest::SimMeter;

namespace {

const QString MeterName = QStringLiteral("Vorelt-ZEVQ25k");
const QString WrongCaseName = QStringLiteral("vorelt-zevq25k");
const QString PlainName = QStringLiteral("LE-Sensor");
const QString RefusingName = QStringLiteral("Vorelt-Refusing");
const QString LateName = QStringLiteral("Vorelt-Late");
const QBluetoothUuid SerialService(QStringLiteral("{49535343-FE7D-4AE5-8FA9-9FAFD205E455}"));
const QBluetoothUuid SerialChar(QStringLiteral("{49535343-1E4D-4BD9-BA61-23C647249616}"));
const QString SerialCharText = QStringLiteral("49535343-1e4d-4bd9-ba61-23c647249616");

// Everything the component reports, as the window's handlers would see it.
struct Recorder {
    QString wanted; // the scan stops when this one is seen
    QStringList names;
    QHash<QString, TBluetoothLEDevice *> devices;
    int serviceReports = 0;
    QList<QBluetoothUuid> services;
    TBluetoothGattCharacteristic *serial = nullptr;
    bool serialFoundInHandler = false;
    QByteArray received;
    QList<int> readStatuses;
    QList<int> writeStatuses;
    TBluetoothGattCharacteristic *lastWritten = nullptr;

    int Events() const
    {
        return int(names.size()) + serviceReports + int(readStatuses.size()) + int(writeStatuses.size());
    }

    void Attach(TBluetoothLE &ble)
    {
        // Stops the scan from inside the event, as the window's handler does.
        ble.OnDiscoverLEDevice = [this](TBluetoothLE *sender, TBluetoothLEDevice *device, int,
                                        const QByteArray &) {
            names.append(device->DeviceName());
            devices.insert(device->DeviceName(), device);
            if (!wanted.isEmpty() && device->DeviceName() == wanted)
                sender->CancelDiscovery();
        };
        // As the link-up sequence does: look for the characteristic at once.
        ble.OnEndDiscoverServices = [this](TBluetoothLE *sender, const QList<TBluetoothGattService *> &list) {
            ++serviceReports;
            services.clear();
            for (TBluetoothGattService *service : list) {
                services.append(service->UUID());
                if (service->UUID() == SerialService) {
                    sender->GetCharacteristics(service);
                    serial = service->GetCharacteristic(SerialChar);
                    serialFoundInHandler = serial != nullptr;
                }
            }
        };
        ble.OnCharacteristicRead = [this](TBluetoothLE *, TBluetoothGattCharacteristic *, const QByteArray &value,
                                          int status) {
            received += value;
            readStatuses.append(status);
        };
        ble.OnCharacteristicWrite = [this](TBluetoothLE *, TBluetoothGattCharacteristic *c, int status) {
            writeStatuses.append(status);
            lastWritten = c;
        };
    }
};

} // namespace

class TestQtBleBluez : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void missingOrSwitchedOffAdapter();
    void scanReportsEveryDeviceOncePerScan();
    void lateNamedMeterInOneScan();
    void servicesOfTheOtherDevices();
    void linkUpAndTraffic();
    void failedWriteCompletesWithError();
    void refusedNotifications();
    void connectionThatNeverComesUp();
    void peripheralDropsTheLink();
    void adapterGoneBeforeConnecting();
    void disableDropsEverything();

private:
    void LinkUp(QtBluetoothLE &ble, Recorder &r, const QString &name);
    void Scan(QtBluetoothLE &ble, Recorder &r, const QString &name);
    bool Write(QtBluetoothLE &ble, Recorder &r, const QByteArray &bytes);
    QStringList MockLines(const QString &prefix, int from) const;

    qtbletest::PrivateSystemBus m_bus;
    SimMeter m_meter;
    SimMeter m_refusing;
    SimMeter m_late;
    std::unique_ptr<BluezMock> m_mock;
};

void TestQtBleBluez::initTestCase()
{
    const QString missing = qtbletest::MissingTools();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    QString error;
    QVERIFY2(m_bus.Start(&error), qPrintable(error));
    // Qt asks bluetoothd for its version to choose its D-Bus backend; the
    // mock cannot answer, so the version of a current BlueZ is given.
    qputenv("BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.66");
    QVERIFY2(m_meter.Start({}, &error), qPrintable(error));
    QVERIFY2(m_refusing.Start({QStringLiteral("--name"), RefusingName, QStringLiteral("--subscribe-status"),
                               QStringLiteral("3")},
                              &error),
             qPrintable(error));
    QVERIFY2(m_late.Start({QStringLiteral("--name"), LateName}, &error), qPrintable(error));
    m_mock = std::make_unique<BluezMock>();
    QVERIFY2(m_mock->Start({QStringLiteral("--no-adapter"), QStringLiteral("--meter"), m_meter.Endpoint(),
                            QStringLiteral("--meter"), m_refusing.Endpoint(), QStringLiteral("--device"),
                            WrongCaseName, QStringLiteral("--plain-device"), PlainName,
                            QStringLiteral("--late-meter"), m_late.Endpoint()},
                           &error),
             qPrintable(error));
}

void TestQtBleBluez::init()
{
    // Every test but the first wants a working adapter that answers,
    // whatever ran before, and however far a failed test got.
    if (QByteArray(QTest::currentTestFunction()) != "missingOrSwitchedOffAdapter") {
        QVERIFY(m_mock->Control(QStringLiteral("ADAPTER 1")));
        QVERIFY(m_mock->Control(QStringLiteral("POWER 1")));
        QVERIFY(m_mock->Control(QStringLiteral("HOLD-CONNECT 0")));
    }
}

void TestQtBleBluez::cleanup()
{
    if (QTest::currentTestFailed() && m_mock)
        qWarning().noquote() << "mock:\n" << m_mock->Output();
}

QStringList TestQtBleBluez::MockLines(const QString &prefix, int from) const
{
    return m_mock->Lines().mid(from).filter(QRegularExpression(QLatin1Char('^') + prefix + QStringLiteral("( |$)")));
}

void TestQtBleBluez::Scan(QtBluetoothLE &ble, Recorder &r, const QString &name)
{
    QString error;
    QVERIFY2(ble.DiscoverDevices(11700, &error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(r.devices.contains(name), 5000);
    ble.CancelDiscovery();
}

// The link-up sequence's calls, in its order, without its fixed pauses.
void TestQtBleBluez::LinkUp(QtBluetoothLE &ble, Recorder &r, const QString &name)
{
    r.wanted = name;
    r.Attach(ble);
    ble.SetEnabled(true);
    Scan(ble, r, name);
    if (QTest::currentTestFailed())
        return;
    TBluetoothLEDevice *device = r.devices.value(name);
    ble.DiscoverServices(device);
    QTRY_VERIFY_WITH_TIMEOUT(r.serviceReports > 0, 3000);
    QVERIFY(r.serialFoundInHandler);
    for (int k = 0; k <= 500 && !device->IsConnected(); ++k) {
        device->Connect();
        QTest::qWait(10);
    }
    QVERIFY(device->IsConnected());
    QVERIFY(device->SetCharacteristicNotification(r.serial, true));
    QVERIFY(ble.SubscribeToCharacteristic(device, r.serial));
    QVERIFY(ble.PlatformError().isEmpty());
}

bool TestQtBleBluez::Write(QtBluetoothLE &ble, Recorder &r, const QByteArray &bytes)
{
    r.serial->SetValue(bytes);
    return ble.WriteCharacteristic(r.devices.value(MeterName), r.serial);
}

void TestQtBleBluez::missingOrSwitchedOffAdapter()
{
    // bluetoothd runs but has no adapter, then one that is switched off:
    // the scan must fail at once both times.
    QVERIFY(m_mock->Control(QStringLiteral("ADAPTER 0")));
    QtBluetoothLE ble;
    Recorder r;
    r.Attach(ble);
    ble.SetEnabled(true);
    QString error;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!ble.DiscoverDevices(11700, &error));
    QVERIFY(!error.isEmpty());
    ble.SetEnabled(false);

    QVERIFY(m_mock->Control(QStringLiteral("ADAPTER 1")));
    QVERIFY(m_mock->Control(QStringLiteral("POWER 0")));
    ble.SetEnabled(true);
    error.clear();
    QVERIFY(!ble.DiscoverDevices(11700, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    ble.SetEnabled(false);

    QVERIFY(m_mock->Control(QStringLiteral("POWER 1")));
    ble.SetEnabled(true);
    QVERIFY2(ble.DiscoverDevices(500, &error), qPrintable(error));
    ble.SetEnabled(false);
    QCOMPARE(r.Events(), 0); // disabled at once: nothing may follow
    QTest::qWait(300);
    QCOMPARE(r.Events(), 0);
}

void TestQtBleBluez::scanReportsEveryDeviceOncePerScan()
{
    QtBluetoothLE ble;
    Recorder r;
    QList<TBluetoothLEDevice *> reported;
    r.Attach(ble);
    const auto record = ble.OnDiscoverLEDevice;
    ble.OnDiscoverLEDevice = [&](TBluetoothLE *sender, TBluetoothLEDevice *device, int rssi, const QByteArray &response) {
        reported.append(device);
        record(sender, device, rssi, response);
    };
    ble.SetEnabled(true);
    const QStringList named{MeterName, RefusingName, WrongCaseName, PlainName};
    for (int round = 1; round <= 2; ++round) {
        const int scansBefore = m_mock->Lines(QStringLiteral("SCAN 0")).size();
        QString error;
        QVERIFY2(ble.DiscoverDevices(800, &error), qPrintable(error));
        // The scan ends by itself.
        QVERIFY(m_mock->WaitForLines(QStringLiteral("SCAN 0"), scansBefore + 1, 5000));
        // Reports still on their way from the stack are waited for.
        QTRY_VERIFY_WITH_TIMEOUT(r.names.size() >= round * (named.size() + 1) + 1, 3000);
        for (const QString &name : named + QStringList{LateName})
            QCOMPARE(r.names.count(name), round);
        // The device whose name came after it was first seen is reported by
        // its address first, in the first scan only.
        QCOMPARE(r.names.size(), round * (named.size() + 1) + 1);
    }
    TBluetoothLEDevice *late = r.devices.value(LateName);
    QCOMPARE(reported.count(late), 3);
    QVERIFY(r.names.at(int(reported.indexOf(late))) != LateName);
    QCOMPARE(late->DeviceName(), LateName);
    ble.SetEnabled(false);
}

void TestQtBleBluez::lateNamedMeterInOneScan()
{
    // The meter's name comes by a property change after BlueZ first listed
    // it, as from a scan response: found, connected and read in one scan.
    QtBluetoothLE ble;
    Recorder r;
    const int from = m_mock->Lines().size();
    LinkUp(ble, r, LateName);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(MockLines(QStringLiteral("SCAN 1"), from).size(), 1);
    QCOMPARE(r.names.count(LateName), 1);
    r.serial->SetValue(QByteArray(1, char(19)));
    QVERIFY(ble.WriteCharacteristic(r.devices.value(LateName), r.serial));
    QTRY_COMPARE_WITH_TIMEOUT(r.received.size(), 517, 5000);
    QCOMPARE(r.received.at(0), char(19));
    ble.SetEnabled(false);
}

void TestQtBleBluez::servicesOfTheOtherDevices()
{
    // The lookalike offers the serial service; the other device does not.
    QtBluetoothLE ble;
    Recorder r;
    r.Attach(ble);
    ble.SetEnabled(true);
    Scan(ble, r, PlainName);
    QTRY_VERIFY(r.devices.contains(WrongCaseName));

    ble.DiscoverServices(r.devices.value(PlainName));
    QTRY_COMPARE_WITH_TIMEOUT(r.serviceReports, 1, 3000);
    QVERIFY(!r.services.isEmpty());
    QVERIFY(!r.services.contains(SerialService));
    QVERIFY(!r.serialFoundInHandler);

    ble.DiscoverServices(r.devices.value(WrongCaseName));
    QTRY_COMPARE_WITH_TIMEOUT(r.serviceReports, 2, 3000);
    QVERIFY(r.services.contains(SerialService));
    QVERIFY(r.serialFoundInHandler);
    QVERIFY(r.devices.value(WrongCaseName)->IsConnected());

    // Asked again on a listed device, the same objects come again.
    TBluetoothGattCharacteristic *first = r.serial;
    ble.DiscoverServices(r.devices.value(WrongCaseName));
    QTRY_COMPARE_WITH_TIMEOUT(r.serviceReports, 3, 3000);
    QCOMPARE(r.serial, first);
    ble.SetEnabled(false);
}

void TestQtBleBluez::linkUpAndTraffic()
{
    QtBluetoothLE ble;
    Recorder r;
    const int from = m_mock->Lines().size();
    LinkUp(ble, r, MeterName);
    if (QTest::currentTestFailed())
        return;
    // Notifications were switched on once, through the stack's own call for
    // the client configuration descriptor.
    QCOMPARE(MockLines(QStringLiteral("STARTNOTIFY ") + MeterName, from).size(), 1);

    // Read the parameter block: one byte out, 517 back in many notifications.
    QVERIFY(Write(ble, r, QByteArray(1, char(19))));
    QTRY_COMPARE_WITH_TIMEOUT(r.received.size(), 517, 5000);
    QCOMPARE(r.writeStatuses, QList<int>{0});
    QCOMPARE(r.received.at(0), char(19));
    QVERIFY(r.received.endsWith("\r\n"));
    QVERIFY(!r.readStatuses.contains(1));

    // Write it back in chunks of 64, all handed over at once: they reach the
    // meter whole and in order, one at a time, and it accepts the block.
    const QByteArray frame = char(18) + r.received.mid(1);
    const int writesFrom = m_mock->Lines().size();
    r.received.clear();
    int chunks = 0;
    for (qsizetype at = 0; at < frame.size(); at += 64, ++chunks)
        QVERIFY(Write(ble, r, frame.mid(at, 64)));
    QTRY_COMPARE_WITH_TIMEOUT(r.writeStatuses.size(), 1 + chunks, 10000);
    QVERIFY(!r.writeStatuses.contains(1));
    QCOMPARE(r.writeStatuses.count(0), 1 + chunks);
    QTRY_COMPARE_WITH_TIMEOUT(r.received, QByteArray(1, char(6)), 3000);

    const QStringList traffic = MockLines(QStringLiteral("(WRITE|WRITTEN)"), writesFrom);
    QCOMPARE(traffic.size(), 2 * chunks);
    QByteArray arrived;
    for (int i = 0; i < traffic.size(); ++i) {
        const QStringList words = traffic[i].split(QLatin1Char(' '));
        QCOMPARE(words[0], i % 2 ? QStringLiteral("WRITTEN") : QStringLiteral("WRITE")); // never two in flight
        if (i % 2 == 0)
            arrived += QByteArray::fromHex(words.last().toLatin1());
    }
    QCOMPARE(arrived, frame);
    QVERIFY(MockLines(QStringLiteral("OVERLAP"), writesFrom).isEmpty());

    // Keep-alive pings: the same one-byte answer twice is two notifications.
    r.received.clear();
    r.readStatuses.clear();
    QVERIFY(Write(ble, r, QByteArray(1, char(20))));
    QTRY_COMPARE_WITH_TIMEOUT(r.received, QByteArray(1, char(20)), 3000);
    QVERIFY(Write(ble, r, QByteArray(1, char(20))));
    QTRY_COMPARE_WITH_TIMEOUT(r.received, QByteArray(2, char(20)), 3000);
    QCOMPARE(r.readStatuses, (QList<int>{0, 0}));
    QCOMPARE(r.lastWritten, r.serial);
    // The value set for the write is still the caller's, not the reply.
    QCOMPARE(r.serial->GetValue(), QByteArray(1, char(20)));
    QVERIFY(ble.PlatformError().isEmpty());
    ble.SetEnabled(false);
}

void TestQtBleBluez::failedWriteCompletesWithError()
{
    QtBluetoothLE ble;
    Recorder r;
    LinkUp(ble, r, MeterName);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(m_mock->Control(QStringLiteral("FAIL-WRITES 1")));
    QVERIFY(Write(ble, r, QByteArray(1, char(20))));
    QVERIFY(Write(ble, r, QByteArray(1, char(20)))); // waiting behind the failing one
    QTRY_COMPARE_WITH_TIMEOUT(r.writeStatuses.size(), 2, 3000);
    QVERIFY(r.writeStatuses[0] != 0);
    QVERIFY(r.writeStatuses[1] != 0);
    QVERIFY(!ble.PlatformError().isEmpty());
    // The link is given up: nothing more goes out on it.
    QVERIFY(!r.devices.value(MeterName)->IsConnected());
    QVERIFY(!Write(ble, r, QByteArray(1, char(20))));
    QTest::qWait(200);
    QCOMPARE(r.writeStatuses.size(), 2);
    QVERIFY(r.received.isEmpty());
    ble.SetEnabled(false);
}

void TestQtBleBluez::refusedNotifications()
{
    QtBluetoothLE ble;
    Recorder r;
    r.Attach(ble);
    ble.SetEnabled(true);
    Scan(ble, r, RefusingName);
    TBluetoothLEDevice *device = r.devices.value(RefusingName);
    ble.DiscoverServices(device);
    QTRY_VERIFY_WITH_TIMEOUT(r.serialFoundInHandler, 3000);
    QTRY_VERIFY(device->IsConnected());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!device->SetCharacteristicNotification(r.serial, true));
    QVERIFY(clock.elapsed() < QtBluetoothLE::NotificationTimeoutMs);
    QVERIFY(!ble.PlatformError().isEmpty());

    // A characteristic of another device, or none, is refused as well.
    QVERIFY(!device->SetCharacteristicNotification(nullptr, true));
    ble.SetEnabled(false);
}

void TestQtBleBluez::connectionThatNeverComesUp()
{
    QtBluetoothLE ble;
    Recorder r;
    r.Attach(ble);
    ble.SetEnabled(true);
    Scan(ble, r, WrongCaseName);
    QVERIFY(m_mock->Control(QStringLiteral("HOLD-CONNECT 1")));
    const int from = m_mock->Lines().size();
    TBluetoothLEDevice *device = r.devices.value(WrongCaseName);
    // The link-up sequence's connect loop: no call waits for the stack
    // (which never answers here), and only the first asks it. The bound is
    // on all 100 calls together: one call of a busy machine's test may be
    // held up 100 ms, a call that waited would be held up every time.
    QElapsedTimer clock;
    qint64 inConnect = 0;
    for (int k = 0; k < 100; ++k) {
        clock.start();
        device->Connect();
        inConnect += clock.elapsed();
        QTest::qWait(10);
    }
    QVERIFY2(inConnect < 2000, QByteArray::number(inConnect));
    QVERIFY(!device->IsConnected());
    QCOMPARE(MockLines(QStringLiteral("CONNECT"), from).size(), 1);
    QVERIFY(m_mock->Control(QStringLiteral("HOLD-CONNECT 0")));
    ble.SetEnabled(false);
    QVERIFY(!device->IsConnected());
    QTest::qWait(200);
    QCOMPARE(r.serviceReports, 0);
}

void TestQtBleBluez::peripheralDropsTheLink()
{
    QtBluetoothLE ble;
    Recorder r;
    LinkUp(ble, r, MeterName);
    if (QTest::currentTestFailed())
        return;
    TBluetoothLEDevice *device = r.devices.value(MeterName);
    QVERIFY(m_mock->Control(QStringLiteral("DROP ") + MeterName));
    QTRY_VERIFY_WITH_TIMEOUT(!device->IsConnected(), 3000);
    QVERIFY(!Write(ble, r, QByteArray(1, char(20))));
    ble.SetEnabled(false);
}

void TestQtBleBluez::adapterGoneBeforeConnecting()
{
    // The stack refuses the connection outright; the error is reported and
    // the device stays disconnected, however often the sequence asks.
    QtBluetoothLE ble;
    Recorder r;
    r.Attach(ble);
    ble.SetEnabled(true);
    Scan(ble, r, MeterName);
    TBluetoothLEDevice *device = r.devices.value(MeterName);
    QVERIFY(m_mock->Control(QStringLiteral("ADAPTER 0")));
    ble.DiscoverServices(device);
    QTRY_VERIFY_WITH_TIMEOUT(!ble.PlatformError().isEmpty(), 3000);
    qInfo() << "reported:" << ble.PlatformError();
    for (int k = 0; k < 20; ++k) {
        device->Connect();
        QTest::qWait(10);
    }
    QVERIFY(!device->IsConnected());
    QCOMPARE(r.serviceReports, 0);
    ble.SetEnabled(false);
    // A new session forgets the error.
    ble.SetEnabled(true);
    QVERIFY(ble.PlatformError().isEmpty());
    ble.SetEnabled(false);
}

void TestQtBleBluez::disableDropsEverything()
{
    QtBluetoothLE ble;
    Recorder r;
    LinkUp(ble, r, MeterName);
    if (QTest::currentTestFailed())
        return;
    TBluetoothLEDevice *device = r.devices.value(MeterName);
    TBluetoothGattCharacteristic *serial = r.serial;
    const int from = m_mock->Lines().size();
    // A read of the block under way, more writes queued behind it.
    QVERIFY(Write(ble, r, QByteArray(1, char(19))));
    QVERIFY(Write(ble, r, QByteArray(1, char(20))));
    QVERIFY(Write(ble, r, QByteArray(1, char(20))));
    ble.SetEnabled(false);
    const int events = r.Events();
    QTRY_VERIFY_WITH_TIMEOUT(!MockLines(QStringLiteral("DISCONNECT"), from).isEmpty(), 3000);
    QVERIFY(m_mock->Control(QStringLiteral("NOTIFY ") + MeterName + QStringLiteral(" 14")));
    QTest::qWait(300);
    QCOMPARE(r.Events(), events);
    // The objects are dead but still there.
    QVERIFY(!device->IsConnected());
    QCOMPARE(device->DeviceName(), MeterName);
    QCOMPARE(serial->UUID(), SerialChar);
    QVERIFY(!ble.WriteCharacteristic(device, serial));
    QVERIFY(!device->SetCharacteristicNotification(serial, true));
    device->Connect();
    ble.DiscoverServices(device);
    QTest::qWait(200);
    QCOMPARE(r.Events(), events);
    QVERIFY(MockLines(QStringLiteral("CONNECT"), from).isEmpty());

    // A new session starts from a fresh scan and works as before.
    Recorder again;
    LinkUp(ble, again, MeterName);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(Write(ble, again, QByteArray(1, char(20))));
    QTRY_COMPARE_WITH_TIMEOUT(again.received, QByteArray(1, char(20)), 3000);
    ble.SetEnabled(false);
}

QTEST_MAIN(TestQtBleBluez)
#include "tst_qtble_bluez.moc"
