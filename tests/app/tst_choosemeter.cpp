// "Choose meter..." with three meters in reach on one virtual link: the list,
// the pinned link-up, what the window says of the choice, and the way back
// to the first meter found.
#include "tests/support/e2e.h"

#include "app/choosemeter.h"
#include "sim/meterlogic.h"
#include "views/widgets.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTreeWidget>

using testsupport::EndToEnd;
using testsupport::OpenStatusMenu;
using testsupport::PickFromStatusMenu;

namespace {

const QString kChoose = QStringLiteral("Choose meter...");

QStringList Rows(const app::ChooseMeterDialog *dialog)
{
    QStringList rows;
    for (int i = 0; i < dialog->Meters->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = dialog->Meters->topLevelItem(i);
        rows << item->text(0) + QLatin1Char('|') + item->text(1);
    }
    return rows;
}

} // namespace

class ChooseMeterTest : public QObject {
    Q_OBJECT
private slots:
    void threeMetersListedOneChosenThenAnyAgain();
};

void ChooseMeterTest::threeMetersListedOneChosenThenAnyAgain()
{
    EndToEnd e;
    sim::SimMeterThread second;
    sim::SimMeterThread third;
    sim::SimMeterThread *meters[3] = {&e.meter, &second, &third};
    const int signal[3] = {-70, -45, -60};
    QStringList address;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(meters[i]->Start());
        meters[i]->SetAdvertisement(sim::Advertisement(QStringLiteral("Vorelt-ZEVQ25k"),
                                                       sim::Advertisement::SerialService, signal[i]));
        protocol::ParameterBlock block = sim::MeterLogic::DefaultBlock();
        block.setWord(protocol::ParameterBlock::SerialNumber, 1001 + i);
        sim::MeterLogic::SetChecksum(block);
        meters[i]->SetBlock(block);
        address << QStringLiteral("127.0.0.1:%1").arg(meters[i]->Port());
    }
    QVERIFY(e.Start(false, QStringLiteral("vlink:") + address.join(QLatin1Char(','))));
    QCOMPARE(e.form->Label13->toolTip(), QStringLiteral("Any meter is taken (the first one found)"));

    // The list, strongest first under "Any meter", while the scan runs;
    // then the second meter of the list.
    QStringList listed;
    bool scanningShown = false;
    bool anySelected = false;
    e.prompts.modal = [&](QDialog *d) {
        auto *dialog = qobject_cast<app::ChooseMeterDialog *>(d);
        if (!dialog)
            return -1;
        if (!QTest::qWaitFor([&] { return dialog->Meters->topLevelItemCount() == 4; }, 5000))
            return -1;
        scanningShown = !dialog->Scanning->isHidden() && !dialog->ScanAgain->isEnabled();
        listed = Rows(dialog);
        anySelected = dialog->Meters->currentItem() == dialog->Meters->topLevelItem(0);
        dialog->Meters->setCurrentItem(dialog->Meters->topLevelItem(2));
        QTest::mouseClick(dialog->OkButton, Qt::LeftButton);
        return dialog->result();
    };
    PickFromStatusMenu(e.form, e.form->Label13, kChoose);
    QCOMPARE(listed, (QStringList{app::ChooseMeterDialog::AnyMeter + QLatin1Char('|'),
                                  address[1] + QStringLiteral("|-45 dBm"), address[2] + QStringLiteral("|-60 dBm"),
                                  address[0] + QStringLiteral("|-70 dBm")}));
    QVERIFY(scanningShown);
    QVERIFY(anySelected);
    // The dialog only scanned.
    for (sim::SimMeterThread *meter : meters)
        QVERIFY(!meter->ReceivedLines().contains("CONNECT"));
    const QString pinned = QStringLiteral("Pinned to meter ") + address[2];
    for (QWidget *status : std::initializer_list<QWidget *>{e.form->Shape1, e.form->Shape2, e.form->Label13,
                                                            e.form->Label14})
        QCOMPARE(status->toolTip(), pinned);

    // At once "Search and connect": the chosen meter alone.
    QVERIFY(e.Connect());
    QCOMPARE(e.form->Edit1->text(), QStringLiteral("1003"));
    QVERIFY(third.ReceivedLines().contains("CONNECT"));
    QVERIFY(!e.meter.ReceivedLines().contains("CONNECT"));
    QVERIFY(!second.ReceivedLines().contains("CONNECT"));

    // Connected: the entry is there and disabled.
    QMenu *menu = OpenStatusMenu(e.form, e.form->Shape1);
    QVERIFY(menu);
    QCOMPARE(menu->actions().last()->text(), kChoose);
    QVERIFY(!e.form->ChooseMeterAction->isEnabled());
    menu->close();

    // About and the saved trace name the meter.
    PickFromStatusMenu(e.form, e.form->Shape1, QStringLiteral("About Tarvolin..."));
    QVERIFY(e.prompts.texts().value(0).contains(QStringLiteral("\n") + pinned + QStringLiteral("\n")));
    QVERIFY(protocol::Trace::Recorded().contains(QStringLiteral("\n# meter: pinned to %1\n").arg(address[2]).toUtf8()));
    e.ClickConnect(); // "Disconnect"
    QVERIFY(e.WaitForState(devlink::Idle, 5000));
    QTRY_VERIFY(views::Tag(e.form->Button1) == 0);

    // "Any meter" (the pinned meter is the row selected): the first meter
    // the scan reports is taken again.
    bool pinnedSelected = false;
    e.prompts.modal = [&](QDialog *d) {
        auto *dialog = static_cast<app::ChooseMeterDialog *>(d);
        pinnedSelected = dialog->Choice() == address[2];
        dialog->Meters->setCurrentItem(dialog->Meters->topLevelItem(0));
        QTest::mouseClick(dialog->OkButton, Qt::LeftButton);
        return dialog->result();
    };
    PickFromStatusMenu(e.form, e.form->Label13, kChoose);
    QVERIFY(pinnedSelected);
    QVERIFY(e.form->Meter->Address.isEmpty());
    QCOMPARE(e.form->Label13->toolTip(), QStringLiteral("Any meter is taken (the first one found)"));
    QString firstSeen;
    QTimer::singleShot(0, e.form, [&] {
        const auto handler = e.form->Meter->vorelt->OnDiscoverLEDevice;
        e.form->Meter->vorelt->OnDiscoverLEDevice = [&firstSeen, handler](devlink::TBluetoothLE *sender,
                                                                         devlink::TBluetoothLEDevice *device,
                                                                         int rssi, const QByteArray &response) {
            if (firstSeen.isEmpty())
                firstSeen = device->Address();
            handler(sender, device, rssi, response);
        };
    });
    QVERIFY(e.Connect());
    const int taken = int(address.indexOf(firstSeen));
    QVERIFY2(taken >= 0, qPrintable(firstSeen));
    QCOMPARE(e.form->Edit1->text(), QString::number(1001 + taken));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(meters[i]->SessionCount(), i == taken ? 1 : 0);
}

QTEST_MAIN(ChooseMeterTest)
#include "tst_choosemeter.moc"
