// The session end to end: the program's window and worker, the virtual link,
// and the simulated meter.
#include "tests/support/e2e.h"

#include "views/widgets.h"
#include "protocol/meterchannel.h"
#include "sim/meterlogic.h"

#include <algorithm>

#include <QLabel>
#include <QLineEdit>

using devlink::SessionState;
using testsupport::EndToEnd;

namespace {
const QString kLost = QStringLiteral("Connection lost or unrecoverable transmission error.");
const QString kFailure = QStringLiteral("Connection failure, try again");
const QString kStatus = QStringLiteral("Till disconnect, do not push any key on the device");
} // namespace

class SessionTest : public QObject {
    Q_OBJECT
private slots:
    void connectReadsBlockAndShowsConnectedDisplay();
    void keepAlivePingsEvery2000ms();
    void unansweredPingEndsSession();
    void disconnectClosesSession();
    void cancelDuringDiscoveryShowsNothing();
    void meterWithoutSerialServiceFails();
    void serviceWithoutCharacteristicFails();
    void refusedConnectGivesUp();
    void refusedNotificationsThenGiveUpSaysItOnce();
    void windowClosedWhileConnectedTellsMeter();
    void windowClosedDuringLinkUp();
    void windowClosedDuringTransfer();
    void errorInsideStepEndsSessionOnly();
    void corruptBlockEndsSession();
    void revertRestoresFirstBlock();
    void addressPinsTheWindowToOneMeter();
};

void SessionTest::connectReadsBlockAndShowsConnectedDisplay()
{
    EndToEnd e;
    QVERIFY(e.Start());
    protocol::ParameterBlock block = sim::MeterLogic::DefaultBlock();
    block.setWord(protocol::ParameterBlock::SerialNumber, 4711);
    sim::MeterLogic::SetChecksum(block);
    e.meter.SetBlock(block);

    QVERIFY(e.Connect());
    QCOMPARE(e.form->Edit1->text(), QString("4711"));
    QCOMPARE(e.form->Button1->text(), QString("Disconnect"));
    QCOMPARE(e.form->Button9->text(), QString("Disconnect"));
    QCOMPARE(e.form->Label13->text(), kStatus);
    QCOMPARE(e.form->Label14->text(), kStatus);
    QCOMPARE(views::Tag(e.form->Button1), 1);
    QVERIFY(e.form->Edit1->isEnabled());
    QVERIFY(!e.form->Edit2->isEnabled());
    QVERIFY(e.form->centralWidget()->isEnabled());
    QVERIFY(!app::Form5->isVisible());
    QVERIFY(!app::Form8->isVisible());
    // The read sent 84 (unanswered) before 19; the lamps stay green.
    const QList<QByteArray> frames = e.meter.Frames();
    QVERIFY(frames.size() >= 2);
    QCOMPARE(frames[0], QByteArray(1, char(84)));
    QCOMPARE(frames[1], QByteArray(1, char(19)));
    QCOMPARE(e.form->Shape1->brushColor(), QColor(0, 255, 0));
    QVERIFY(e.prompts.messages.isEmpty());
}

void SessionTest::keepAlivePingsEvery2000ms()
{
    EndToEnd e;
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(e.meter.WaitForCommand(sim::CodePing, 3, 9000));
    // Three intervals of 2000 ms without a request, plus the pings' own time.
    QVERIFY2(clock.elapsed() >= 5500 && clock.elapsed() < 7500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(e.State(), devlink::Connected);
    QVERIFY(e.prompts.messages.isEmpty());
}

void SessionTest::unansweredPingEndsSession()
{
    EndToEnd e;
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    e.meter.ChangeFaults([](sim::MeterFaults &f) { f.pingsToAnswer = 0; });
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kLost}, 8000);
    QCOMPARE(e.State(), devlink::Idle);
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    QCOMPARE(e.form->Button1->text(), QString("Search and connect"));
    QCOMPARE(e.form->Label13->text(), QString());
    QCOMPARE(e.prompts.messages[0].caption, QString("Error"));
}

void SessionTest::disconnectClosesSession()
{
    EndToEnd e;
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    e.ClickConnect(); // the button now reads "Disconnect"
    QVERIFY(e.WaitForState(devlink::Idle, 5000));
    QVERIFY(e.meter.WaitForCommand(sim::CodeCloseSession, 1, 2000));
    QTRY_COMPARE(e.form->Button1->text(), QString("Search and connect"));
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    QTRY_COMPARE(e.meter.ConnectionCount(), 0);
    QVERIFY(e.prompts.messages.isEmpty());
    // And a second connection works as the first.
    QVERIFY(e.Connect());
}

void SessionTest::cancelDuringDiscoveryShowsNothing()
{
    EndToEnd e;
    // Nothing listens there: the scan finds no meter and the sequence waits.
    QVERIFY(e.Start(false, "vlink:127.0.0.1:1"));
    const int served = devlink::Worker->RequestsServed();
    bool dialogShown = false;
    e.ClickConnect(300, [&] {
        dialogShown = app::Form5->isVisible();
        QTest::mouseClick(app::Form5->Button4, Qt::LeftButton);
    });
    QVERIFY(dialogShown);
    QVERIFY(e.WaitForState(devlink::Idle, 3000));
    QTRY_VERIFY(!app::Form5->isVisible());
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    // Whatever the worker tells of the search, it tells before its pass ends.
    QTRY_VERIFY(devlink::Worker->RequestsServed() > served);
    QVERIFY(e.prompts.messages.isEmpty());
    QVERIFY(e.form->centralWidget()->isEnabled());
}

void SessionTest::meterWithoutSerialServiceFails()
{
    EndToEnd e;
    e.realTimings = true; // the 22 polls of 100 ms are what is checked
    QVERIFY(e.Start());
    sim::Advertisement ad;
    ad.services = sim::Advertisement::NoSerialService;
    e.meter.SetAdvertisement(ad);
    QElapsedTimer clock;
    clock.start();
    e.ClickConnect();
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kFailure}, 6000);
    QVERIFY(clock.elapsed() >= 2000);
    QCOMPARE(e.State(), devlink::Idle);
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    QVERIFY(!app::Form5->isVisible());
}

void SessionTest::serviceWithoutCharacteristicFails()
{
    EndToEnd e;
    QVERIFY(e.Start());
    sim::Advertisement ad;
    ad.services = sim::Advertisement::ServiceWithoutCharacteristic;
    e.meter.SetAdvertisement(ad);
    e.ClickConnect();
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kFailure}, 6000);
    QCOMPARE(e.meter.SessionCount(), 0); // never got as far as connecting
}

void SessionTest::refusedConnectGivesUp()
{
    EndToEnd e;
    QVERIFY(e.Start());
    e.meter.ChangeFaults([](sim::MeterFaults &f) { f.refuseConnect = true; });
    e.ClickConnect();
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kFailure}, 15000);
    QCOMPARE(e.State(), devlink::Idle);
}

void SessionTest::refusedNotificationsThenGiveUpSaysItOnce()
{
    // The window starts the link-up over while notifications are refused; a
    // later give-up is one failure, not one per round.
    EndToEnd e;
    QVERIFY(e.Start());
    e.meter.ChangeFaults([](sim::MeterFaults &f) { f.subscribeStatus = 133; });
    // The click runs the link-up, round after round, inside its handler.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QList<QByteArray> lines = e.meter.ReceivedLines();
        if (std::count_if(lines.cbegin(), lines.cend(), [](const QByteArray &l) { return l.startsWith("SUBSCRIBE "); }) < 2)
            return;
        e.meter.ChangeFaults([](sim::MeterFaults &f) { f.refuseConnect = true; });
        watch.stop();
    });
    watch.start(20);
    e.ClickConnect();
    QVERIFY(!watch.isActive());
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kFailure}, 15000);
    QCOMPARE(e.State(), devlink::Idle);
    // A second search would follow at once; give it the time to show.
    QTest::qWait(300);
    QCOMPARE(e.prompts.texts(), QStringList{kFailure});
    QCOMPARE(e.State(), devlink::Idle);
}

void SessionTest::windowClosedWhileConnectedTellsMeter()
{
    EndToEnd e;
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    QTimer::singleShot(0, e.form, [&] { e.form->close(); });
    QCOMPARE(qApp->exec(), 0);
    QVERIFY(devlink::Worker == nullptr);
    QVERIFY(e.meter.WaitForCommand(sim::CodeCloseSession, 1, 2000));
    QTRY_COMPARE(e.meter.ConnectionCount(), 0);
    QVERIFY(e.prompts.messages.isEmpty());
}

void SessionTest::windowClosedDuringLinkUp()
{
    EndToEnd e;
    QVERIFY(e.Start(false, "vlink:127.0.0.1:1"));
    e.ClickConnect(800, [&] { e.form->close(); });
    QVERIFY(devlink::Worker == nullptr);
    QVERIFY(!e.form->Meter->vorelt->Enabled());
    QVERIFY(e.prompts.messages.isEmpty());
}

void SessionTest::windowClosedDuringTransfer()
{
    EndToEnd e;
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    e.meter.ChangeFaults([](sim::MeterFaults &f) {
        f.replyDelayMs = 1500;
        f.delayCommand = sim::CodeWriteParameters;
    });
    QTest::mouseClick(e.form->Button2, Qt::LeftButton);
    // Close while the worker is inside the write, handing steps over.
    QTimer::singleShot(600, e.form, [&] { e.form->close(); });
    QCOMPARE(qApp->exec(), 0);
    QVERIFY(devlink::Worker == nullptr);
    QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 1);
    QVERIFY(e.meter.WaitForCommand(sim::CodeCloseSession, 1, 3000));
}

void SessionTest::errorInsideStepEndsSessionOnly()
{
    EndToEnd e;
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    // A page that cannot be copied into the block (the button's own checks
    // are bypassed): the step's error must end the session, not the worker.
    e.form->Edit1->setText("12a");
    devlink::Worker->RequestTransfer();
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kLost}, 5000);
    QCOMPARE(e.State(), devlink::Idle);
    QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 0);
    QVERIFY(devlink::Worker->isRunning());
    e.form->Edit1->setText("1");
    QVERIFY(e.Connect());
}

void SessionTest::corruptBlockEndsSession()
{
    EndToEnd e;
    QVERIFY(e.Start());
    // One wrong hex digit in the block: its checksum no longer holds.
    e.meter.ChangeFaults([](sim::MeterFaults &f) {
        sim::ReplyFault fault;
        fault.command = sim::CodeReadParameters;
        fault.offset = 3;
        fault.value = 'F';
        fault.times = 1;
        f.replyFaults.append(fault);
    });
    const QString serialBefore = e.form->Edit1->text();
    e.ClickConnect();
    QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kLost}, 8000);
    QCOMPARE(e.form->Edit1->text(), serialBefore);
    QCOMPARE(e.State(), devlink::Idle);
}

void SessionTest::revertRestoresFirstBlock()
{
    EndToEnd e;
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    const QString original = e.form->Edit4->text();
    e.form->Edit4->setText("changed on the page");
    e.prompts.answers.enqueue(true);
    QTest::mouseClick(e.form->Button6, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(e.form->Edit4->text(), original, 3000);
    QCOMPARE(e.prompts.messages.size(), 1);
    QCOMPARE(e.prompts.messages[0].text, QString("Restore to the first parameters set?"));
    QVERIFY(e.meter.WaitForCommand(sim::CodePing, 1, 3000));
    QCOMPARE(e.State(), devlink::Connected);
    QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 0);
}

// TARVOLIN_ADDRESS: of two meters the scan meets, the window connects the
// one at that address, though the other comes first in the list.
void SessionTest::addressPinsTheWindowToOneMeter()
{
    EndToEnd e;
    sim::SimMeterThread other;
    QVERIFY(e.meter.Start());
    QVERIFY(other.Start());
    const QString wanted = QStringLiteral("127.0.0.1:%1").arg(other.Port());
    qputenv("TARVOLIN_ADDRESS", wanted.toUtf8());
    const bool started = e.Start(false, QStringLiteral("vlink:127.0.0.1:%1,%2").arg(e.meter.Port()).arg(wanted));
    qunsetenv("TARVOLIN_ADDRESS");
    QVERIFY(started);
    QVERIFY(e.Connect());
    QVERIFY(other.ReceivedLines().contains("CONNECT"));
    QVERIFY(!e.meter.ReceivedLines().contains("CONNECT"));
}

QTEST_MAIN(SessionTest)
#include "tst_session.moc"
