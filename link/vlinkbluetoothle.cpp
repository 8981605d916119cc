#include "link/vlinkbluetoothle.h"

#include "link/vlinkpeer.h"
#include "protocol/trace.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpSocket>

#include <algorithm>
#include <optional>
#include <vector>

// Our own category: the tool keeps Qt's own warnings quiet, not these.
Q_LOGGING_CATEGORY(lcVlink, "tarvolin.vlink", QtWarningMsg)

namespace devlink {

// One simulated peripheral: its TCP connection and what it told us.
class VLinkDevice : public TBluetoothLEDevice {
public:
    // What one readyRead may hand over: together with the line reader's
    // limit, the bytes a peer can make us hold before they are handled.
    static constexpr qint64 ReadBufferSize = 64 * 1024;

    VLinkDevice(VLinkBluetoothLE *owner, const VLinkEndpoint &endpoint)
        : m_owner(owner), m_endpoint(endpoint)
    {
    }
    ~VLinkDevice() override { Close(); }

    QString DeviceName() const override { return m_peer.Name(); }
    QString Address() const override { return QStringLiteral("%1:%2").arg(m_endpoint.host).arg(m_endpoint.port); }
    bool IsConnected() const override { return m_peer.Connected() && m_socket && m_owner->Enabled(); }

    void Connect() override
    {
        if (!m_owner->Enabled() || !m_socket || !m_peer.Advertised() || m_peer.ConnectNoted())
            return;
        m_peer.NoteConnect();
        Send(vlink::FormatLine({"CONNECT"}));
    }

    bool SetCharacteristicNotification(TBluetoothGattCharacteristic *characteristic,
                                       bool enable) override;

    void Open();
    // Ends the connection; nothing more is delivered through this device.
    void Close();
    // Starts over for a new scan: the connection ends, what the peripheral
    // told us goes (its services and characteristics with it), and a new
    // connection waits for it to advertise again. The object itself stays,
    // since a caller may hold it from an earlier scan.
    void Restart()
    {
        Close();
        m_peer = VLinkPeer();
        m_subscribeStatus.reset();
        Open();
    }
    const VLinkEndpoint &Endpoint() const { return m_endpoint; }

    bool IsOpen() const { return m_socket != nullptr; }
    int Rssi() const { return m_peer.Rssi(); }
    bool Advertised() const { return m_peer.Advertised(); }
    bool Busy() const { return m_subscribeLoop != nullptr; }
    // Handed to the caller through OnDiscoverLEDevice.
    bool reported = false;

    QList<TBluetoothGattService *> Services() const
    {
        QList<TBluetoothGattService *> list;
        for (const auto &service : m_peer.Services())
            list.append(service.get());
        return list;
    }
    VLinkService *OwnService(TBluetoothGattService *service) const
    {
        for (const auto &own : m_peer.Services()) {
            if (own.get() == service)
                return own.get();
        }
        return nullptr;
    }
    VLinkCharacteristic *OwnCharacteristic(TBluetoothGattCharacteristic *characteristic) const
    {
        for (const auto &service : m_peer.Services()) {
            for (const auto &own : service->characteristics) {
                if (own.get() == characteristic)
                    return own.get();
            }
        }
        return nullptr;
    }

    bool Write(VLinkCharacteristic *characteristic)
    {
        if (!IsConnected())
            return false;
        m_peer.NoteWrite();
        Send(vlink::FormatLine({"WRITE", vlink::FormatUuid(characteristic->Uuid()),
                                vlink::FormatHex(characteristic->GetValue())}));
        return true;
    }

private:
    void Send(const QByteArray &line)
    {
        if (m_socket)
            m_socket->write(line);
    }
    void OnReadyRead();
    void OnClosed();
    void Apply(const VLinkEvent &event);

    VLinkBluetoothLE *m_owner;
    VLinkEndpoint m_endpoint;
    QTcpSocket *m_socket = nullptr;
    // Closed sockets whose deferred delete has not run yet. Inside one long
    // event handler (a window repeating its link-up inside one click) the
    // event loop never gets to them, so each new connection deletes those
    // Qt allows at that point (none that is inside its own signal).
    std::vector<QPointer<QTcpSocket>> m_closed;
    // The sockets whose signal is being handled, innermost last: a handler
    // may scan again, and a socket must not go inside its own signal.
    std::vector<QTcpSocket *> m_inSignal;
    void InSignalOf(QTcpSocket *socket, void (VLinkDevice::*handle)())
    {
        m_inSignal.push_back(socket);
        (this->*handle)();
        m_inSignal.pop_back();
    }
    VLinkPeer m_peer;
    // The SUBSCRIBE currently awaited (one at a time).
    QEventLoop *m_subscribeLoop = nullptr;
    std::optional<int> m_subscribeStatus;
};

void VLinkDevice::Open()
{
    for (const QPointer<QTcpSocket> &closed : m_closed) {
        if (closed && std::find(m_inSignal.begin(), m_inSignal.end(), closed.data()) == m_inSignal.end())
            QCoreApplication::sendPostedEvents(closed, QEvent::DeferredDelete);
    }
    std::erase_if(m_closed, [](const QPointer<QTcpSocket> &closed) { return closed.isNull(); });
    m_socket = new QTcpSocket(m_owner);
    QTcpSocket *socket = m_socket;
    socket->setReadBufferSize(ReadBufferSize);
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    });
    const auto readable = [this, socket] { InSignalOf(socket, &VLinkDevice::OnReadyRead); };
    const auto closed = [this, socket] { InSignalOf(socket, &VLinkDevice::OnClosed); };
    QObject::connect(socket, &QTcpSocket::readyRead, socket, readable);
    QObject::connect(socket, &QTcpSocket::disconnected, socket, closed);
    // A refused connection never reaches `disconnected`.
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, closed);
    // An address needs no name lookup (and no lookup thread).
    const QHostAddress address(m_endpoint.host);
    if (address.isNull())
        socket->connectToHost(m_endpoint.host, m_endpoint.port);
    else
        socket->connectToHost(address, m_endpoint.port);
}

void VLinkDevice::Close()
{
    if (m_socket) {
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        socket->disconnect();
        socket->abort();
        // Close may run inside one of this socket's own signals.
        socket->deleteLater();
        m_closed.emplace_back(socket);
    }
    // A lost link: writes still in flight get no completion.
    m_peer.Closed();
    if (m_subscribeLoop)
        m_subscribeLoop->quit();
}

void VLinkDevice::OnReadyRead()
{
    QTcpSocket *socket = m_socket;
    if (!socket)
        return;
    m_peer.Receive(socket->readAll());
    while (m_socket == socket) {
        const std::optional<VLinkEvent> event = m_peer.Next();
        if (!event)
            break;
        Apply(*event);
    }
}

void VLinkDevice::OnClosed()
{
    if (!m_socket)
        return;
    // Lines the peripheral sent right before it closed still count.
    OnReadyRead();
    Close();
}

void VLinkDevice::Apply(const VLinkEvent &event)
{
    switch (event.kind) {
    case VLinkEvent::Advertised:
        m_owner->DeviceAdvertised(this);
        break;
    case VLinkEvent::SubscribeAnswer:
        if (m_subscribeLoop) {
            m_subscribeStatus = event.status;
            m_subscribeLoop->quit();
        }
        break;
    case VLinkEvent::Written:
        if (m_owner->Enabled() && m_owner->OnCharacteristicWrite)
            m_owner->OnCharacteristicWrite(m_owner, event.characteristic, event.status);
        break;
    case VLinkEvent::Notified:
        if (m_owner->Enabled() && m_owner->OnCharacteristicRead)
            m_owner->OnCharacteristicRead(m_owner, event.characteristic, event.bytes, event.status);
        break;
    case VLinkEvent::CutOff: {
        const QString note = QStringLiteral("vlink peer %1 cut off: it %2").arg(Address(), event.reason);
        protocol::Trace::Note([&] { return note; });
        qCWarning(lcVlink, "%s", qUtf8Printable(note));
        Close();
        break;
    }
    }
}

bool VLinkDevice::SetCharacteristicNotification(TBluetoothGattCharacteristic *characteristic,
                                                bool enable)
{
    VLinkCharacteristic *own = OwnCharacteristic(characteristic);
    if (!own)
        return false;
    if (!enable) {
        // The virtual link has no unsubscribe; we simply stop delivering.
        own->subscribed = false;
        return true;
    }
    if (!IsConnected() || m_subscribeLoop)
        return false;
    QPointer<VLinkBluetoothLE> owner(m_owner);
    QEventLoop loop;
    m_subscribeLoop = &loop;
    m_peer.AwaitSubscribe(own->Uuid());
    m_subscribeStatus.reset();
    Send(vlink::FormatLine({"SUBSCRIBE", vlink::FormatUuid(own->Uuid())}));
    QTimer::singleShot(VLinkBluetoothLE::SubscribeTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (!owner)
        return false; // the component, and this device with it, is gone
    m_subscribeLoop = nullptr;
    m_peer.StopAwaiting();
    const bool ok = m_subscribeStatus == 0 && IsConnected();
    own->subscribed = ok;
    return ok;
}

// ---------------------------------------------------------------------------

VLinkBluetoothLE::VLinkBluetoothLE(QList<VLinkEndpoint> endpoints, QObject *parent)
    : TBluetoothLE(parent), m_endpoints(std::move(endpoints))
{
    m_scanTimer.setSingleShot(true);
    connect(&m_scanTimer, &QTimer::timeout, this, [this] { StopScan(); });
}

VLinkBluetoothLE::~VLinkBluetoothLE()
{
    m_scanTimer.stop();
    CloseAllConnections();
}

QString VLinkBluetoothLE::Describe() const
{
    QStringList endpoints;
    for (const VLinkEndpoint &e : m_endpoints)
        endpoints << (e.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2"))
                         .arg(e.host)
                         .arg(e.port);
    return QStringLiteral("virtual link to %1").arg(endpoints.join(QStringLiteral(", ")));
}

bool VLinkBluetoothLE::ParseEndpoints(const QString &value, QList<VLinkEndpoint> *endpoints)
{
    static const QString prefix = QStringLiteral("vlink:");
    if (!value.startsWith(prefix))
        return false;
    QList<VLinkEndpoint> parsed;
    for (const QString &item : value.mid(prefix.size()).split(QLatin1Char(','))) {
        const QString text = item.trimmed();
        QString host;
        QString port;
        if (text.startsWith(QLatin1Char('['))) {
            const qsizetype close = text.indexOf(QLatin1Char(']'));
            if (close < 0 || text.mid(close + 1, 1) != QLatin1String(":"))
                return false;
            host = text.mid(1, close - 1);
            port = text.mid(close + 2);
        } else {
            const qsizetype colon = text.indexOf(QLatin1Char(':'));
            // One colon only: an IPv6 address must be bracketed.
            if (colon < 0 || text.indexOf(QLatin1Char(':'), colon + 1) >= 0)
                return false;
            host = text.left(colon);
            port = text.mid(colon + 1);
        }
        bool ok = false;
        const uint number = port.toUInt(&ok, 10);
        if (host.isEmpty() || !ok || number < 1 || number > 65535 || port.startsWith(QLatin1Char('+')))
            return false;
        parsed.append({host, static_cast<quint16>(number)});
    }
    *endpoints = parsed;
    return true;
}

bool VLinkBluetoothLE::DiscoverDevices(int ms, QString *error)
{
    if (!Enabled() || m_endpoints.isEmpty()) {
        if (error)
            *error = Enabled() ? tr("No virtual link endpoint is configured.")
                               : tr("The Bluetooth LE component is not enabled.");
        return false;
    }
    // A new scan starts from nothing: earlier connections end first.
    m_scanTimer.stop();
    m_scanning = false;
    CloseAllConnections();
    ++m_generation;
    m_scanning = true;
    m_scanTimer.start(std::max(ms, 0));
    // Each endpoint keeps its device object for the session, so scan after
    // scan adds nothing (a window repeating its link-up for hours scans
    // thousands of times). A device still inside its subscription wait is
    // on the stack: it is left as it is and a new one stands in for it.
    std::vector<std::unique_ptr<VLinkDevice>> previous = std::move(m_devices);
    m_devices.clear();
    for (const VLinkEndpoint &endpoint : m_endpoints) {
        const auto reusable = std::find_if(previous.begin(), previous.end(), [&](const auto &device) {
            return device && !device->Busy() && device->Endpoint() == endpoint;
        });
        if (reusable == previous.end()) {
            m_devices.push_back(std::make_unique<VLinkDevice>(this, endpoint));
            m_devices.back()->Open();
        } else {
            m_devices.push_back(std::move(*reusable));
            m_devices.back()->Restart();
        }
    }
    // Of the rest, those never handed to the caller go (nobody can hold
    // them); the others stay until the session ends.
    for (auto &device : previous) {
        if (device && (device->Busy() || device->reported))
            m_devices.push_back(std::move(device));
    }
    return true;
}

void VLinkBluetoothLE::CancelDiscovery()
{
    StopScan();
}

void VLinkBluetoothLE::StopScan()
{
    m_scanTimer.stop();
    if (!m_scanning)
        return;
    m_scanning = false;
    // Peripherals that have not finished advertising were not seen.
    for (const auto &device : m_devices) {
        if (!device->Advertised())
            device->Close();
    }
}

void VLinkBluetoothLE::CloseAllConnections()
{
    for (const auto &device : m_devices)
        device->Close();
}

VLinkDevice *VLinkBluetoothLE::OwnDevice(TBluetoothLEDevice *device) const
{
    for (const auto &own : m_devices) {
        if (own.get() == device)
            return own.get();
    }
    return nullptr;
}

void VLinkBluetoothLE::DeviceAdvertised(VLinkDevice *device)
{
    if (m_scanning && Enabled() && OnDiscoverLEDevice) {
        device->reported = true;
        OnDiscoverLEDevice(this, device, device->Rssi(), QByteArray());
    }
}

void VLinkBluetoothLE::DiscoverServices(TBluetoothLEDevice *device)
{
    VLinkDevice *own = OwnDevice(device);
    if (!own || !Enabled())
        return;
    const quint64 generation = m_generation;
    // Reported from the event loop, as a real stack does.
    QMetaObject::invokeMethod(
        this,
        [this, own, generation] {
            if (generation != m_generation || !Enabled())
                return;
            if (!own->IsOpen()) {
                ReportPlatformError(tr("The peripheral closed the connection."));
                return;
            }
            if (OnEndDiscoverServices)
                OnEndDiscoverServices(this, own->Services());
        },
        Qt::QueuedConnection);
}

void VLinkBluetoothLE::GetCharacteristics(TBluetoothGattService *service)
{
    for (const auto &device : m_devices) {
        if (VLinkService *own = device->OwnService(service)) {
            own->loaded = true;
            return;
        }
    }
}

bool VLinkBluetoothLE::SubscribeToCharacteristic(TBluetoothLEDevice *device,
                                                 TBluetoothGattCharacteristic *characteristic)
{
    VLinkDevice *own = OwnDevice(device);
    if (!own || !Enabled())
        return false;
    VLinkCharacteristic *ownCharacteristic = own->OwnCharacteristic(characteristic);
    if (ownCharacteristic && ownCharacteristic->subscribed && own->IsConnected())
        return true;
    return own->SetCharacteristicNotification(characteristic, true);
}

bool VLinkBluetoothLE::WriteCharacteristic(TBluetoothLEDevice *device,
                                           TBluetoothGattCharacteristic *characteristic)
{
    VLinkDevice *own = OwnDevice(device);
    if (!own || !Enabled())
        return false;
    VLinkCharacteristic *ownCharacteristic = own->OwnCharacteristic(characteristic);
    return ownCharacteristic && own->Write(ownCharacteristic);
}

void VLinkBluetoothLE::OpenSession()
{
    ++m_generation;
    // A device still waiting inside SetCharacteristicNotification is on the
    // stack; it is kept until a later session finds it idle.
    std::vector<std::unique_ptr<VLinkDevice>> busy;
    for (auto &device : m_devices) {
        if (device->Busy())
            busy.push_back(std::move(device));
    }
    m_devices = std::move(busy);
}

void VLinkBluetoothLE::CloseSession()
{
    m_scanTimer.stop();
    m_scanning = false;
    CloseAllConnections();
    ++m_generation;
}

} // namespace devlink
