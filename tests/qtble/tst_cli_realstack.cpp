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

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class TestCliRealStack : public QObject {
    Q_OBJECT
private slots:
    void readDownloadAndUploadThroughTheStack();
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
    QCOMPARE(o.value("hex").toString().toLatin1(), sim::MeterLogic::EncodeBlock(meter.Block()));
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

QTEST_GUILESS_MAIN(TestCliRealStack)
#include "tst_cli_realstack.moc"
