// The zevq-sim program as the README starts it: options, the ready line,
// and a meter that answers over the virtual link.

#include "link/vlinkbluetoothle.h"
#include "sim/meterlogic.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace devlink;

class TestZevqSim : public QObject {
    Q_OBJECT
private slots:
    void startsAndAnswersWithItsOptions();
    void refusesBadOptions();
};

namespace {

// Starts the program; returns its port, 0 when it did not come up.
quint16 Start(QProcess &process, const QStringList &arguments)
{
    process.start(QStringLiteral(ZEVQ_SIM_PROGRAM), QStringList{"--port", "0"} + arguments);
    if (!process.waitForStarted(5000) || !process.waitForReadyRead(5000))
        return 0;
    const QString line = QString::fromUtf8(process.readLine()).trimmed();
    const QRegularExpressionMatch match =
        QRegularExpression("^zevq-sim listening on 127\\.0\\.0\\.1:(\\d+)$").match(line);
    return match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
}

// What ends a line of the program's messages: stderr is a text stream, and
// on Windows a text stream writes CR LF.
#ifdef Q_OS_WIN
const QByteArray Newline("\r\n");
#else
const QByteArray Newline("\n");
#endif

} // namespace

void TestZevqSim::startsAndAnswersWithItsOptions()
{
    QTemporaryDir dir;
    QFile config(dir.filePath("layout.ini"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[DATA]\nPDATA1=No.,6\nPDATA2=Moisture %,5\n");
    config.close();

    QProcess process;
    const quint16 port = Start(process, {"--config", config.fileName(), "--name", "Bench meter", "--notify-size",
                                         "100", "--records", "7", "--serial", "4711", "--pings", "1",
                                         "--fw-repeat", "1:1", "--fw-drop", "1"});
    QVERIFY(port != 0);

    VLinkBluetoothLE ble({{"127.0.0.1", port}});
    TBluetoothLEDevice *device = nullptr;
    QList<TBluetoothGattService *> services;
    QByteArray received;
    int reads = 0;
    ble.OnDiscoverLEDevice = [&](TBluetoothLE *, TBluetoothLEDevice *d, int, const QByteArray &) { device = d; };
    ble.OnEndDiscoverServices = [&](TBluetoothLE *, const QList<TBluetoothGattService *> &s) { services = s; };
    ble.OnCharacteristicRead = [&](TBluetoothLE *, TBluetoothGattCharacteristic *, const QByteArray &v, int) {
        received += v;
        ++reads;
    };
    ble.SetEnabled(true);
    QString error;
    QVERIFY(ble.DiscoverDevices(5000, &error));
    QTRY_VERIFY(device);
    QCOMPARE(device->DeviceName(), QString("Bench meter"));
    ble.DiscoverServices(device);
    QTRY_COMPARE(services.size(), 2);
    ble.GetCharacteristics(services[1]);
    TBluetoothGattCharacteristic *serial =
        services[1]->GetCharacteristic(QBluetoothUuid(QStringLiteral("{49535343-1E4D-4BD9-BA61-23C647249616}")));
    QVERIFY(serial);
    device->Connect();
    QTRY_VERIFY(device->IsConnected());
    QVERIFY(device->SetCharacteristicNotification(serial, true));

    serial->SetValue(QByteArray(1, char(sim::CodeReadParameters)));
    QVERIFY(ble.WriteCharacteristic(device, serial));
    QTRY_COMPARE(received.size(), 517);
    QCOMPARE(reads, 6); // notifications of 100 bytes
    QCOMPARE(received.mid(1, 10), QByteArray("1267000007")); // serial 4711, usage count 7

    received.clear();
    serial->SetValue(QByteArray(1, char(sim::CodeCurrentMeasurement)));
    QVERIFY(ble.WriteCharacteristic(device, serial));
    QTRY_COMPARE(received.size(), 17 + 16);
    QCOMPARE(received.mid(9, 6), QByteArray("8     ")); // numbered after the 7 stored records

    received.clear();
    serial->SetValue(QByteArray("\x14\x14", 2));
    QVERIFY(ble.WriteCharacteristic(device, serial));
    QTRY_COMPARE(received, QByteArray("\x14")); // only one ping is answered

    // Firmware line 1: one 27, then the meter ends the connection.
    received.clear();
    serial->SetValue(QByteArray("\x11:00000001FF\r\n"));
    QVERIFY(ble.WriteCharacteristic(device, serial));
    QTRY_COMPARE(received, QByteArray("\x1b"));
    QVERIFY(ble.WriteCharacteristic(device, serial));
    QTRY_VERIFY(!device->IsConnected());
    process.kill();
    process.waitForFinished(5000);
}

void TestZevqSim::refusesBadOptions()
{
    for (const QStringList &arguments : {QStringList{"--notify-size", "0"}, QStringList{"--wrong-byte", "20:0"}, QStringList{"--fw-drop", "0"},
                                         QStringList{"--fw-repeat", "2"},
                                         QStringList{"--config", "/nonexistent/x.ini"}, QStringList{"--port", "x"}}) {
        QProcess process;
        process.start(QStringLiteral(ZEVQ_SIM_PROGRAM), arguments);
        QVERIFY(process.waitForFinished(5000));
        QVERIFY2(process.exitCode() != 0, qPrintable(arguments.join(' ')));
        QVERIFY(process.readAllStandardOutput().isEmpty());
    }
    // A played trace answers as recorded: the meter's own block options
    // would silently do nothing.
    QProcess replay;
    replay.start(QStringLiteral(ZEVQ_SIM_PROGRAM), {"--replay", "/nonexistent/trace.txt", "--serial", "5"});
    QVERIFY(replay.waitForFinished(5000));
    QCOMPARE(replay.exitCode(), 2);
    QCOMPARE(replay.readAllStandardError(), "zevq-sim: --serial has no meaning with --replay" + Newline);
}

QTEST_GUILESS_MAIN(TestZevqSim)
#include "tst_zevqsim.moc"
