#pragma once
// "Chart of <caption>": a line chart of one column of the measurement table,
// in a window of its own that follows the table while it is open. A kiln's
// stored readings are a drying curve; the chart shows it without copying the
// numbers elsewhere.

#include <QList>
#include <QPointF>
#include <QWidget>

class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QPushButton;
class QValueAxis;

namespace data {
class MeasTable;
}

namespace views {

// What the chart of `column` draws: its numbers (DecimalNumber) in table
// order, one point per record down to the first record whose key is empty.
// The x of a point is the record's key when every key is a number, else its
// row number.
struct ColumnChart {
    QList<QPointF> points;
    int skipped = 0; // cells that are no number
    bool byKey = false;
};
ColumnChart ChartOfColumn(const data::MeasTable &table, int column);

// True when at least one record holds a number in `column`.
bool ColumnHasNumber(const data::MeasTable &table, int column);

class ChartWindow final : public QWidget {
    Q_OBJECT
public:
    // A window of `owner`'s, titled "<caption> - <application title>".
    ChartWindow(const data::MeasTable &table, int column, QWidget *owner);

    int Column() const { return m_column; }
    const ColumnChart &Drawn() const { return m_drawn; }
    void SaveImageClick(); // "Save image..."

    QChartView *ChartView = nullptr;
    QLabel *SkippedLabel = nullptr;
    QPushButton *SaveImageButton = nullptr;

private:
    void Redraw();
    void RedrawSoon(); // once per merge, after the table has settled

    const data::MeasTable &m_table;
    const int m_column;
    ColumnChart m_drawn;
    bool m_redrawPending = false;
    QChart *m_chart = nullptr;
    QLineSeries *m_series = nullptr;
    QValueAxis *m_xAxis = nullptr;
    QValueAxis *m_yAxis = nullptr;
};

} // namespace views
