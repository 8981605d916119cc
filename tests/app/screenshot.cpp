// Takes the README's picture: the program connected to the simulated meter on
// the Device data page. Run under Xvfb:
//   xvfb-run -a build/tests/app/tarvolin-screenshot docs/screenshot.png
#include "tests/support/e2e.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvolin 2.2"));
    const QString target = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshot.png");
    testsupport::EndToEnd e;
    if (!e.Start() || !e.Connect()) {
        qWarning("could not connect to the simulated meter");
        return 1;
    }
    QTest::qWait(300);
    const bool saved = e.form->grab().save(target);
    e.form->close();
    return saved ? 0 : 1;
}
