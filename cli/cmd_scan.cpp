// tarvolin-cli scan: the devices seen during one scan, the meter marked.
#include "cli/commands.h"

#include "protocol/printable.h"
#include "link/linkfactory.h"
#include "link/meterscan.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace cli {

namespace {

using Seen = devlink::SeenDevice;

// Tab-separated: name, address, signal strength, and the meter's mark. A
// name is what a device chose to advertise; printed as it stands it could
// drive the terminal or add a column.
QByteArray Text(const QList<Seen> &seen)
{
    QString text;
    QTextStream out(&text);
    for (const Seen &s : seen) {
        out << (s.IsMeter() ? "* " : "  ")
            << (s.name.isEmpty() ? QStringLiteral("(no name)") : protocol::Printable(s.name)) << '\t' << s.address
            << '\t' << devlink::SignalText(s.rssi)
            << (s.IsMeter() ? QStringLiteral("\t(the meter)") : QString()) << '\n';
    }
    out.flush();
    return text.toUtf8();
}

QByteArray Json(const QList<Seen> &seen)
{
    QJsonArray devices;
    for (const Seen &s : seen) {
        devices.append(QJsonObject{
            {QStringLiteral("name"), s.name},
            {QStringLiteral("address"), s.address},
            {QStringLiteral("rssi"), s.rssi == devlink::RssiUnknown ? QJsonValue() : QJsonValue(s.rssi)},
            {QStringLiteral("meter"), s.IsMeter()},
        });
    }
    return QJsonDocument(devices).toJson(QJsonDocument::Indented);
}

} // namespace

int RunScan(const Options &options)
{
    if (!options.arguments.isEmpty()) {
        Say(QStringLiteral("scan takes no arguments, not \"%1\"; see tarvolin-cli --help")
                .arg(protocol::Printable(options.arguments.join(QLatin1Char(' ')))));
        return ExitUsage;
    }
    QString error;
    std::unique_ptr<devlink::TBluetoothLE> component = devlink::CreateLinkComponent(options.link, &error);
    if (!component) {
        Say(error);
        return ExitUsage;
    }
    QList<Seen> seen;
    component->OnDiscoverLEDevice = [&seen](devlink::TBluetoothLE *, devlink::TBluetoothLEDevice *device, int rssi,
                                            const QByteArray &) {
        devlink::NoteSeen(seen, {device->DeviceName(), device->Address(), rssi});
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
    const QByteArray result = options.json ? Json(seen) : Text(seen);
    std::fwrite(result.constData(), 1, static_cast<std::size_t>(result.size()), stdout);
    std::fflush(stdout);
    return ExitDone;
}

} // namespace cli
