// The chart of a column: opening the chart window on a full download's
// worth of records (65,535 points of the sample's moisture), next to the
// same window on an empty table, and the redraw that follows a merge.

#include "bench/benchclock.h"
#include "data/config.h"
#include "data/meastable.h"
#include "protocol/records.h"
#include "sim/meterlogic.h"
#include "sim/recordlayout.h"
#include "views/chartwindow.h"

#include <QApplication>

#include <algorithm>
#include <functional>

namespace bench {
namespace {

const QString ConfigPath = QStringLiteral(TARVOLIN_SOURCE_DIR "/resources/ZEVQ-BLE.INI");
constexpr int Records = 65535;
constexpr int Rounds = 5;

// The table after a download of records 1..count with the sample layout.
void FillTable(data::MeasTable &table, int count)
{
    data::FieldList fields;
    QList<sim::RecordField> simLayout;
    QString error;
    if (!data::LoadFieldList(ConfigPath, fields, &error) || !sim::LoadRecordLayout(ConfigPath, &simLayout, &error))
        qFatal("%s", qPrintable(error));
    const std::vector<protocol::RecordField> layout = data::RecordLayout(fields.items);
    table.SetCaptions(data::ShownCaptions(fields.items));
    sim::MeterLogic meter;
    meter.SetLayout(simLayout);
    QList<QStringList> batch;
    for (int n = 1; n <= count; ++n) {
        const QByteArray record = meter.MakeRecord(n);
        batch << protocol::DecodeRecord(
            layout, {reinterpret_cast<const std::uint8_t *>(record.constData()), std::size_t(record.size())});
    }
    if (count > 0)
        table.Merge(batch);
}

// From nothing to the window painted once in full: built, shown, every
// pending event run, and grabbed (which paints the whole chart).
double OpenMs(const data::MeasTable &table, int column)
{
    double best = 1e12;
    for (int round = 0; round < Rounds; ++round) {
        const qint64 start = NowNs();
        auto *window = new views::ChartWindow(table, column, nullptr);
        window->show();
        QCoreApplication::processEvents();
        const QPixmap shot = window->grab();
        best = std::min(best, Ms(NowNs() - start));
        if (shot.isNull())
            qFatal("the chart window did not paint");
        delete window;
        QCoreApplication::processEvents();
    }
    return best;
}

// A merge of one record into the full table, until the open chart has
// redrawn and painted.
double RedrawMs(data::MeasTable &table, int column)
{
    views::ChartWindow window(table, column, nullptr);
    window.show();
    QCoreApplication::processEvents();
    double best = 1e12;
    for (int round = 0; round < Rounds; ++round) {
        QStringList record = table.RowTexts(1);
        record[column] = QString::number(10 + round);
        const qint64 start = NowNs();
        table.Merge({record});
        QCoreApplication::processEvents();
        const QPixmap shot = window.grab();
        best = std::min(best, Ms(NowNs() - start));
        if (window.Drawn().points.size() != Records)
            qFatal("the chart did not follow the merge");
    }
    return best;
}

int run()
{
    data::MeasTable full;
    FillTable(full, Records);
    data::MeasTable empty;
    FillTable(empty, 0);
    const int moisture = int(full.RowTexts(0).indexOf(QStringLiteral("Moisture %")));
    if (moisture < 0)
        qFatal("the sample has no moisture column");
    const double emptyMs = OpenMs(empty, moisture);
    const double fullMs = OpenMs(full, moisture);
    Row(QStringLiteral("Chart of 65,535 points opens"), QStringLiteral("%1 ms").arg(Fixed(fullMs)),
        QStringLiteral("empty chart %1 ms").arg(Fixed(emptyMs)), QStringLiteral("< 300 ms"), fullMs < 300);
    const double redrawMs = RedrawMs(full, moisture);
    Info(QStringLiteral("Open chart of 65,535 points after a merge"), QStringLiteral("%1 ms").arg(Fixed(redrawMs)),
         QStringLiteral("opening %1 ms").arg(Fixed(fullMs)));
    return 0;
}

} // namespace
} // namespace bench

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    return bench::run();
}
