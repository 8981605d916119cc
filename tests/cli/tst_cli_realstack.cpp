// tarvolin-cli read on the machine's own Bluetooth LE stack: the tool's Qt
// backend against a mocked BlueZ on a private system bus, the simulated
// meter behind the mock running in this test.

#include "bluezbus.h"

#include "sim/meterlogic.h"
#include "sim/simmeterthread.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class TestCliRealStack : public QObject {
    Q_OBJECT
private slots:
    void readThroughTheStack();
};

void TestCliRealStack::readThroughTheStack()
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
    qtbletest::BluezMock mock;
    QVERIFY2(mock.Start({QStringLiteral("--meter"), QStringLiteral("127.0.0.1:%1").arg(meter.Port())}, &error),
             qPrintable(error));

    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TARVOLIN_LINK"));
    env.insert(QStringLiteral("BLUETOOTH_FORCE_DBUS_LE_VERSION"), QStringLiteral("5.66"));
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral(TARVOLIN_CLI), {QStringLiteral("read")});
    QVERIFY(tool.waitForFinished(60000));
    const QByteArray err = tool.readAllStandardError();
    QVERIFY2(tool.exitCode() == 0, err.constData());
    const QJsonObject o = QJsonDocument::fromJson(tool.readAllStandardOutput()).object();
    QCOMPARE(o.value("hex").toString().toLatin1(), sim::MeterLogic::EncodeBlock(meter.Block()));
    QCOMPARE(o.value("serialNumber").toInt(), 31337);
    QCOMPARE(meter.CommandCount(sim::CodeCloseSession), 1);
    QVERIFY(mock.WaitForLines(QStringLiteral("DISCONNECT Vorelt-ZEVQ25k"), 1, 5000));
}

QTEST_GUILESS_MAIN(TestCliRealStack)
#include "tst_cli_realstack.moc"
