#pragma once
// The Bluetooth LE central over the virtual link: each configured endpoint is
// one simulated peripheral reached by TCP (protocol in docs/vlink.md).
//
// Chosen by TARVOLIN_LINK=vlink:HOST:PORT[,HOST:PORT...]. Like every
// TBluetoothLE it lives on the main thread and is only called there; every
// event is delivered from the main thread's event loop.

#include "link/bluetoothle.h"
#include "vlink/vlinkwire.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class QTcpSocket;

namespace devlink {

struct VLinkEndpoint {
    QString host;
    quint16 port = 0;
    bool operator==(const VLinkEndpoint &) const = default;
};

class VLinkDevice;

class VLinkBluetoothLE : public TBluetoothLE {
    Q_OBJECT
public:
    static constexpr int SubscribeTimeoutMs = 2000;

    explicit VLinkBluetoothLE(QList<VLinkEndpoint> endpoints, QObject *parent = nullptr);
    ~VLinkBluetoothLE() override;

    // "vlink:HOST:PORT[,HOST:PORT...]" -> endpoints. False (and `endpoints`
    // untouched) when the value is malformed: another prefix, an empty
    // host, a port that is not 1..65535. An IPv6 host goes in brackets.
    static bool ParseEndpoints(const QString &value, QList<VLinkEndpoint> *endpoints);

    QList<VLinkEndpoint> Endpoints() const { return m_endpoints; }
    QString Describe() const override;
    bool IsDiscovering() const { return m_scanning; }

    bool DiscoverDevices(int ms, QString *error) override;
    void CancelDiscovery() override;
    void DiscoverServices(TBluetoothLEDevice *device) override;
    void GetCharacteristics(TBluetoothGattService *service) override;
    bool SubscribeToCharacteristic(TBluetoothLEDevice *device,
                                   TBluetoothGattCharacteristic *characteristic) override;
    bool WriteCharacteristic(TBluetoothLEDevice *device,
                             TBluetoothGattCharacteristic *characteristic) override;

protected:
    void OpenSession() override;
    void CloseSession() override;

private:
    friend class VLinkDevice;

    void StopScan();
    void CloseAllConnections();
    VLinkDevice *OwnDevice(TBluetoothLEDevice *device) const;
    // Called by a device when its peripheral completed ADV...END.
    void DeviceAdvertised(VLinkDevice *device);
    // Incremented whenever the session closes or a scan restarts: queued work
    // from before must not deliver anything afterwards.
    quint64 Generation() const { return m_generation; }

    QList<VLinkEndpoint> m_endpoints;
    // One device per endpoint, reported again by every scan of the session
    // so a reference held by a caller never dangles; the services and
    // characteristics of a device last until its next scan.
    std::vector<std::unique_ptr<VLinkDevice>> m_devices;
    QTimer m_scanTimer;
    bool m_scanning = false;
    quint64 m_generation = 0;
};

} // namespace devlink
