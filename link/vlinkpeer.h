#pragma once
// What one peripheral on the virtual link has told the central, line by
// line, without its socket: VLinkBluetoothLE feeds it the received bytes and
// acts on the events it hands back, and the vlink fuzzer drives it alone.
//
// Every peer is a stranger: what one can make the central hold is capped.
// A peer that goes past the cap on its name, services or characteristics
// is cut off: from then on it is handed nothing and the central closes its
// connection. A line longer than the line codec takes is dropped whole.

#include "link/bluetoothle.h"
#include "vlink/vlinkwire.h"

#include <QUuid>

#include <memory>
#include <optional>
#include <vector>

namespace devlink {

class VLinkCharacteristic : public TBluetoothGattCharacteristic {
public:
    explicit VLinkCharacteristic(const QUuid &uuid) : m_uuid(uuid) {}
    QBluetoothUuid UUID() const override { return QBluetoothUuid(m_uuid); }
    const QUuid &Uuid() const { return m_uuid; }

    // Notifications reach the component only after the peripheral confirmed
    // SUBSCRIBE with status 0.
    bool subscribed = false;

private:
    QUuid m_uuid;
};

class VLinkService : public TBluetoothGattService {
public:
    explicit VLinkService(const QUuid &uuid) : m_uuid(uuid) {}
    QBluetoothUuid UUID() const override { return QBluetoothUuid(m_uuid); }
    TBluetoothGattCharacteristic *GetCharacteristic(const QBluetoothUuid &uuid) override;

    std::vector<std::unique_ptr<VLinkCharacteristic>> characteristics;
    bool loaded = false;

private:
    QUuid m_uuid;
};

// A line that asks the central to do something.
struct VLinkEvent {
    enum Kind {
        Advertised,       // END: report the device
        SubscribeAnswer,  // the awaited SUBSCRIBED; `status`
        Written,          // WRITTEN for an outstanding write; `characteristic`, `status`
        Notified,         // NOTIFY or NOTIFYERR; `characteristic`, `bytes`, `status`
        CutOff,           // past a cap: close the connection; `reason`
    };
    Kind kind = Advertised;
    VLinkCharacteristic *characteristic = nullptr;
    int status = 0;
    QByteArray bytes;
    QString reason;
};

class VLinkPeer {
public:
    // A device name as Bluetooth LE allows it, in bytes.
    static constexpr qsizetype MaxNameBytes = 248;
    static constexpr int MaxServices = 32;
    // All services of the device together.
    static constexpr int MaxCharacteristics = 128;

    // Another line limit is for fuzzing: lines at and past it cost bytes,
    // not megabytes.
    explicit VLinkPeer(qsizetype maxLineLength = vlink::MaxLineLength) : m_reader(maxLineLength) {}

    // Takes received bytes; the lines in them are handled by Next().
    void Receive(QByteArrayView bytes);
    // Handles the received lines up to the next one that asks the central
    // for something; nullopt when no complete line is left. After CutOff
    // nothing more is handed out.
    std::optional<VLinkEvent> Next();

    // What the central did, which decides what later lines count for.
    void NoteConnect() { m_connectSent = true; }
    void NoteWrite() { ++m_pendingWrites; }
    // The one SUBSCRIBED that counts, until it arrives or the wait ends.
    void AwaitSubscribe(const QUuid &uuid) { m_awaitedSubscribe = uuid; }
    void StopAwaiting() { m_awaitedSubscribe.reset(); }
    // The connection ended: writes in flight get no completion and no
    // notification is delivered until subscribed again.
    void Closed();

    const QString &Name() const { return m_name; }
    // The signal strength the peripheral advertised (RSSI line), in dBm;
    // RssiUnknown when it sent none.
    int Rssi() const { return m_rssi; }
    bool Advertised() const { return m_advertised; }
    bool ConnectNoted() const { return m_connectSent; }
    bool Connected() const { return m_connected; }
    bool IsCutOff() const { return m_cutOff; }
    const std::vector<std::unique_ptr<VLinkService>> &Services() const { return m_services; }
    int CharacteristicCount() const { return m_characteristicCount; }
    // Bytes received and not yet handed out as lines.
    qsizetype Buffered() const { return m_reader.Buffered(); }

    VLinkCharacteristic *FindCharacteristic(QByteArrayView uuidText) const;

private:
    std::optional<VLinkEvent> Handle(const vlink::Line &line);
    std::optional<VLinkEvent> HandleAdvertising(const vlink::Line &line);
    std::optional<VLinkEvent> HandleService(const vlink::Line &line);
    std::optional<VLinkEvent> HandleSubscribed(const vlink::Line &line);
    std::optional<VLinkEvent> HandleWritten(const vlink::Line &line);
    std::optional<VLinkEvent> HandleNotify(const vlink::Line &line, bool failed);
    VLinkEvent CutOff(const QString &reason);

    vlink::LineReader m_reader;
    QString m_name;
    int m_rssi = RssiUnknown;
    std::vector<std::unique_ptr<VLinkService>> m_services;
    int m_characteristicCount = 0;
    bool m_sawAdv = false;
    bool m_advertised = false;
    bool m_connectSent = false;
    bool m_connected = false;
    bool m_cutOff = false;
    int m_pendingWrites = 0;
    std::optional<QUuid> m_awaitedSubscribe;
};

} // namespace devlink
