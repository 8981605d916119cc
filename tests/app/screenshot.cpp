// Takes the README's pictures with the sample configuration: the program
// connected to the simulated meter on the Device data page, the Measurement
// page after a download of the meter's stored records, and the chart of
// their moisture. Run under Xvfb:
//   xvfb-run -a build/tests/app/tarvolin-screenshot docs/screenshot.png
//       docs/screenshot-measurement.png docs/screenshot-chart.png
// (one command line).
#include "tests/support/e2e.h"
#include "data/meastable.h"
#ifdef TARVOLIN_CHARTS
#include "views/chartwindow.h"
#endif
#include "views/widgets.h"
#include "views/selrange.h"

#include <QApplication>
#include <QComboBox>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvolin 2.2"));
    const QString target = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshot.png");
    const QString measurementTarget =
        argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("screenshot-measurement.png");
    const QString chartTarget = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("screenshot-chart.png");
    testsupport::EndToEnd e;
    QFile sample(QStringLiteral(TARVOLIN_SAMPLE_CONFIG));
    if (!sample.open(QIODevice::ReadOnly)) {
        qWarning("cannot read the sample configuration");
        return 1;
    }
    e.configuration = sample.readAll();
    if (!e.Start() || !e.Connect()) {
        qWarning("could not connect to the simulated meter");
        return 1;
    }
    QTest::qWait(300);
    if (!e.form->grab().save(target))
        return 1;

    // "Read" with the whole range the meter reports.
    e.prompts.modal = [](QDialog *dialog) {
        auto *range = qobject_cast<views::TForm1 *>(dialog);
        range->ComboBox1->setCurrentIndex(0);
        QTest::mouseClick(range->Button11, Qt::LeftButton);
        return range->result();
    };
    QTest::mouseClick(e.form->Button11, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return e.form->PageControl1->currentIndex() == 0; }, 20000)) {
        qWarning("the download did not end on the Measurement page");
        return 1;
    }
    QTest::qWait(300);
    if (!e.form->grab().save(measurementTarget))
        return 1;

#ifndef TARVOLIN_CHARTS
    // Built without Qt Charts: there is no chart to take.
    Q_UNUSED(chartTarget);
    e.form->close();
    return 0;
#else
    const int moisture = e.form->Measurements->RowTexts(0).indexOf(QStringLiteral("Moisture %"));
    if (moisture < 0)
        return 1;
    views::ChartWindow *chart = e.form->ShowChart(moisture);
    QTest::qWait(300);
    const bool saved = chart->grab().save(chartTarget);
    e.form->close();
    return saved ? 0 : 1;
#endif
}
