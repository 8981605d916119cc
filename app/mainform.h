#pragma once
// The main window. One class owns every handler; its members are defined in
// the folder of the subsystem they belong to:
//   app/mainform.cpp      frame, header, status display, page guard, close
//   app/formcreate.cpp    start-up: configuration, grids, lists, worker
//   app/linkhandlers.cpp  "Search and connect" and the link's event handlers,
//                         forwarded to the link object (link/meterlink.*)
//   app/windowview.*      what the worker's steps change in the windows
//   views/devicedata*.cpp the Device data page, its block copies, templates

#include "link/bluetoothle.h"
#include "data/titem.h"
#include "protocol/parameterblock.h"

#include <QMainWindow>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPainter;
class QPushButton;
class QTableView;
class QTableWidget;
class QWidget;

namespace devlink {
class MeterLink;
}
namespace data {
class MeasTable;
}

namespace app {

class Lamp;
class TPageControl;
class WindowView;

class TForm4 : public QMainWindow {
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

    // ---- Device data page (views/) ------------------------------------------
    void BuildDeviceDataPage(QWidget *page);
    void ShowParameterBlock(protocol::ParameterBlock &block);
    void CollectParameterBlock(protocol::ParameterBlock &block);
    void FillDayList(QComboBox *year, QComboBox *month, QComboBox *day);
    void Button2Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();
    void Button8Click();
    bool ValidateRangeMapping();
    // Handlers of the page's own controls; public so the page can be driven
    // without a screen.
    void Edit1KeyPress(QObject *sender, QChar &key); // a null key is discarded
    void Edit1Exit(QObject *sender);
    void ComboBox4Change(QObject *sender);
    void ComboBox10Click();
    void StringGrid1DrawCell(QPainter &canvas, int column, int row, const QRect &rect);
    void StringGrid1KeyPress(QObject *sender, QChar &key); // a null key is discarded
    void StringGrid1Click();
    void ShowDate(QComboBox *year, QComboBox *month, QComboBox *day, std::uint8_t *date);
    void CollectDate(QComboBox *year, QComboBox *month, QComboBox *day,
                     std::uint8_t *date) const;
    // Corrects Edit1 and Edit3 as leaving them would, then raises the error
    // CollectParameterBlock would raise, so that a request is never posted
    // with a page the worker cannot copy. For every button that makes the
    // worker collect the page.
    void CheckPageCollectable();
    // ---- end of Device data page (views/) -----------------------------------

    // ---- Measurement page (views/measurement.cpp) ---------------------------
    void MergeRecords(const QList<QStringList> &batch);
    void measSelectCell(int column, int row, bool &canSelect);
    void Button10Click(); // "Save"
    void Button11Click(); // "Read"
    // ---- firmware (views/firmware.cpp) --------------------------------------
    void Button3Click(); // "Send data"

    // ---- state --------------------------------------------------------------
    // What the worker's steps change; created before the link and the worker.
    const std::unique_ptr<WindowView> View;
    // The link to the meter, with the component `vorelt` and the link-up.
    const std::unique_ptr<devlink::MeterLink> Meter;
    bool PageChangeAllowed = true;
    qint32 RangeFrom = 0;
    qint32 RangeTo = 0;
    data::TItemList ItemList;
    qint32 RecordSize = 0;

    // ---- controls (objectName = component name) -----------------------------
    QWidget *Panel1 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *Label12 = nullptr;
    TPageControl *PageControl1 = nullptr;
    QWidget *TabSheet1 = nullptr; // "Measurement"
    QWidget *TabSheet2 = nullptr; // "Device data"
    // Measurement page
    QWidget *Panel3 = nullptr;
    QTableView *meas = nullptr;          // a view over Measurements
    data::MeasTable *Measurements = nullptr;
    QTableWidget *current = nullptr;
    QPushButton *Button9 = nullptr;
    QPushButton *Button10 = nullptr;
    QPushButton *Button12 = nullptr;
    Lamp *Shape2 = nullptr;
    QLabel *Label14 = nullptr;
    // Device data page
    QLineEdit *Edit1 = nullptr;
    QLineEdit *Edit2 = nullptr;
    QLineEdit *Edit3 = nullptr;
    QLineEdit *Edit4 = nullptr;
    QCheckBox *CheckBox1 = nullptr;
    QComboBox *ComboBox1 = nullptr;
    QComboBox *ComboBox2 = nullptr;
    QComboBox *ComboBox3 = nullptr;
    QComboBox *ComboBox4 = nullptr;
    QComboBox *ComboBox5 = nullptr;
    QComboBox *ComboBox6 = nullptr;
    QComboBox *ComboBox7 = nullptr;
    QComboBox *ComboBox8 = nullptr;
    QComboBox *ComboBox9 = nullptr;
    QComboBox *ComboBox10 = nullptr;
    QTableWidget *StringGrid1 = nullptr;
    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;
    QPushButton *Button3 = nullptr;
    QPushButton *Button4 = nullptr;
    QPushButton *Button5 = nullptr;
    QPushButton *Button6 = nullptr;
    QPushButton *Button7 = nullptr;
    QPushButton *Button8 = nullptr;
    QPushButton *Button11 = nullptr;
    Lamp *Shape1 = nullptr;
    QLabel *Label13 = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void BuildHeader();
    void BuildMeasurementPage(QWidget *page);
    void SizeMeasurementGrids();
    void PlaceMeasurementGrids(); // current at the left, meas filling the rest
    void ConnectFrameHandlers();
    void AssignLinkHandlers();
    bool m_closed = false;

    // ---- Device data page (views/) ------------------------------------------
    void BuildRangeGrid(QWidget *page, const QFont &font);
    void LayOutDeviceDataPage(QWidget *page);
    void ConnectDeviceDataHandlers();
    // ---- end of Device data page (views/) -----------------------------------
};

// Tag of a control, kept as the dynamic property "Tag".
int Tag(const QObject *control);
void SetTag(QObject *control, int tag);

// The five windows, created at start in this order.
class TForm5;
class TForm7;
class TForm8;
extern TForm4 *Form4;
extern TForm5 *Form5;
extern TForm7 *Form7;
extern TForm8 *Form8;

} // namespace app
