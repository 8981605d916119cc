#pragma once
// The whole program against the simulated meter: the real main window, the
// real worker thread, the virtual link and a meter on a thread of its own.

#include "app/dialogs.h"
#include "app/mainform.h"
#include "app/program.h"
#include "link/bt.h"
#include "link/meterlink.h"
#include "protocol/timings.h"
#include "sim/meterlogic.h"
#include "sim/simmeterthread.h"
#include "tests/support/scriptedprompts.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace testsupport {

inline const QByteArray TestConfiguration =
    "[DATA]\nPDATA1=No.,6\nPDATA2=,4\nPDATA3=Moisture %,5\nPDATA4=Wood species,20\n";

// The parameter blocks among `frames` that the meter was sent, decoded by the
// meter's own codec; a malformed write frame makes the list empty.
inline QList<protocol::ParameterBlock> WrittenBlocks(const QList<QByteArray> &frames)
{
    QList<protocol::ParameterBlock> blocks;
    for (const QByteArray &frame : frames) {
        if (frame.isEmpty() || static_cast<std::uint8_t>(frame[0]) != sim::CodeWriteParameters)
            continue;
        if (frame.size() != 517 || !frame.endsWith("\r\n"))
            return {};
        if (const auto block = sim::MeterLogic::DecodeBlock(frame.mid(1, 514)))
            blocks << *block;
    }
    return blocks;
}

struct EndToEnd {
    // Tests of logic run on shortened pauses (the limits stay real); a test
    // that checks a timing sets this before Start().
    bool realTimings = false;
    // The program's configuration file, and the meter's record layout.
    QByteArray configuration = TestConfiguration;
    ScriptedPrompts prompts;
    sim::SimMeterThread meter;
    QTemporaryDir dir;
    app::Program program;
    app::TForm4 *form = nullptr;

    // Starts the meter (unless `withMeter` is false) and the program on
    // `linkSetting` (the meter's endpoint when empty and a meter runs).
    bool Start(bool withMeter = true, const QString &linkSetting = QString())
    {
        protocol::UseTimings(realTimings ? protocol::Timings{} : protocol::Timings::ShortPauses());
        if (withMeter && !meter.Start())
            return false;
        // The meter lays out its records by the program's configuration.
        QList<sim::RecordField> layout;
        QString error;
        if (withMeter) {
            if (!sim::ParseRecordLayout(configuration, &layout, &error))
                return false;
            meter.SetLayout(layout);
        }
        const QString config = dir.filePath("ZEVQ-BLE.INI");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(configuration);
        file.close();
        const QString link = linkSetting.isEmpty() && withMeter ? meter.LinkValue() : linkSetting;
        if (app::StartProgram(program, link, config) != 0)
            return false;
        form = program.mainWindow.get();
        return true;
    }

    ~EndToEnd()
    {
        if (form && devlink::Worker)
            form->close();
        protocol::UseTimings(protocol::Timings{});
    }

    devlink::SessionState State() const
    {
        return devlink::Worker ? devlink::Worker->CurrentState() : devlink::Idle;
    }

    // Clicks "Search and connect"; returns when the link-up sequence ended.
    // `during` runs after `afterMs` inside the sequence's event processing.
    void ClickConnect(int afterMs = -1, std::function<void()> during = {})
    {
        if (during)
            QTimer::singleShot(afterMs, form, std::move(during));
        QTest::mouseClick(form->Button1, Qt::LeftButton);
    }

    // Connects on the Device data page and waits until the block is read.
    bool Connect()
    {
        ClickConnect();
        return WaitForState(devlink::Connected, 10000);
    }

    bool WaitForState(devlink::SessionState state, int ms)
    {
        return QTest::qWaitFor([&] { return State() == state; }, ms);
    }
};

// Opens the status area's menu over `control` as the platform delivers a
// right click: through the window, where the click becomes a context menu
// request. Null when the menu did not open.
inline QMenu *OpenStatusMenu(app::TForm4 *form, QWidget *control)
{
    QTest::mouseClick(form->windowHandle(), Qt::RightButton, {}, control->mapTo(form, control->rect().center()));
    QMenu *menu = form->StatusMenu;
    return QTest::qWaitFor([menu] { return menu->isVisible(); }) ? menu : nullptr;
}

// ... and picks `item` in it.
inline void PickFromStatusMenu(app::TForm4 *form, QWidget *control, const QString &item)
{
    QMenu *menu = OpenStatusMenu(form, control);
    QVERIFY(menu);
    for (QAction *action : menu->actions()) {
        if (action->text() == item)
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
    }
    QTRY_VERIFY(!menu->isVisible());
}

} // namespace testsupport
