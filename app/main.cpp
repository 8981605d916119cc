// Tarvolin: service tool for the moisture meter over Bluetooth LE.
#include "app/program.h"
#include "views/prompts.h"
#include "app/mainform.h"
#include "os/clocks.h"

#include <QApplication>
#include <QIcon>

namespace {

// The installed icon's PNGs, compiled in; PNG needs no image plugin.
QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

int main(int argc, char *argv[])
{
    // The protocol's pauses keep their lengths.
    const os::FineTimers timers;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(app::ProgramName));
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
        views::ShowError(QString::fromStdString(error.what()));
    }
    return 0;
}
