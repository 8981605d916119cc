// Takes the README's pictures: the program connected to the simulated meter
// on the Device data page, then the Measurement page after a download of the
// meter's stored records. Run under Xvfb:
//   xvfb-run -a build/tests/app/tarvolin-screenshot docs/screenshot.png docs/screenshot-measurement.png
#include "tests/support/e2e.h"
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
    testsupport::EndToEnd e;
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
    const bool saved = e.form->grab().save(measurementTarget);
    e.form->close();
    return saved ? 0 : 1;
}
