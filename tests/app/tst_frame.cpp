// The main window's frame: connected and disconnected displays, the page
// guard, the header links.
#include "app/mainform.h"
#include "views/widgets.h"
#include "tests/support/scriptedprompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTableWidget>
#include <QtTest>

namespace {

// A component that is never switched on: the frame needs one to exist.
class IdleComponent final : public devlink::TBluetoothLE {
public:
    bool DiscoverDevices(int, QString *) override { return false; }
    void CancelDiscovery() override {}
    void DiscoverServices(devlink::TBluetoothLEDevice *) override {}
    void GetCharacteristics(devlink::TBluetoothGattService *) override {}
    bool SubscribeToCharacteristic(devlink::TBluetoothLEDevice *, devlink::TBluetoothGattCharacteristic *) override
    {
        return false;
    }
    bool WriteCharacteristic(devlink::TBluetoothLEDevice *, devlink::TBluetoothGattCharacteristic *) override
    {
        return false;
    }

protected:
    void OpenSession() override {}
    void CloseSession() override {}
};

} // namespace

class FrameTest : public QObject {
    Q_OBJECT
private slots:
    void displaysEnableTheRightControls();
    void readButtonFollowsItsTag();
    void pageGuardRefusesUserOnly();
    void headerLinksOpenAddresses();
};

void FrameTest::displaysEnableTheRightControls()
{
    app::TForm4 form(std::make_unique<IdleComponent>());
    form.ShowDisconnected();
    const QList<QWidget *> gated = {form.Edit1, form.CheckBox1, form.Edit3, form.ComboBox1, form.ComboBox9,
                                    form.Edit4, form.ComboBox10, form.Button5, form.Button7, form.Button8,
                                    form.StringGrid1, form.Button2, form.Button3, form.Button6};
    for (QWidget *w : gated)
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    QCOMPARE(form.Label13->text(), QString());
    QCOMPARE(views::Tag(form.Button1), 0);
    QCOMPARE(form.Shape1->brushColor(), form.Shape2->brushColor());
    QCOMPARE(form.Shape1->brushColor(), form.palette().color(QPalette::Disabled, QPalette::WindowText));

    form.SetLamps(QColor(0, 255, 0));
    form.ShowConnected();
    for (QWidget *w : gated)
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    // Never touched by either display.
    QVERIFY(!form.Edit2->isEnabled());
    QVERIFY(form.Button10->isEnabled());
    QVERIFY(form.Button4->isEnabled() && form.Button12->isEnabled());
    QCOMPARE(form.Shape1->brushColor(), QColor(0, 255, 0)); // lamps unchanged
    QCOMPARE(form.Button9->text(), QString("Disconnect"));
    QCOMPARE(views::Tag(form.Button1), 1);
}

void FrameTest::readButtonFollowsItsTag()
{
    app::TForm4 form(std::make_unique<IdleComponent>());
    form.ShowDisconnected();
    views::SetTag(form.Button11, 0);
    form.ShowConnected();
    QVERIFY(!form.Button11->isEnabled());
    form.ShowDisconnected();
    views::SetTag(form.Button11, 1);
    form.ShowConnected();
    QVERIFY(form.Button11->isEnabled());
    form.ShowDisconnected();
    QVERIFY(!form.Button11->isEnabled());
}

void FrameTest::pageGuardRefusesUserOnly()
{
    app::TForm4 form(std::make_unique<IdleComponent>());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTabBar *tabs = form.PageControl1->tabBar();
    form.PageControl1->setCurrentIndex(0);
    form.ShowConnected(); // connected while the Measurement page shows
    QVERIFY(!form.PageChangeAllowed);
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
    QCOMPARE(form.PageControl1->currentIndex(), 0);
    QTest::keyClick(form.PageControl1, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(form.PageControl1->currentIndex(), 0);
    form.PageControl1->setCurrentIndex(1); // the program itself may
    QCOMPARE(form.PageControl1->currentIndex(), 1);
    form.ShowDisconnected();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(0).center());
    QCOMPARE(form.PageControl1->currentIndex(), 0);
}

void FrameTest::headerLinksOpenAddresses()
{
    testsupport::ScriptedPrompts prompts;
    app::TForm4 form(std::make_unique<IdleComponent>());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.Label11, Qt::LeftButton);
    QTest::mouseClick(form.Label12, Qt::LeftButton);
    QCOMPARE(prompts.opened.size(), 2);
    QCOMPARE(prompts.opened[0].host(), form.Label11->text());
    QCOMPARE(prompts.opened[1].toString(), "mailto:" + form.Label12->text());
}

QTEST_MAIN(FrameTest)
#include "tst_frame.moc"
