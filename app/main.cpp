// Tarvolin: service tool for the moisture meter over Bluetooth LE.
#include "app/program.h"
#include "app/prompts.h"
#include "app/mainform.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// A drop on a blue tile: drawn here so no image plugin is needed.
QIcon programIcon()
{
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x1f, 0x4e, 0x9c));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(0, 0, 64, 64, 10, 10);
    QPainterPath drop;
    drop.moveTo(32, 10);
    drop.cubicTo(22, 26, 16, 34, 16, 42);
    drop.arcTo(16, 26, 32, 32, 180, 180);
    drop.cubicTo(48, 34, 42, 26, 32, 10);
    painter.setBrush(QColor(0x7f, 0xc8, 0xff));
    painter.drawPath(drop);
    return QIcon(pixmap);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvolin 2.2"));
    app::Program program;
    const int failed = app::StartProgram(program, qEnvironmentVariable("TARVOLIN_LINK"), QString());
    if (failed)
        return failed;
    QApplication::setWindowIcon(programIcon());
    try {
        application.exec();
    } catch (const std::exception &error) {
        // An error that escapes the whole run is shown; the run still ends
        // normally.
        app::ShowError(QString::fromStdString(error.what()));
    }
    return 0;
}
