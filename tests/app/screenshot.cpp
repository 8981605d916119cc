// Takes the README's pictures with the sample configuration: the program
// connected to the simulated meter on the Device data page, the Measurement
// page after a download of the meter's stored records, and the chart of
// their moisture, and "Choose meter" with three meters in reach while it
// scans. Run under Xvfb:
//   xvfb-run -a build/tests/app/tarvolin-screenshot docs/screenshot.png
//       docs/screenshot-measurement.png docs/screenshot-chart.png
//       docs/screenshot-choose-meter.png
// (one command line).
#include "tests/support/e2e.h"
#include "app/choosemeter.h"
#include "link/linkfactory.h"
#include "data/meastable.h"
#ifdef TARVOLIN_CHARTS
#include "views/chartwindow.h"
#endif
#include "views/widgets.h"
#include "views/selrange.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTreeWidget>

namespace {

// Saves a picture of `widget` once the events already posted (layouts,
// repaints, the rows just added) have been handled: grab() paints the
// widget as it stands, so no fixed pause is needed.
bool SaveWhenSettled(QWidget *widget, const QString &target)
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return widget->grab().save(target);
}

// The dialog over three meters of different signal, the second row chosen.
bool SaveChooseMeter(testsupport::EndToEnd &e, const QString &target)
{
    sim::SimMeterThread more[2];
    QStringList endpoints{QStringLiteral("127.0.0.1:%1").arg(e.meter.Port())};
    const int signal[3] = {-71, -48, -63};
    e.meter.SetAdvertisement(sim::Advertisement(QStringLiteral("Vorelt-ZEVQ25k"), sim::Advertisement::SerialService,
                                                signal[0]));
    for (int i = 0; i < 2; ++i) {
        if (!more[i].Start())
            return false;
        more[i].SetAdvertisement(sim::Advertisement(QStringLiteral("Vorelt-ZEVQ25k"),
                                                    sim::Advertisement::SerialService, signal[i + 1]));
        endpoints << QStringLiteral("127.0.0.1:%1").arg(more[i].Port());
    }
    QString error;
    app::ChooseMeterDialog dialog(e.form, devlink::CreateLinkComponent(QStringLiteral("vlink:") + endpoints.join(','), &error),
                                  QString());
    dialog.show();
    if (!QTest::qWaitFor([&] { return dialog.Meters->topLevelItemCount() == 4; }, 5000))
        return false;
    dialog.Meters->setCurrentItem(dialog.Meters->topLevelItem(2));
    return SaveWhenSettled(&dialog, target);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvolin 2.2"));
    const QString target = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshot.png");
    const QString measurementTarget =
        argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("screenshot-measurement.png");
    const QString chartTarget = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("screenshot-chart.png");
    const QString chooseTarget =
        argc > 4 ? QString::fromLocal8Bit(argv[4]) : QStringLiteral("screenshot-choose-meter.png");
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
    // The page shows the block once the first read of it has come.
    if (!QTest::qWaitFor([&] { return !e.form->Edit1->text().isEmpty(); }, 5000) || !SaveWhenSettled(e.form, target))
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
    if (!SaveWhenSettled(e.form, measurementTarget))
        return 1;

#ifndef TARVOLIN_CHARTS
    // Built without Qt Charts: there is no chart to take.
    Q_UNUSED(chartTarget);
    const bool saved = SaveChooseMeter(e, chooseTarget);
    e.form->close();
    return saved ? 0 : 1;
#else
    const int moisture = e.form->Measurements->RowTexts(0).indexOf(QStringLiteral("Moisture %"));
    if (moisture < 0)
        return 1;
    views::ChartWindow *chart = e.form->ShowChart(moisture);
    const bool saved = SaveWhenSettled(chart, chartTarget) && SaveChooseMeter(e, chooseTarget);
    e.form->close();
    return saved ? 0 : 1;
#endif
}
