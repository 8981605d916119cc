#include "link/meterscan.h"

#include "link/meterlink.h"
#include "protocol/trace.h"

#include <algorithm>

namespace devlink {

bool SeenDevice::IsMeter() const
{
    return name == MeterLink::MeterName;
}

void NoteSeen(QList<SeenDevice> &seen, const SeenDevice &report)
{
    for (SeenDevice &s : seen) {
        if (s.address != report.address || (report.address.isEmpty() && s.name != report.name))
            continue;
        if (!report.name.isEmpty())
            s.name = report.name;
        if (report.rssi != RssiUnknown)
            s.rssi = report.rssi;
        return;
    }
    seen.append(report);
}

QString SignalText(int rssi)
{
    return rssi == RssiUnknown ? QStringLiteral("-") : QStringLiteral("%1 dBm").arg(rssi);
}

QList<SeenDevice> MeterRows(const QList<SeenDevice> &seen, const QString &pinned)
{
    QList<SeenDevice> rows;
    bool pinnedSeen = pinned.isEmpty();
    for (const SeenDevice &s : seen) {
        if (!s.IsMeter())
            continue;
        rows.append(s);
        pinnedSeen = pinnedSeen || AddressMatches(pinned, s.address);
    }
    // Stable: meters of equal strength stay in the order the scan met them.
    std::stable_sort(rows.begin(), rows.end(), [](const SeenDevice &a, const SeenDevice &b) {
        const bool aKnown = a.rssi != RssiUnknown;
        const bool bKnown = b.rssi != RssiUnknown;
        if (aKnown != bKnown)
            return aKnown;
        return aKnown && a.rssi > b.rssi;
    });
    if (!pinnedSeen)
        rows.append({MeterLink::MeterName, pinned, RssiUnknown});
    return rows;
}

QString PinnedMeterText(const QString &pinned)
{
    return pinned.isEmpty() ? QStringLiteral("Any meter is taken (the first one found)")
                            : QStringLiteral("Pinned to meter %1").arg(pinned);
}

MeterScan::MeterScan(std::unique_ptr<TBluetoothLE> component, QObject *parent)
    : QObject(parent), m_component(std::move(component))
{
    m_end.setSingleShot(true);
    connect(&m_end, &QTimer::timeout, this, &MeterScan::Stop);
    m_component->OnDiscoverLEDevice = [this](TBluetoothLE *, TBluetoothLEDevice *device, int rssi,
                                             const QByteArray &) {
        NoteSeen(m_seen, {device->DeviceName(), device->Address(), rssi});
        emit Changed();
    };
}

MeterScan::~MeterScan()
{
    m_end.stop();
    m_component->OnDiscoverLEDevice = nullptr;
    if (m_component->Enabled())
        m_component->SetEnabled(false);
}

bool MeterScan::Start(int ms, QString *error)
{
    Stop();
    m_seen.clear();
    emit Changed();
    m_component->SetEnabled(true);
    if (!m_component->DiscoverDevices(ms, error)) {
        m_component->SetEnabled(false);
        return false;
    }
    protocol::Trace::Note([ms] { return QStringLiteral("meter list: scanning for %1 ms").arg(ms); });
    m_scanning = true;
    m_end.start(ms);
    return true;
}

void MeterScan::Stop()
{
    m_end.stop();
    if (!m_scanning)
        return;
    m_scanning = false;
    // Off at once: the scan ends on the radio before any link-up starts its
    // own, and nothing of this component stays open.
    m_component->CancelDiscovery();
    m_component->SetEnabled(false);
    protocol::Trace::Note([this] {
        QStringList meters;
        for (const SeenDevice &s : MeterRows(m_seen, {}))
            meters << QStringLiteral("%1 (%2)").arg(s.address, SignalText(s.rssi));
        return QStringLiteral("meter list: %1").arg(meters.isEmpty() ? QStringLiteral("none") : meters.join(", "));
    });
    emit Finished();
}

} // namespace devlink
