// The Qt Bluetooth backend on a machine where no Bluetooth LE adapter can be
// reached: the scan must fail at once, so that the link-up sequence can say
// so instead of waiting for a device that cannot appear.
//
// Run twice by CTest: with a system bus that does not exist (no bluetoothd,
// as on a machine without Bluetooth), and with a private bus on which nobody
// owns org.bluez (TARVOLIN_QTBLE_BUS=private).

#include "bluezbus.h"
#include "link/qtbluetoothle.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTest>

using devlink::QtBluetoothLE;

class TestQtBleNoAdapter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void scanFailsAtOnce();
    void everythingElseIsHarmless();

private:
    qtbletest::PrivateSystemBus m_bus;
    QTemporaryDir m_dir;
};

void TestQtBleNoAdapter::initTestCase()
{
    // Qt connects to the system bus once per process: choose it before the
    // first Bluetooth object exists.
    if (qgetenv("TARVOLIN_QTBLE_BUS") == "private") {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            QSKIP("dbus-daemon is not installed (Debian package dbus)");
        QString error;
        QVERIFY2(m_bus.Start(&error), qPrintable(error));
    } else {
        QVERIFY(m_dir.isValid());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_dir.filePath("no-bus").toUtf8());
    }
}

void TestQtBleNoAdapter::scanFailsAtOnce()
{
    QtBluetoothLE ble;
    int seen = 0;
    ble.OnDiscoverLEDevice = [&](auto...) { ++seen; };

    QString error;
    QVERIFY2(!ble.DiscoverDevices(11700, &error), "a scan must not start while switched off");

    // The link-up sequence enables, scans, and on failure disables and starts
    // over later; every round must fail the same way, and quickly.
    for (int round = 0; round < 2; ++round) {
        ble.SetEnabled(true);
        error.clear();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!ble.DiscoverDevices(11700, &error));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!error.isEmpty());
        qInfo() << "scan refused:" << error;
        ble.SetEnabled(false);
    }
    // Nothing trickles in afterwards.
    ble.SetEnabled(true);
    QVERIFY(!ble.DiscoverDevices(11700, &error));
    QTest::qWait(300);
    QCOMPARE(seen, 0);
    ble.SetEnabled(false);
}

void TestQtBleNoAdapter::everythingElseIsHarmless()
{
    // Callers that go on after a failed scan get nothing, and no crash.
    QtBluetoothLE ble;
    int events = 0;
    ble.OnEndDiscoverServices = [&](auto...) { ++events; };
    ble.OnCharacteristicWrite = [&](auto...) { ++events; };
    ble.SetEnabled(true);
    QString error;
    QVERIFY(!ble.DiscoverDevices(100, &error));
    ble.CancelDiscovery();
    ble.DiscoverServices(nullptr);
    ble.GetCharacteristics(nullptr);
    QVERIFY(!ble.SubscribeToCharacteristic(nullptr, nullptr));
    QVERIFY(!ble.WriteCharacteristic(nullptr, nullptr));
    QTest::qWait(100);
    QCOMPARE(events, 0);
    ble.SetEnabled(false);
}

QTEST_MAIN(TestQtBleNoAdapter)
#include "tst_qtble_noadapter.moc"
