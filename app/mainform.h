#pragma once
// The main window: its frame (header, pages, status display), start-up and
// close, "Search and connect" and the link's event handlers. The two pages
// are classes of their own in views/ that the window derives from, so every
// handler of the pages is one of the window's members while the pages know
// nothing of the frame:
//   app/mainform.cpp      frame, header, status display, page guard, close
//   app/formcreate.cpp    start-up: configuration, grids, lists, worker
//   app/linkhandlers.cpp  "Search and connect" and the link's event handlers,
//                         forwarded to the link object (link/meterlink.*)
//   app/windowview.*      what the worker's steps change in the windows
//   views/devicedata.h    the Device data page (views::DeviceDataPage)
//   views/measurement.h   the Measurement page (views::MeasurementPage)

#include "link/bluetoothle.h"
#include "protocol/trace.h"
#include "views/devicedata.h"
#include "views/measurement.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QLabel;
class QMenu;
class QWidget;

namespace devlink {
class MeterLink;
}
namespace views {
class TPageControl;
}

namespace app {

class WindowView;

class TForm4 : public QMainWindow, public views::DeviceDataPage, public views::MeasurementPage {
    Q_OBJECT
public:
    // Builds the controls; FormCreate (start-up) runs separately so a failed
    // start can end the process before any window is shown.
    // Takes the Bluetooth LE component; the window's link object owns it.
    explicit TForm4(std::unique_ptr<devlink::TBluetoothLE> component);
    ~TForm4() override;

    // Start-up; false when the program must end with exit code 1 (the reason
    // has been shown).
    bool FormCreate(const QString &configPath);
    void FormClose();
    // Start-up steps that fill the Device data page's grid captions, lists
    // and Edit1; public so page tests can prepare a window without a worker.
    void FillDeviceDataLists();
    // "Disable the main window" while a dialog of the worker is up: every
    // control of the window, the window itself stays a window.
    void SetMainWindowEnabled(bool enabled);

    // ---- frame and status display -------------------------------------------
    void ShowConnected();
    void ShowDisconnected();
    void SetLamps(const QColor &color);
    void Label11Click();
    void Label12Click();
    void Button4Click();
    bool PageControl1Changing() const { return PageChangeAllowed; }

    // ---- status area's context menu (app/supportmenu.cpp) -------------------
    void SaveProtocolTrace();
    void AboutTarvolin();
    // "Choose meter...": the dialog, then the choice pinned (app/choosemeter.*).
    void ChooseMeter();
    // Only while no session is connected or searching: the meter does not
    // change in the middle of one.
    bool MeterChoiceAllowed() const;
    // "Search and connect" takes only the meter at `address` from now on
    // (as TARVOLIN_ADDRESS does); empty: the first meter found.
    void PinMeter(const QString &address);
    // The status area's tooltip names the meter pinned to.
    void ShowPinnedMeter();
    // What the trace's header and the About box say about this run.
    protocol::TraceOrigin TraceOrigin() const;

    // ---- link (app/linkhandlers.cpp) ----------------------------------------
    void Button1Click();
    void voreltDiscoverLEDevice(devlink::TBluetoothLE *sender, devlink::TBluetoothLEDevice *device,
                                int rssi, const QByteArray &scanResponse);
    void voreltEndDiscoverServices(devlink::TBluetoothLE *sender,
                                   const QList<devlink::TBluetoothGattService *> &services);
    void voreltCharacteristicRead(devlink::TBluetoothLE *sender,
                                  devlink::TBluetoothGattCharacteristic *characteristic,
                                  const QByteArray &value, int gattStatus);
    void voreltCharacteristicWrite(devlink::TBluetoothLE *sender,
                                   devlink::TBluetoothGattCharacteristic *characteristic,
                                   int gattStatus);

    // ---- state --------------------------------------------------------------
    // What the worker's steps change; created before the link and the worker.
    const std::unique_ptr<WindowView> View;
    // The link to the meter, with the component `vorelt` and the link-up.
    const std::unique_ptr<devlink::MeterLink> Meter;
    bool PageChangeAllowed = true;
    QString ConfigPath; // the configuration file start-up read
    // A Bluetooth LE component of the kind in use, for a scan of its own
    // ("Choose meter"); null where none can be made.
    std::function<std::unique_ptr<devlink::TBluetoothLE>()> NewLinkComponent;

    // ---- controls of the frame (objectName = component name) ----------------
    QWidget *Panel1 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *Label12 = nullptr;
    views::TPageControl *PageControl1 = nullptr;
    QMenu *StatusMenu = nullptr; // "Save protocol trace...", "About Tarvolin...", "Choose meter..."
    QAction *ChooseMeterAction = nullptr;
    QWidget *TabSheet1 = nullptr; // "Measurement"
    QWidget *TabSheet2 = nullptr; // "Device data"

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void BuildHeader();
    void BuildStatusMenu();
    void ConnectFrameHandlers();
    void AssignLinkHandlers();
    bool m_closed = false;
};

// The five windows, created at start in this order.
class TForm5;
class TForm7;
class TForm8;
extern TForm4 *Form4;
extern TForm5 *Form5;
extern TForm7 *Form7;
extern TForm8 *Form8;

} // namespace app
