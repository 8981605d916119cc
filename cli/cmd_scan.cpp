// tarvolin-cli scan: the devices seen during one scan, the meter marked.
#include "cli/commands.h"

#include "link/linkfactory.h"
#include "link/meterlink.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

namespace cli {

int RunScan(const Options &options)
{
    QString error;
    std::unique_ptr<devlink::TBluetoothLE> component = devlink::CreateLinkComponent(options.link, &error);
    if (!component) {
        Say(error);
        return ExitUsage;
    }
    struct Seen {
        QString name;
        QString address;
    };
    QList<Seen> seen;
    component->OnDiscoverLEDevice = [&seen](devlink::TBluetoothLE *, devlink::TBluetoothLEDevice *device, int,
                                            const QByteArray &) {
        const Seen entry{device->DeviceName(), device->Address()};
        for (const Seen &s : seen)
            if (s.address == entry.address && s.name == entry.name)
                return;
        seen.append(entry);
    };
    component->SetEnabled(true);
    const int scanMs = options.scanSeconds * 1000;
    if (!component->DiscoverDevices(scanMs, &error)) {
        component->SetEnabled(false);
        Say(QStringLiteral("BT LE module not enabled or not installed"));
        return ExitNoAdapter;
    }
    QEventLoop loop;
    QTimer poll;
    const QDeadlineTimer end(scanMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (Interrupted() || end.hasExpired())
            loop.quit();
    });
    poll.start(20);
    loop.exec();
    component->CancelDiscovery();
    component->SetEnabled(false);
    if (Interrupted())
        return ExitInterrupted;
    QTextStream out(stdout);
    for (const Seen &s : seen) {
        const bool meter = s.name == devlink::MeterLink::MeterName;
        out << (meter ? "* " : "  ") << (s.name.isEmpty() ? QStringLiteral("(no name)") : s.name) << '\t'
            << s.address << (meter ? QStringLiteral("\t(the meter)") : QString()) << '\n';
    }
    return ExitDone;
}

} // namespace cli
