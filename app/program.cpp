#include "app/program.h"

#include "data/config.h"
#include "app/dialogs.h"
#include "app/mainform.h"
#include "views/prompts.h"
#include "link/bt.h"
#include "link/linkfactory.h"
#include "link/meterlink.h"
#include "protocol/trace.h"
#include "views/selrange.h"

#include <QApplication>
#include <QDir>
#include <QScreen>

namespace app {

using views::MessageIcon;
using views::prompts;

Program::~Program()
{
    // A worker still running (start-up ended some other way than by closing
    // the window) is stopped before the window it hands steps to goes.
    if (devlink::Worker)
        devlink::Worker->Shutdown();
    // The dialogs are children of the main window and go with it.
    mainWindow.reset();
    Form5 = nullptr;
    Form7 = nullptr;
    Form8 = nullptr;
    views::Form1 = nullptr;
    protocol::Trace::Stop();
    protocol::Trace::StopRecorder();
}

namespace {

// The window has no command line: TARVOLIN_TRACE=FILE switches the protocol
// trace on. A file that cannot be made is said once; the program goes on.
void StartTrace()
{
    const QString path = qEnvironmentVariable("TARVOLIN_TRACE");
    if (path.isEmpty())
        return;
    QString error;
    if (!protocol::Trace::Start(path, &error))
        prompts().Message(nullptr, QStringLiteral("Cannot create file \"%1\". %2").arg(path, error),
                          QStringLiteral("Error"), MessageIcon::Error);
}

} // namespace

int StartProgram(Program &program, const QString &linkSetting, const QString &configPath)
{
    // The flight recorder runs always; nothing is written until the user
    // saves it from the status area's menu.
    protocol::Trace::StartRecorder();
    StartTrace();
    QString error;
    std::unique_ptr<devlink::TBluetoothLE> component = devlink::CreateLinkComponent(linkSetting, &error);
    if (!component) {
        prompts().Message(nullptr, error, QStringLiteral("Error"), MessageIcon::Error);
        return 1;
    }
    program.mainWindow = std::make_unique<TForm4>(std::move(component));
    Form4 = program.mainWindow.get();
    // TARVOLIN_ADDRESS=ADDR pins "Search and connect" to the one meter at that
    // address (as the tool's scan lists it); unset, the first meter seen.
    // The choice the window starts with; "Choose meter..." may change it.
    Form4->Meter->Address = qEnvironmentVariable("TARVOLIN_ADDRESS");
    Form4->ShowPinnedMeter();
    Form4->NewLinkComponent = [linkSetting] {
        QString ignored; // the setting was understood above
        return devlink::CreateLinkComponent(linkSetting, &ignored);
    };
    const QString path = configPath.isEmpty()
        ? QDir(QCoreApplication::applicationDirPath()).filePath(data::ConfigFileName)
        : configPath;
    if (!Form4->FormCreate(path))
        return 1;
    Form5 = new TForm5(Form4);
    Form7 = new TForm7(Form4);
    Form8 = new TForm8(Form4);
    views::Form1 = new views::TForm1(Form4);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        Form4->move(screen->availableGeometry().center() - Form4->rect().center());
    Form4->show();
    return 0;
}

} // namespace app
