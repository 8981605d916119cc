#pragma once
// The "Measurement" page: the table `meas` of received records (a view over
// data::MeasTable, so 65,535 records stay cheap) with a chart of any column,
// the record panel `current`, "Read" with its "Select range" dialog, and
// "Save" as CSV or workbook. The main window
// derives from this class, as from the Device data page, whose block copy and
// range a download uses.

#include "data/titem.h"
#include "views/widgets.h"

#include <QList>
#include <QPointer>
#include <QStringList>

#include <map>

class QPoint;
class QPushButton;
class QLabel;
class QTableView;
class QTableWidget;
class QWidget;

namespace data {
class MeasTable;
}

namespace views {

class ChartWindow;
class DeviceDataPage;
class Lamp;

class MeasurementPage {
public:
    // `window` owns the page's dialogs; `deviceData` is the page whose block
    // a download sends.
    MeasurementPage(QWidget *window, DeviceDataPage &deviceData)
        : m_owner(window), m_deviceData(deviceData) {}
    virtual ~MeasurementPage() = default;
    MeasurementPage(const MeasurementPage &) = delete;
    MeasurementPage &operator=(const MeasurementPage &) = delete;

    // Creates the page's controls on `page`; "Search and connect" and "Exit"
    // are wired by the window.
    void BuildMeasurementPage(QWidget *page);
    // Columns, rows, captions and widths from ItemList (start-up).
    void SizeMeasurementGrids();

    void MergeRecords(const QList<QStringList> &batch);
    void measSelectCell(int column, int row, bool &canSelect);
    // Right-click on `meas` at `pos` (viewport coordinates): offers "Chart of
    // <caption>" for the cell's column when the column holds a number.
    void measContextPopup(const QPoint &pos);
#ifdef TARVOLIN_CHARTS
    // Opens the chart of `column`, or brings up the one already open.
    ChartWindow *ShowChart(int column);
#endif
    void Button10Click(); // "Save"
    void Button11Click(); // "Read", on the Device data page

    // The measurement fields of the configuration, and the bytes of one record.
    data::TItemList ItemList;
    qint32 RecordSize = 0;

    // ---- controls (objectName = component name) -----------------------------
    QWidget *Panel3 = nullptr;
    FixedRowTable *meas = nullptr; // a view over Measurements, row 0 its fixed caption row
    data::MeasTable *Measurements = nullptr;
    QTableWidget *current = nullptr;
    QPushButton *Button9 = nullptr;
    QPushButton *Button10 = nullptr;
    QPushButton *Button12 = nullptr;
    Lamp *Shape2 = nullptr;
    QLabel *Label14 = nullptr;

private:
    void PlaceMeasurementGrids(); // current at the left, meas filling the rest

    QWidget *const m_owner;
    DeviceDataPage &m_deviceData;
#ifdef TARVOLIN_CHARTS
    std::map<int, QPointer<ChartWindow>> m_charts; // by column
#endif
};

} // namespace views
