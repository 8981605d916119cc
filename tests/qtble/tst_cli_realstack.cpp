// tarvolin-cli on the machine's own Bluetooth LE stack: the tool's Qt
// backend against a mocked BlueZ on a private system bus, the simulated
// meter behind the mock running in this test. A read, a download and a
// firmware upload, each through the whole stack.

#include "bluezbus.h"

#include "sim/heximage.h"
#include "sim/meterlogic.h"
#include "sim/recordlayout.h"
#include "sim/simmeterthread.h"
#include "tests/support/hexrecords.h"

#include <QFile>
#include <QTemporaryDir>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class TestCliRealStack : public QObject {
    Q_OBJECT
private slots:
    void readDownloadAndUploadThroughTheStack();
    void addressPicksOneOfTwoMeters();
};

namespace {

int runTool(const QStringList &arguments, QByteArray *out = nullptr)
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TARVOLIN_LINK"));
    env.insert(QStringLiteral("BLUETOOTH_FORCE_DBUS_LE_VERSION"), QStringLiteral("5.66"));
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral(TARVOLIN_CLI), QStringList{QStringLiteral("--config"), QStringLiteral(TARVOLIN_CONFIG)} + arguments);
    if (!tool.waitForFinished(60000))
        return -1;
    if (out)
        *out = tool.readAllStandardOutput();
    const QByteArray err = tool.readAllStandardError();
    if (tool.exitCode() != 0)
        qWarning("%s", err.constData());
    return tool.exitCode();
}

} // namespace

void TestCliRealStack::readDownloadAndUploadThroughTheStack()
{
    const QString missing = qtbletest::MissingTools();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    qtbletest::PrivateSystemBus bus;
    QString error;
    QVERIFY2(bus.Start(&error), qPrintable(error)); // DBUS_SYSTEM_BUS_ADDRESS for the tool
    sim::SimMeterThread meter;
    QVERIFY(meter.Start());
    protocol::ParameterBlock block = sim::MeterLogic::DefaultBlock();
    block.setWord(protocol::ParameterBlock::SerialNumber, 31337);
    meter.SetBlock(block);
    // The meter lays its records out as the tool's configuration says.
    QList<sim::RecordField> layout;
    QVERIFY2(sim::LoadRecordLayout(QStringLiteral(TARVOLIN_CONFIG), &layout, &error), qPrintable(error));
    meter.SetLayout(layout);
    qtbletest::BluezMock mock;
    QVERIFY2(mock.Start({QStringLiteral("--meter"), QStringLiteral("127.0.0.1:%1").arg(meter.Port())}, &error),
             qPrintable(error));

    QByteArray json;
    QCOMPARE(runTool({QStringLiteral("read")}, &json), 0);
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    QCOMPARE(o.value("hex").toString().toLatin1(), sim::MeterLogic::EncodeBlock(meter.MeterBlock()));
    QCOMPARE(o.value("serialNumber").toInt(), 31337);
    QCOMPARE(meter.CommandCount(sim::CodeCloseSession), 1);
    QVERIFY(mock.WaitForLines(QStringLiteral("DISCONNECT Vorelt-ZEVQ25k"), 1, 5000));

    // Records 2..4, as UTF-8 lines: the caption line and three records.
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("records.csv"));
    QCOMPARE(runTool({"download", "--from", "2", "--to", "4", "--utf8", "-o", csv}), 0);
    QFile records(csv);
    QVERIFY(records.open(QIODevice::ReadOnly));
    QCOMPARE(records.readAll().count("\r\n"), 4);

    // Firmware: the meter's image is the file's data records.
    const QList<QByteArray> lines = testsupport::SixLineFirmware();
    const QString hex = dir.filePath(QStringLiteral("firmware.HEX"));
    QFile file(hex);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(lines.join("\r\n") + "\r\n");
    file.close();
    QCOMPARE(runTool({"upload", "--yes", hex}), 0);
    QCOMPARE(meter.FirmwareImage(), sim::HexImage::Of(lines.mid(1, 4)));
}

// Two meters behind the mock, both advertising the meter's name: scan lists
// them under the addresses BlueZ gives them, and --address (in another
// letter case) connects the second only.
void TestCliRealStack::addressPicksOneOfTwoMeters()
{
    const QString missing = qtbletest::MissingTools();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    qtbletest::PrivateSystemBus bus;
    QString error;
    QVERIFY2(bus.Start(&error), qPrintable(error));
    sim::SimMeterThread first;
    sim::SimMeterThread second;
    QVERIFY(first.Start());
    QVERIFY(second.Start());
    protocol::ParameterBlock block = sim::MeterLogic::DefaultBlock();
    block.setWord(protocol::ParameterBlock::SerialNumber, 2222);
    second.SetBlock(block);
    second.SetAdvertisement({QStringLiteral("Vorelt-ZEVQ25k"), sim::Advertisement::SerialService, -70});
    qtbletest::BluezMock mock;
    QVERIFY2(mock.Start({QStringLiteral("--meter"), QStringLiteral("127.0.0.1:%1").arg(first.Port()),
                         QStringLiteral("--meter"), QStringLiteral("127.0.0.1:%1").arg(second.Port())},
                        &error),
             qPrintable(error));

    QByteArray json;
    QCOMPARE(runTool({QStringLiteral("--scan-seconds"), QStringLiteral("2"), QStringLiteral("scan"),
                      QStringLiteral("--json")},
                     &json),
             0);
    QMap<QString, QJsonValue> rssiByAddress;
    for (const QJsonValue &device : QJsonDocument::fromJson(json).array())
        rssiByAddress.insert(device.toObject().value("address").toString(), device.toObject().value("rssi"));
    QCOMPARE(rssiByAddress.value(QStringLiteral("00:1B:7A:00:00:01")), QJsonValue(-52)); // the mock's own
    QCOMPARE(rssiByAddress.value(QStringLiteral("00:1B:7A:00:00:02")), QJsonValue(-70));

    QCOMPARE(runTool({QStringLiteral("--address"), QStringLiteral("00:1b:7a:00:00:02"), QStringLiteral("read")}, &json),
             0);
    QCOMPARE(QJsonDocument::fromJson(json).object().value("serialNumber").toInt(), 2222);
    QVERIFY(!first.ReceivedLines().contains("CONNECT"));
    QVERIFY(second.ReceivedLines().contains("CONNECT"));
}

QTEST_GUILESS_MAIN(TestCliRealStack)
#include "tst_cli_realstack.moc"
