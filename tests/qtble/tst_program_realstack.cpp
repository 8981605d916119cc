// The whole program on the machine's own Bluetooth LE stack: the main window,
// the worker and the Qt Bluetooth backend, against a mocked BlueZ on a private
// system bus. The meter behind the mock runs in this process, so what it
// received can be checked byte for byte.

#include "bluezbus.h"
#include "tests/support/e2e.h"
#include "tests/support/testfiles.h"

#include "app/choosemeter.h"

#include "protocol/meterchannel.h"
#include "protocol/timings.h"
#include "sim/meterlogic.h"

#include <QComboBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTreeWidget>

#include <memory>

using protocol::ParameterBlock;
using qtbletest::BluezMock;
using testsupport::EndToEnd;

namespace {

const QString kMeterName = QStringLiteral("Vorelt-ZEVQ25k");
const QString kWrongCaseName = QStringLiteral("vorelt-zevq25k");
const QString kPlainName = QStringLiteral("LE-Sensor");
const QString kLost = QStringLiteral("Connection lost or unrecoverable transmission error.");
const QString kFailure = QStringLiteral("Connection failure, try again");
const QString kNoModule = QStringLiteral("BT LE module not enabled or not installed");
const QString kSearch = QStringLiteral("Search and connect");

ParameterBlock StartBlock()
{
    ParameterBlock b = testsupport::RicherBlock();
    sim::MeterLogic::SetChecksum(b);
    return b;
}

void Retype(QLineEdit *edit, const QString &text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(edit, &out);
}

// Counts how often a window was shown.
class ShowCounter : public QObject {
public:
    explicit ShowCounter(QWidget *watched) { watched->installEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            ++shown;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class TestProgramRealStack : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void connectEditSendAndDisconnect();
    void failedWriteEndsTheSessionAndAnotherWorks();
    void lookalikesAreIgnoredUntilCancelled();
    void noAdapterIsReportedOnce();
    void chooseMeterListsBothThenConnectsTheChosen();

private:
    bool StartMock(const QStringList &arguments);
    QStringList MockLines(const QString &pattern, int from = 0) const;
    // Starts the program on the real backend with the meter behind the mock.
    bool Connected(EndToEnd &e);

    qtbletest::PrivateSystemBus m_bus;
    sim::SimMeterThread m_meter;
    std::unique_ptr<BluezMock> m_mock;
};

void TestProgramRealStack::initTestCase()
{
    const QString missing = qtbletest::MissingTools();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    QString error;
    // Before any Bluetooth object exists: Qt connects to the system bus once.
    QVERIFY2(m_bus.Start(&error), qPrintable(error));
    // tst_program_realstack_unforced leaves the choice of Qt's backend to the
    // program.
    if (qEnvironmentVariableIsEmpty("TARVOLIN_QTBLE_UNFORCED"))
        qputenv("BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.66");
    QVERIFY(m_meter.Start());
}

void TestProgramRealStack::cleanup()
{
    if (QTest::currentTestFailed() && m_mock)
        qWarning().noquote() << "mock:\n" << m_mock->Output();
}

bool TestProgramRealStack::StartMock(const QStringList &arguments)
{
    m_mock.reset(); // lets go of org.bluez before the next one takes it
    m_mock = std::make_unique<BluezMock>();
    QString error;
    if (!m_mock->Start(arguments, &error)) {
        qWarning().noquote() << error;
        return false;
    }
    return true;
}

QStringList TestProgramRealStack::MockLines(const QString &pattern, int from) const
{
    return m_mock->Lines().mid(from).filter(QRegularExpression(QLatin1Char('^') + pattern));
}

bool TestProgramRealStack::Connected(EndToEnd &e)
{
    if (!StartMock({QStringLiteral("--meter"), QStringLiteral("127.0.0.1:%1").arg(m_meter.Port()),
                    QStringLiteral("--device"), kWrongCaseName}))
        return false;
    if (!e.Start(false, QString()))
        return false;
    return e.Connect();
}

void TestProgramRealStack::connectEditSendAndDisconnect()
{
    m_meter.SetBlock(StartBlock());
    const qsizetype framesBefore = m_meter.Frames().size();
    const int pingsBefore = m_meter.CommandCount(sim::CodePing);
    const int closesBefore = m_meter.CommandCount(sim::CodeCloseSession);
    EndToEnd e;
    QVERIFY(Connected(e));
    app::TForm4 &f = *e.form;

    // The block read through the stack is on the page.
    QCOMPARE(f.Edit1->text(), QStringLiteral("40213"));
    QCOMPARE(f.Edit4->text(), QStringLiteral("Sawmill Lindqvist, kiln hall 2"));
    QCOMPARE(f.Button1->text(), QStringLiteral("Disconnect"));
    QVERIFY(!app::Form5->isVisible());
    QVERIFY(f.centralWidget()->isEnabled());
    // Notifications were switched on through the stack, once, and never by
    // writing the descriptor (bluetoothd refuses that).
    QCOMPARE(MockLines(QStringLiteral("STARTNOTIFY ") + kMeterName).size(), 1);
    QVERIFY(MockLines(QStringLiteral("CCCD ")).isEmpty());
    QVERIFY(MockLines(QStringLiteral("CONNECT ") + kWrongCaseName).isEmpty());

    // Keep-alive pings go out through the stack and are answered.
    QVERIFY(m_meter.WaitForCommand(sim::CodePing, pingsBefore + 2, 6000));
    QCOMPARE(e.State(), devlink::Connected);

    // Edit the page through its widgets and send it.
    const int writesFrom = int(m_mock->Lines().size());
    Retype(f.Edit4, QStringLiteral("Kiln 9, north"));
    QTest::keyClick(f.ComboBox7, Qt::Key_Up); // service year 2024 -> 2023
    QCOMPARE(f.ComboBox7->currentIndex(), 23);
    const int sent = m_meter.CommandCount(sim::CodeWriteParameters);
    const int reads = m_meter.CommandCount(sim::CodeReadParameters);
    QTest::mouseClick(f.Button2, Qt::LeftButton);
    QVERIFY(m_meter.WaitForCommand(sim::CodeWriteParameters, sent + 1, 8000));
    QVERIFY(m_meter.WaitForCommand(sim::CodeReadParameters, reads + 1, 8000)); // read back
    QVERIFY(e.WaitForState(devlink::Connected, 5000));

    ParameterBlock expected = StartBlock();
    const QByteArray info("Kiln 9, north");
    for (int i = 0; i < ParameterBlock::InfoTextLength; ++i)
        expected[ParameterBlock::InfoText + i] = i < info.size() ? static_cast<std::uint8_t>(info[i]) : 0;
    expected[ParameterBlock::ServiceDate] = 23;
    for (int i = 0; i < 5; ++i)
        expected[ParameterBlock::ReservedCleared + i] = 0;
    expected.setWord(ParameterBlock::RangeFrom, 0);
    expected.setWord(ParameterBlock::RangeTo, 0);
    sim::MeterLogic::SetChecksum(expected);

    const QList<ParameterBlock> written = testsupport::WrittenBlocks(m_meter.Frames().mid(framesBefore));
    QCOMPARE(written.size(), 1);
    QCOMPARE(written[0].bytes, expected.bytes);
    QCOMPARE(m_meter.MeterBlock().bytes, expected.bytes);
    // On the air: chunks of at most 64 bytes, each answered before the next.
    const QStringList writes = MockLines(QStringLiteral("WRITE ") + kMeterName, writesFrom);
    QVERIFY(writes.size() >= 9);
    for (const QString &w : writes)
        QVERIFY2(w.section(QLatin1Char(' '), -1).size() <= 128, qPrintable(w));
    QVERIFY(MockLines(QStringLiteral("OVERLAP")).isEmpty());
    QTRY_COMPARE(f.Edit4->text(), QStringLiteral("Kiln 9, north"));

    // Disconnect: the meter is told, the radio link goes down.
    e.ClickConnect();
    QVERIFY(e.WaitForState(devlink::Idle, 5000));
    QVERIFY(m_meter.WaitForCommand(sim::CodeCloseSession, closesBefore + 1, 3000));
    QTRY_COMPARE(f.Button1->text(), kSearch);
    QCOMPARE(f.Button9->text(), kSearch);
    QVERIFY(!f.Meter->vorelt->Enabled());
    QVERIFY(m_mock->WaitForLines(QStringLiteral("DISCONNECT ") + kMeterName, 1, 3000));
    QVERIFY(e.prompts.messages.isEmpty());
}

void TestProgramRealStack::failedWriteEndsTheSessionAndAnotherWorks()
{
    EndToEnd e;
    QVERIFY(Connected(e));
    // The next write (a keep-alive ping) gets a D-Bus error from the stack.
    QVERIFY(m_mock->Control(QStringLiteral("FAIL-WRITES 1")));
    const QString failedWrite = QStringLiteral("WRITTEN ") + kMeterName + QStringLiteral(" \\S+ 133");
    QTRY_COMPARE_WITH_TIMEOUT(MockLines(failedWrite).size(), 1, 4000);
    // Ended by the error itself, not by waiting in vain for the answer.
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kLost}, 6000);
    QVERIFY2(clock.elapsed() < protocol::CurrentTimings().replyTimeoutMs / 2,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(e.prompts.messages[0].caption, QStringLiteral("Error"));
    QVERIFY(e.WaitForState(devlink::Idle, 3000));
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    QTRY_COMPARE(e.form->Button1->text(), kSearch);
    QVERIFY(m_mock->WaitForLines(QStringLiteral("DISCONNECT ") + kMeterName, 1, 3000));
    QCOMPARE(MockLines(failedWrite).size(), 1);

    // Nothing of the lost connection is in the way of the next one.
    const int from = int(m_mock->Lines().size());
    QVERIFY(e.Connect());
    QCOMPARE(e.form->Edit1->text(), QString::number(m_meter.MeterBlock().word(ParameterBlock::SerialNumber)));
    QVERIFY(m_meter.WaitForCommand(sim::CodePing, m_meter.CommandCount(sim::CodePing) + 1, 4000));
    QCOMPARE(MockLines(QStringLiteral("STARTNOTIFY ") + kMeterName, from).size(), 1);
    QCOMPARE(e.prompts.messages.size(), 1);
}

void TestProgramRealStack::lookalikesAreIgnoredUntilCancelled()
{
    // Only a device whose name differs in case, and one of another kind.
    QVERIFY(StartMock(
        {QStringLiteral("--device"), kWrongCaseName, QStringLiteral("--plain-device"), kPlainName}));
    EndToEnd e;
    QVERIFY(e.Start(false, QString()));
    QStringList seen;
    bool searching = false;
    int stage = -1;
    QStringList linesAtCancel;
    // Installed at the sequence's first look at its events, before the scan
    // reports anything.
    QTimer::singleShot(0, e.form, [&] {
        const auto handler = e.form->Meter->vorelt->OnDiscoverLEDevice;
        e.form->Meter->vorelt->OnDiscoverLEDevice = [&seen, handler](devlink::TBluetoothLE *sender,
                                                              devlink::TBluetoothLEDevice *device, int rssi,
                                                              const QByteArray &response) {
            seen << device->DeviceName();
            handler(sender, device, rssi, response);
        };
    });
    e.ClickConnect(2000, [&] {
        searching = app::Form5->isVisible();
        stage = e.form->Meter->LinkStage;
        linesAtCancel = m_mock->Lines();
        QTest::mouseClick(app::Form5->Button4, Qt::LeftButton);
    });
    QVERIFY(seen.contains(kWrongCaseName));
    QVERIFY(seen.contains(kPlainName));
    QVERIFY(searching);
    QCOMPARE(stage, 1); // still looking for the meter
    QVERIFY(!linesAtCancel.contains(QStringLiteral("SCAN 0")));
    QVERIFY(linesAtCancel.filter(QRegularExpression(QStringLiteral("^CONNECT "))).isEmpty());

    QVERIFY(e.WaitForState(devlink::Idle, 3000));
    QTRY_VERIFY(!app::Form5->isVisible());
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    QVERIFY(e.form->centralWidget()->isEnabled());
    QCOMPARE(e.form->Button1->text(), kSearch);
    // The scan was stopped on the adapter, not left running.
    QVERIFY(m_mock->WaitForLines(QStringLiteral("SCAN 0"), 1, 3000));
    QTest::qWait(300);
    QVERIFY(e.prompts.messages.isEmpty());
}

void TestProgramRealStack::noAdapterIsReportedOnce()
{
    QVERIFY(StartMock({QStringLiteral("--no-adapter"), QStringLiteral("--device"), kMeterName}));
    EndToEnd e;
    QVERIFY(e.Start(false, QString()));
    ShowCounter searchDialog(app::Form5);
    e.ClickConnect();
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kNoModule}, 5000);
    QTest::qWait(500);
    QCOMPARE(e.prompts.messages.size(), 1);
    QCOMPARE(e.prompts.messages[0].caption, QStringLiteral("Error"));
    QCOMPARE(searchDialog.shown, 0);
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    QCOMPARE(e.State(), devlink::Idle);
    QVERIFY(e.form->centralWidget()->isEnabled());
    QVERIFY(MockLines(QStringLiteral("SCAN 1")).isEmpty());
}

// Two meters behind the stack: "Choose meter" lists both addresses, and the
// link-up right after it takes the one chosen, the weaker of the two.
void TestProgramRealStack::chooseMeterListsBothThenConnectsTheChosen()
{
    const sim::Advertisement usual = m_meter.GetAdvertisement();
    sim::Advertisement weaker = usual;
    weaker.rssi = -71;
    m_meter.SetAdvertisement(weaker); // the mock reads it once, when it starts
    const bool started = StartMock({QStringLiteral("--meter"), QStringLiteral("127.0.0.1:%1").arg(m_meter.Port()),
                                    QStringLiteral("--device"), kMeterName});
    m_meter.SetAdvertisement(usual);
    QVERIFY(started);
    m_meter.SetBlock(StartBlock());
    EndToEnd e;
    QVERIFY(e.Start(false, QString()));
    QStringList listed;
    e.prompts.modal = [&](QDialog *d) {
        auto *dialog = static_cast<app::ChooseMeterDialog *>(d);
        if (!QTest::qWaitFor([&] { return dialog->Meters->topLevelItemCount() == 3; }, 10000))
            return -1;
        for (int i = 0; i < dialog->Meters->topLevelItemCount(); ++i)
            listed << dialog->Meters->topLevelItem(i)->text(0) + QLatin1Char(' ') +
                          dialog->Meters->topLevelItem(i)->text(1);
        dialog->Meters->setCurrentItem(dialog->Meters->topLevelItem(2));
        QTest::mouseClick(dialog->OkButton, Qt::LeftButton);
        return dialog->result();
    };
    e.form->ChooseMeter();
    QCOMPARE(listed, (QStringList{app::ChooseMeterDialog::AnyMeter + QLatin1Char(' '),
                                  QStringLiteral("00:1B:7A:00:00:02 -52 dBm"),
                                  QStringLiteral("00:1B:7A:00:00:01 -71 dBm")}));
    QVERIFY(MockLines(QStringLiteral("CONNECT ")).isEmpty());
    QCOMPARE(e.form->Meter->Address, QStringLiteral("00:1B:7A:00:00:01"));
    QVERIFY(e.Connect());
    QCOMPARE(e.form->Edit1->text(), QStringLiteral("40213"));
    QCOMPARE(MockLines(QStringLiteral("CONNECT ")).size(), 1);
    QVERIFY(e.prompts.messages.isEmpty());
}

QTEST_MAIN(TestProgramRealStack)
#include "tst_program_realstack.moc"
