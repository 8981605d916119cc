#pragma once
// The Bluetooth LE central as the link-up sequence and the exchange see it.
//
// Two implementations: QtBluetoothLE (the machine's real stack through Qt
// Bluetooth) and VLinkBluetoothLE (simulated peripherals over TCP, see
// docs/vlink.md). Both live on the main thread; every call below is made on
// the main thread and every event is delivered on it.
//
// Object lifetime: devices, services and characteristics belong to the
// component. A device stands for its peripheral for the whole session: every
// scan reports the same object for it again, so scan after scan adds none.
// Devices stay allocated until the component is enabled again (a new
// session) or destroyed, so a reference kept by a caller never dangles;
// services and characteristics stay at least until the next scan starts, so
// a caller takes them afresh after each scan. Once the component is disabled
// they are dead: IsConnected() is false and nothing is written or delivered
// through them.

#include <QBluetoothUuid>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

namespace devlink {

// The rssi that OnDiscoverLEDevice hands over when the stack reported no
// signal strength for the device (the value Bluetooth's host controller
// interface uses for "not available"; a received signal is at most +20 dBm).
inline constexpr int RssiUnknown = 127;

class TBluetoothGattCharacteristic {
public:
    virtual ~TBluetoothGattCharacteristic() = default;
    virtual QBluetoothUuid UUID() const = 0;
    // The value that the next WriteCharacteristic sends. Received bytes are
    // never stored here: they travel in the OnCharacteristicRead event.
    void SetValue(const QByteArray &value) { m_value = value; }
    QByteArray GetValue() const { return m_value; }

private:
    QByteArray m_value;
};

class TBluetoothGattService {
public:
    virtual ~TBluetoothGattService() = default;
    virtual QBluetoothUuid UUID() const = 0;
    // The loaded characteristic with that UUID, or nullptr (also before
    // TBluetoothLE::GetCharacteristics has loaded them).
    virtual TBluetoothGattCharacteristic *GetCharacteristic(const QBluetoothUuid &uuid) = 0;
};

class TBluetoothLEDevice {
public:
    virtual ~TBluetoothLEDevice() = default;
    virtual QString DeviceName() const = 0;
    // The device's address as the platform names it (empty where it has
    // none to give): the Bluetooth address, the system's device UUID where
    // addresses are hidden (macOS), HOST:PORT on the virtual link. Listed by
    // the tool's scan, and what pins the link-up to one meter
    // (MeterLink::Address).
    virtual QString Address() const { return {}; }
    virtual bool IsConnected() const = 0;
    // Asks for the connection; may return before it is up. Repeated calls
    // while a connection attempt is under way start nothing new.
    virtual void Connect() = 0;
    // Switches notifications on (or off) through the client configuration
    // descriptor 0x2902, processing events while it waits for the answer.
    // False when the characteristic cannot notify, has no such descriptor, or
    // the switch failed or was not confirmed in time.
    virtual bool SetCharacteristicNotification(TBluetoothGattCharacteristic *characteristic,
                                               bool enable) = 0;
};

class TBluetoothLE : public QObject {
    Q_OBJECT
public:
    using DiscoverLEDeviceHandler =
        std::function<void(TBluetoothLE *sender, TBluetoothLEDevice *device, int rssi,
                           const QByteArray &scanResponse)>;
    using EndDiscoverServicesHandler =
        std::function<void(TBluetoothLE *sender, const QList<TBluetoothGattService *> &services)>;
    using CharacteristicReadHandler =
        std::function<void(TBluetoothLE *sender, TBluetoothGattCharacteristic *characteristic,
                           const QByteArray &value, int gattStatus)>;
    using CharacteristicWriteHandler =
        std::function<void(TBluetoothLE *sender, TBluetoothGattCharacteristic *characteristic,
                           int gattStatus)>;

    explicit TBluetoothLE(QObject *parent = nullptr) : QObject(parent) {}
    ~TBluetoothLE() override = default;

    // Events; called on the main thread, one at a time, in the order the
    // peripheral sent them. Only delivered while the component is enabled.
    DiscoverLEDeviceHandler OnDiscoverLEDevice;
    EndDiscoverServicesHandler OnEndDiscoverServices;
    CharacteristicReadHandler OnCharacteristicRead;
    CharacteristicWriteHandler OnCharacteristicWrite;

    // Read by the worker without a lock while it watches the link-up.
    bool Enabled() const { return m_enabled.load(std::memory_order_acquire); }
    // true opens a session if none is open; false stops a running scan, ends
    // every connection and invalidates the session's objects.
    void SetEnabled(bool enabled);

    // Starts an unfiltered scan that stops by itself after `ms`. Returns false
    // with a reason in `error` when no adapter is available or the scan
    // cannot start.
    virtual bool DiscoverDevices(int ms, QString *error) = 0;
    virtual void CancelDiscovery() = 0;
    // Connects as far as needed, lists the primary services and reports them
    // through OnEndDiscoverServices (possibly before this call returns).
    virtual void DiscoverServices(TBluetoothLEDevice *device) = 0;
    // Loads a service's characteristics so GetCharacteristic can find them.
    virtual void GetCharacteristics(TBluetoothGattService *service) = 0;
    virtual bool SubscribeToCharacteristic(TBluetoothLEDevice *device,
                                           TBluetoothGattCharacteristic *characteristic) = 0;
    // Starts a write of characteristic->GetValue(); its completion comes once
    // through OnCharacteristicWrite. Starts nothing while disabled.
    virtual bool WriteCharacteristic(TBluetoothLEDevice *device,
                                     TBluetoothGattCharacteristic *characteristic) = 0;

    // What this link is, for the trace's header and the About box: the
    // virtual link with its endpoints, or Qt Bluetooth with its backend and
    // the adapter once a scan has found it.
    virtual QString Describe() const { return {}; }

    // Non-empty once the platform reported an error since the session opened
    // (during discovery, connection or subscription); the link-up sequence
    // gives up when it sees one.
    QString PlatformError() const { return m_platformError; }

protected:
    virtual void OpenSession() = 0;  // Enabled false -> true
    virtual void CloseSession() = 0; // Enabled true -> false
    void ReportPlatformError(const QString &error);

private:
    std::atomic<bool> m_enabled{false};
    QString m_platformError;
};

} // namespace devlink
