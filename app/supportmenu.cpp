// The status area's context menu, for field support: save the flight
// recorder's trace, say what this program is and what it runs on, and choose
// the meter "Search and connect" takes. The menu never changes a session:
// the meter is chosen only while none is connected or searching.
#include "app/mainform.h"

#include "app/choosemeter.h"
#include "app/program.h"
#include "link/bt.h"
#include "link/meterlink.h"
#include "link/meterscan.h"
#include "protocol/trace.h"
#include "views/prompts.h"
#include "views/savefile.h"
#include "views/widgets.h"

#include <QContextMenuEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSysInfo>

namespace app {

using views::Guarded;

namespace {

// Opens the menu on a right click (or the menu key) over a status control.
// An event filter sees the request even while the window's controls are
// disabled for a dialog of the worker, so the menu is there in every state.
class StatusMenuFilter final : public QObject {
public:
    StatusMenuFilter(QObject *parent, QMenu *menu) : QObject(parent), m_menu(menu) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::ContextMenu)
            return false;
        m_menu->popup(static_cast<QContextMenuEvent *>(event)->globalPos());
        return true;
    }

private:
    QMenu *m_menu;
};

} // namespace

void TForm4::BuildStatusMenu()
{
    StatusMenu = new QMenu(this);
    StatusMenu->setObjectName(QStringLiteral("StatusMenu"));
    StatusMenu->addAction(QStringLiteral("Save protocol trace..."), this,
                          [this] { Guarded([this] { SaveProtocolTrace(); }); });
    StatusMenu->addAction(QStringLiteral("About Tarvolin..."), this, [this] { Guarded([this] { AboutTarvolin(); }); });
    ChooseMeterAction =
        StatusMenu->addAction(QStringLiteral("Choose meter..."), this, [this] { Guarded([this] { ChooseMeter(); }); });
    connect(StatusMenu, &QMenu::aboutToShow, this, [this] { ChooseMeterAction->setEnabled(MeterChoiceAllowed()); });
    auto *filter = new StatusMenuFilter(this, StatusMenu);
    for (QWidget *control : std::initializer_list<QWidget *>{Shape1, Shape2, Label13, Label14})
        control->installEventFilter(filter);
}

protocol::TraceOrigin TForm4::TraceOrigin() const
{
    return {QString::fromLatin1(ProgramName), Meter->vorelt->Describe(), QFileInfo(ConfigPath).absoluteFilePath(),
            RecordSize, Meter->Address};
}

void TForm4::SaveProtocolTrace()
{
    // The adapter may be known by now: the saved header says so.
    protocol::Trace::Describe(TraceOrigin());
    views::FileDialogOptions options;
    options.title = QStringLiteral("Save protocol trace");
    options.filter = QStringLiteral("Trace file (*.txt)");
    options.defaultExtension = QStringLiteral("txt");
    options.promptOverwrite = true;
    views::SaveThroughDialog(this, options, [] { return protocol::Trace::Recorded(); });
}

void TForm4::AboutTarvolin()
{
    const protocol::TraceOrigin origin = TraceOrigin();
    const QString text = QStringLiteral("%1 (version %2)\n\nQt %3 (built with %4)\n%5, kernel %6 %7\n\nLink: %8\n"
                                        "%9\nConfiguration file: %10")
                             .arg(origin.program, protocol::Trace::BuildVersion(), QString::fromLatin1(qVersion()),
                                  QStringLiteral(QT_VERSION_STR), QSysInfo::prettyProductName(),
                                  QSysInfo::kernelType(), QSysInfo::kernelVersion(), origin.link,
                                  devlink::PinnedMeterText(origin.meter), origin.configPath);
    views::prompts().Message(this, text, QStringLiteral("About Tarvolin"), views::MessageIcon::Information);
}

bool TForm4::MeterChoiceAllowed() const
{
    const bool idle = !devlink::Worker || devlink::Worker->CurrentState() == devlink::Idle;
    return idle && !Meter->Running() && views::Tag(Button1) == 0 && static_cast<bool>(NewLinkComponent);
}

void TForm4::ChooseMeter()
{
    if (!MeterChoiceAllowed())
        return;
    std::unique_ptr<devlink::TBluetoothLE> component = NewLinkComponent();
    if (!component)
        return;
    ChooseMeterDialog dialog(this, std::move(component), Meter->Address);
    // The dialog's component goes with the dialog, before any link-up.
    if (views::prompts().RunModal(&dialog) == QDialog::Accepted)
        PinMeter(dialog.Choice());
}

void TForm4::PinMeter(const QString &address)
{
    Meter->Address = address;
    ShowPinnedMeter();
    protocol::Trace::Describe(TraceOrigin());
    protocol::Trace::Note([&] {
        return address.isEmpty() ? QStringLiteral("meter chosen: any (the first one found)")
                                 : QStringLiteral("meter chosen: pinned to %1").arg(address);
    });
}

void TForm4::ShowPinnedMeter()
{
    const QString text = devlink::PinnedMeterText(Meter->Address);
    for (QWidget *control : std::initializer_list<QWidget *>{Shape1, Shape2, Label13, Label14})
        control->setToolTip(text);
}

} // namespace app
