#include "views/chartwindow.h"

#include "data/decimal.h"
#include "data/meastable.h"
#include "views/savefile.h"

#include <QApplication>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>

namespace views {

namespace {

// Rows 1.. up to the first record whose key is empty, as "Save" writes them.
int RecordRows(const data::MeasTable &table)
{
    int rows = 1;
    while (rows < table.RowCount() && !table.CellView(0, rows).isEmpty())
        ++rows;
    return rows;
}

// The range an axis shows: the values' own, widened where they are all one.
std::pair<qreal, qreal> Span(qreal low, qreal high)
{
    if (low == high)
        return {low - 1, high + 1};
    return {low, high};
}

QString SkippedText(int skipped, int cells)
{
    if (skipped == 1)
        return QStringLiteral("1 of %1 values is not a number and is not shown.").arg(cells);
    return QStringLiteral("%1 of %2 values are not numbers and are not shown.").arg(skipped).arg(cells);
}

} // namespace

ColumnChart ChartOfColumn(const data::MeasTable &table, int column)
{
    ColumnChart chart;
    const int rows = RecordRows(table);
    // The keys as numbers, as long as every one is one.
    QList<qreal> keys;
    keys.reserve(rows);
    for (int r = 1; r < rows; ++r) {
        const std::optional<double> key = data::DecimalNumber(table.CellView(0, r));
        if (!key)
            break;
        keys.append(*key);
    }
    chart.byKey = rows > 1 && keys.size() == rows - 1;
    chart.points.reserve(rows);
    for (int r = 1; r < rows; ++r) {
        const std::optional<double> y =
            column == 0 && chart.byKey ? keys[r - 1] : data::DecimalNumber(table.CellView(column, r));
        if (!y) {
            ++chart.skipped;
            continue;
        }
        chart.points.append({chart.byKey ? keys[r - 1] : qreal(r), *y});
    }
    return chart;
}

bool ColumnHasNumber(const data::MeasTable &table, int column)
{
    const int rows = RecordRows(table);
    for (int r = 1; r < rows; ++r)
        if (data::DecimalNumber(table.CellView(column, r)))
            return true;
    return false;
}

ChartWindow::ChartWindow(const data::MeasTable &table, int column, QWidget *owner)
    : QWidget(owner, Qt::Window), m_table(table), m_column(column)
{
    setAttribute(Qt::WA_DeleteOnClose);
    const QString caption = table.Cell(column, 0);
    setObjectName(QStringLiteral("Chart"));
    setWindowTitle(QStringLiteral("%1 - %2").arg(caption, QApplication::applicationName()));
    resize(640, 420);

    m_chart = new QChart;
    m_chart->legend()->hide();
    m_series = new QLineSeries(m_chart);
    m_chart->addSeries(m_series);
    m_xAxis = new QValueAxis(m_chart);
    m_yAxis = new QValueAxis(m_chart);
    m_xAxis->setTitleText(table.Cell(0, 0));
    m_xAxis->setLabelFormat(QStringLiteral("%g"));
    m_yAxis->setTitleText(caption);
    m_yAxis->setLabelFormat(QStringLiteral("%g"));
    m_chart->addAxis(m_xAxis, Qt::AlignBottom);
    m_chart->addAxis(m_yAxis, Qt::AlignLeft);
    m_series->attachAxis(m_xAxis);
    m_series->attachAxis(m_yAxis);
    ChartView = new QChartView(m_chart, this);
    ChartView->setObjectName(QStringLiteral("ChartView"));

    SkippedLabel = new QLabel(this);
    SkippedLabel->setObjectName(QStringLiteral("SkippedLabel"));
    SaveImageButton = new QPushButton(QStringLiteral("Save image..."), this);
    SaveImageButton->setObjectName(QStringLiteral("SaveImageButton"));
    connect(SaveImageButton, &QPushButton::clicked, this, [this] { Guarded([this] { SaveImageClick(); }); });
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(SkippedLabel, 1);
    bottom->addWidget(SaveImageButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(ChartView, 1);
    layout->addLayout(bottom);

    // A merge inserts rows and then changes them: one redraw for both.
    connect(&table, &QAbstractItemModel::rowsInserted, this, &ChartWindow::RedrawSoon);
    connect(&table, &QAbstractItemModel::dataChanged, this, &ChartWindow::RedrawSoon);
    connect(&table, &QAbstractItemModel::modelReset, this, &ChartWindow::close);
    Redraw();
}

void ChartWindow::RedrawSoon()
{
    if (m_redrawPending)
        return;
    m_redrawPending = true;
    QTimer::singleShot(0, this, [this] {
        m_redrawPending = false;
        Redraw();
    });
}

void ChartWindow::Redraw()
{
    m_drawn = ChartOfColumn(m_table, m_column);
    const QList<QPointF> &points = m_drawn.points;
    m_xAxis->setTitleText(m_drawn.byKey ? m_table.Cell(0, 0) : QStringLiteral("Row"));
    // Every change of an axis range lays out all points of the series
    // again: the ranges change while it is empty, and the points come once.
    m_series->clear();
    if (!points.isEmpty()) {
        const auto [left, right] = std::minmax_element(points.begin(), points.end(),
                                                       [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
        const auto [bottom, top] = std::minmax_element(points.begin(), points.end(),
                                                       [](const QPointF &a, const QPointF &b) { return a.y() < b.y(); });
        const auto [xLow, xHigh] = Span(left->x(), right->x());
        const auto [yLow, yHigh] = Span(bottom->y(), top->y());
        m_xAxis->setRange(xLow, xHigh);
        m_yAxis->setRange(yLow, yHigh);
        m_xAxis->applyNiceNumbers();
        m_yAxis->applyNiceNumbers();
    }
    m_series->replace(points);
    SkippedLabel->setText(m_drawn.skipped ? SkippedText(m_drawn.skipped, int(points.size()) + m_drawn.skipped)
                                          : QString());
}

void ChartWindow::SaveImageClick()
{
    FileDialogOptions options;
    options.title = QStringLiteral("Save image");
    options.filter = QStringLiteral("PNG image (*.png)");
    options.defaultExtension = QStringLiteral("png");
    options.promptOverwrite = true;
    SaveThroughDialog(this, options, [this] {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        ChartView->grab().save(&buffer, "PNG");
        return bytes;
    });
}

} // namespace views
