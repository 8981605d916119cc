#pragma once
// Bluetooth LE through the machine's own stack, by way of Qt Bluetooth: BlueZ
// over the system D-Bus on Linux, the WinRT stack on Windows, CoreBluetooth on
// macOS. See docs/ble.md for what each platform needs and how this is tested.
//
// Everything here runs on the main thread. Qt's objects of a session (the
// scan agent, one controller per device, its service objects) are children of
// a per-session context object; switching the link off stops and disconnects
// them at once and deletes them later, while the wrapper objects handed to the
// caller stay allocated until the next session opens (see bluetoothle.h).

#include "link/bluetoothle.h"
#include "link/gattwritequeue.h"

#include <QBluetoothDeviceInfo>
#include <QLowEnergyController>
#include <QLowEnergyService>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QBluetoothDeviceDiscoveryAgent;

namespace devlink {

namespace bluez {
class NameWatch;
}

class QtBluetoothLE : public TBluetoothLE {
    Q_OBJECT
public:
    // The longest SetCharacteristicNotification waits for the peripheral.
    static constexpr int NotificationTimeoutMs = 2000;

    explicit QtBluetoothLE(QObject *parent = nullptr);
    ~QtBluetoothLE() override;

    bool DiscoverDevices(int ms, QString *error) override;
    void CancelDiscovery() override;
    void DiscoverServices(TBluetoothLEDevice *device) override;
    void GetCharacteristics(TBluetoothGattService *service) override;
    bool SubscribeToCharacteristic(TBluetoothLEDevice *device,
                                   TBluetoothGattCharacteristic *characteristic) override;
    bool WriteCharacteristic(TBluetoothLEDevice *device,
                             TBluetoothGattCharacteristic *characteristic) override;
    QString Describe() const override;

signals:
    // Emitted when the session closes, so that a wait in progress ends at once.
    void sessionClosed();

protected:
    void OpenSession() override;
    void CloseSession() override;

private:
    class Device;
    class Service;
    class Characteristic;

    bool IsLive(const Device *device) const;
    Device *LiveDevice(TBluetoothLEDevice *device) const;
    Device *DeviceFor(const QBluetoothDeviceInfo &info);
    void OnDeviceSeen(const QBluetoothDeviceInfo &info);
    void OnNameFromBluez(const QString &address);
    void ReportDevice(Device *device);
    void OnScanError(const QString &error);
    void NoteAdapter();
    void StopScan();

    QLowEnergyController *ControllerFor(Device *device);
    void ConnectDevice(Device *device);
    void OnConnected(Device *device);
    void OnDisconnected(Device *device);
    void OnControllerError(Device *device, const QString &error);
    void OnServicesDiscovered(Device *device);
    void WatchService(Device *device, Service *service);
    void OnServiceState(Device *device, Service *service, QLowEnergyService::ServiceState state);
    void OnServiceError(Device *device, Service *service, QLowEnergyService::ServiceError error);
    void LoadCharacteristics(Service *service);
    void FinishServiceDiscovery(Device *device);
    void ReportServices(Device *device);

    bool SwitchNotifications(Device *device, Characteristic *characteristic, bool enable);
    void StartNextWrite(Device *device);
    void OnWritten(Device *device, Service *service, const QLowEnergyCharacteristic &written);
    void FailWrites(Device *device, int status);
    void OnChanged(Service *service, const QLowEnergyCharacteristic &changed,
                   const QByteArray &value);

    // Hands one event to the caller's handler. An event raised while a handler
    // runs (a handler that processes window events) waits until it returns, so
    // handlers run one at a time and in order. False when a handler destroyed
    // the component.
    bool Deliver(std::function<void()> event);

    quint64 m_generation = 0;           // changes whenever a session opens or closes
    QObject *m_session = nullptr;       // parent of this session's Qt objects
    QBluetoothDeviceDiscoveryAgent *m_agent = nullptr;
    QString m_scanError;
    QString m_adapter; // "name (address)" of the adapter the last scan used
    bluez::NameWatch *m_names; // listens while a scan runs
    std::vector<std::unique_ptr<Device>> m_devices; // of the open or the last closed session
    std::deque<std::function<void()>> m_events;
    bool m_delivering = false;
};

} // namespace devlink
