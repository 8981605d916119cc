#include "link/vlinkpeer.h"

namespace devlink {

TBluetoothGattCharacteristic *VLinkService::GetCharacteristic(const QBluetoothUuid &uuid)
{
    if (!loaded)
        return nullptr;
    for (const auto &characteristic : characteristics) {
        if (characteristic->Uuid() == QUuid(uuid))
            return characteristic.get();
    }
    return nullptr;
}

void VLinkPeer::Receive(QByteArrayView bytes)
{
    if (!m_cutOff)
        m_reader.Append(bytes);
}

std::optional<VLinkEvent> VLinkPeer::Next()
{
    while (!m_cutOff) {
        const std::optional<QByteArray> text = m_reader.Next();
        if (!text)
            return std::nullopt;
        if (std::optional<VLinkEvent> event = Handle(vlink::ParseLine(*text)))
            return event;
    }
    return std::nullopt;
}

void VLinkPeer::Closed()
{
    m_connected = false;
    m_pendingWrites = 0;
    m_awaitedSubscribe.reset();
    for (const auto &service : m_services) {
        for (const auto &characteristic : service->characteristics)
            characteristic->subscribed = false;
    }
}

VLinkCharacteristic *VLinkPeer::FindCharacteristic(QByteArrayView uuidText) const
{
    const std::optional<QUuid> uuid = vlink::ParseUuid(uuidText);
    if (!uuid)
        return nullptr;
    for (const auto &service : m_services) {
        for (const auto &characteristic : service->characteristics) {
            if (characteristic->Uuid() == *uuid)
                return characteristic.get();
        }
    }
    return nullptr;
}

VLinkEvent VLinkPeer::CutOff(const QString &reason)
{
    m_cutOff = true;
    m_reader.Clear();
    VLinkEvent event;
    event.kind = VLinkEvent::CutOff;
    event.reason = reason;
    return event;
}

std::optional<VLinkEvent> VLinkPeer::Handle(const vlink::Line &line)
{
    if (!m_advertised)
        return HandleAdvertising(line);
    if (line.verb == "CONNECTED") {
        if (m_connectSent)
            m_connected = true;
        return std::nullopt;
    }
    if (line.verb == "SUBSCRIBED")
        return HandleSubscribed(line);
    if (line.verb == "WRITTEN")
        return HandleWritten(line);
    if (line.verb == "NOTIFY")
        return HandleNotify(line, false);
    if (line.verb == "NOTIFYERR")
        return HandleNotify(line, true);
    return std::nullopt;
}

std::optional<VLinkEvent> VLinkPeer::HandleAdvertising(const vlink::Line &line)
{
    if (line.verb == "ADV" && !m_sawAdv) {
        if (line.rest.size() > MaxNameBytes)
            return CutOff(QStringLiteral("advertised a name of %1 bytes (at most %2)")
                              .arg(line.rest.size())
                              .arg(MaxNameBytes));
        m_sawAdv = true;
        m_name = QString::fromUtf8(line.rest);
    } else if (line.verb == "SERVICE" && m_sawAdv) {
        return HandleService(line);
    } else if (line.verb == "END" && m_sawAdv) {
        m_advertised = true;
        return VLinkEvent{};
    }
    return std::nullopt;
}

std::optional<VLinkEvent> VLinkPeer::HandleService(const vlink::Line &line)
{
    if (line.args.isEmpty())
        return std::nullopt;
    const std::optional<QUuid> uuid = vlink::ParseUuid(line.args.first());
    if (!uuid)
        return std::nullopt;
    if (int(m_services.size()) >= MaxServices)
        return CutOff(QStringLiteral("advertised more than %1 services").arg(MaxServices));
    auto service = std::make_unique<VLinkService>(*uuid);
    for (qsizetype i = 1; i < line.args.size(); ++i) {
        const std::optional<QUuid> characteristic = vlink::ParseUuid(line.args[i]);
        if (!characteristic)
            continue;
        if (m_characteristicCount + int(service->characteristics.size()) >= MaxCharacteristics)
            return CutOff(QStringLiteral("advertised more than %1 characteristics").arg(MaxCharacteristics));
        service->characteristics.push_back(std::make_unique<VLinkCharacteristic>(*characteristic));
    }
    m_characteristicCount += int(service->characteristics.size());
    m_services.push_back(std::move(service));
    return std::nullopt;
}

std::optional<VLinkEvent> VLinkPeer::HandleSubscribed(const vlink::Line &line)
{
    if (!m_awaitedSubscribe || line.args.size() < 2)
        return std::nullopt;
    const std::optional<QUuid> uuid = vlink::ParseUuid(line.args[0]);
    const std::optional<int> status = vlink::ParseStatus(line.args[1]);
    if (!uuid || !status || *uuid != *m_awaitedSubscribe)
        return std::nullopt;
    m_awaitedSubscribe.reset();
    // Marked here, not when the central's wait returns, so a NOTIFY right
    // behind this line in the same read is already delivered.
    if (*status == 0) {
        if (VLinkCharacteristic *characteristic = FindCharacteristic(line.args[0]))
            characteristic->subscribed = true;
    }
    VLinkEvent event;
    event.kind = VLinkEvent::SubscribeAnswer;
    event.status = *status;
    return event;
}

std::optional<VLinkEvent> VLinkPeer::HandleWritten(const vlink::Line &line)
{
    if (line.args.size() < 2 || m_pendingWrites == 0)
        return std::nullopt;
    VLinkCharacteristic *characteristic = FindCharacteristic(line.args[0]);
    const std::optional<int> status = vlink::ParseStatus(line.args[1]);
    if (!characteristic || !status)
        return std::nullopt;
    --m_pendingWrites;
    VLinkEvent event;
    event.kind = VLinkEvent::Written;
    event.characteristic = characteristic;
    event.status = *status;
    return event;
}

std::optional<VLinkEvent> VLinkPeer::HandleNotify(const vlink::Line &line, bool failed)
{
    if (line.args.isEmpty())
        return std::nullopt;
    VLinkCharacteristic *characteristic = FindCharacteristic(line.args[0]);
    if (!characteristic || !characteristic->subscribed)
        return std::nullopt;
    VLinkEvent event;
    event.kind = VLinkEvent::Notified;
    event.characteristic = characteristic;
    if (failed) {
        // A failure that claims status 0 would read as success with no
        // bytes; such a line is malformed and ignored.
        const std::optional<int> parsed =
            line.args.size() >= 2 ? vlink::ParseStatus(line.args[1]) : std::nullopt;
        if (!parsed || *parsed == 0)
            return std::nullopt;
        event.status = *parsed;
    } else {
        std::optional<QByteArray> parsed =
            vlink::ParseHex(line.args.size() >= 2 ? QByteArrayView(line.args[1]) : QByteArrayView());
        if (!parsed)
            return std::nullopt;
        event.bytes = std::move(*parsed);
    }
    return event;
}

} // namespace devlink
