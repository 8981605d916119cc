#include "link/vlinkbluetoothle.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <optional>

namespace devlink {

namespace {

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

    TBluetoothGattCharacteristic *GetCharacteristic(const QBluetoothUuid &uuid) override
    {
        if (!loaded)
            return nullptr;
        for (const auto &characteristic : characteristics) {
            if (characteristic->Uuid() == QUuid(uuid))
                return characteristic.get();
        }
        return nullptr;
    }

    std::vector<std::unique_ptr<VLinkCharacteristic>> characteristics;
    bool loaded = false;

private:
    QUuid m_uuid;
};

} // namespace

// One simulated peripheral: its TCP connection and what it told us.
class VLinkDevice : public TBluetoothLEDevice {
public:
    VLinkDevice(VLinkBluetoothLE *owner, const VLinkEndpoint &endpoint)
        : m_owner(owner), m_endpoint(endpoint)
    {
    }
    ~VLinkDevice() override { Close(); }

    QString DeviceName() const override { return m_name; }
    QString Address() const override { return QStringLiteral("%1:%2").arg(m_endpoint.host).arg(m_endpoint.port); }
    bool IsConnected() const override { return m_connected && m_socket && m_owner->Enabled(); }

    void Connect() override
    {
        if (!m_owner->Enabled() || !m_socket || !m_advertised || m_connectSent)
            return;
        m_connectSent = true;
        Send(vlink::FormatLine({"CONNECT"}));
    }

    bool SetCharacteristicNotification(TBluetoothGattCharacteristic *characteristic,
                                       bool enable) override;

    void Open();
    // Ends the connection; nothing more is delivered through this device.
    void Close();

    bool IsOpen() const { return m_socket != nullptr; }
    bool Advertised() const { return m_advertised; }
    bool Busy() const { return m_subscribeLoop != nullptr; }

    QList<TBluetoothGattService *> Services() const
    {
        QList<TBluetoothGattService *> list;
        for (const auto &service : m_services)
            list.append(service.get());
        return list;
    }
    VLinkService *OwnService(TBluetoothGattService *service) const
    {
        for (const auto &own : m_services) {
            if (own.get() == service)
                return own.get();
        }
        return nullptr;
    }
    VLinkCharacteristic *OwnCharacteristic(TBluetoothGattCharacteristic *characteristic) const
    {
        for (const auto &service : m_services) {
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
        ++m_pendingWrites;
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
    VLinkCharacteristic *FindCharacteristic(QByteArrayView uuidText) const;
    void OnReadyRead();
    void OnClosed();
    void Handle(const vlink::Line &line);
    void HandleService(const vlink::Line &line);
    void HandleSubscribed(const vlink::Line &line);
    void HandleWritten(const vlink::Line &line);
    void HandleNotify(const vlink::Line &line, bool failed);

    VLinkBluetoothLE *m_owner;
    VLinkEndpoint m_endpoint;
    QTcpSocket *m_socket = nullptr;
    vlink::LineReader m_reader;
    QString m_name;
    std::vector<std::unique_ptr<VLinkService>> m_services;
    bool m_sawAdv = false;
    bool m_advertised = false;
    bool m_connectSent = false;
    bool m_connected = false;
    int m_pendingWrites = 0;
    // The SUBSCRIBE currently awaited (one at a time).
    QEventLoop *m_subscribeLoop = nullptr;
    QUuid m_awaitedSubscribe;
    std::optional<int> m_subscribeStatus;
};

void VLinkDevice::Open()
{
    m_socket = new QTcpSocket(m_owner);
    QTcpSocket *socket = m_socket;
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this] { OnReadyRead(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this] { OnClosed(); });
    // A refused connection never reaches `disconnected`.
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [this] { OnClosed(); });
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
    }
    m_connected = false;
    // A lost link: writes still in flight get no completion.
    m_pendingWrites = 0;
    for (const auto &service : m_services) {
        for (const auto &characteristic : service->characteristics)
            characteristic->subscribed = false;
    }
    if (m_subscribeLoop)
        m_subscribeLoop->quit();
}

void VLinkDevice::OnReadyRead()
{
    QTcpSocket *socket = m_socket;
    if (!socket)
        return;
    m_reader.Append(socket->readAll());
    while (m_socket == socket) {
        const std::optional<QByteArray> text = m_reader.Next();
        if (!text)
            break;
        Handle(vlink::ParseLine(*text));
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

VLinkCharacteristic *VLinkDevice::FindCharacteristic(QByteArrayView uuidText) const
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

void VLinkDevice::Handle(const vlink::Line &line)
{
    if (!m_advertised) {
        if (line.verb == "ADV" && !m_sawAdv) {
            m_sawAdv = true;
            m_name = QString::fromUtf8(line.rest);
        } else if (line.verb == "SERVICE" && m_sawAdv) {
            HandleService(line);
        } else if (line.verb == "END" && m_sawAdv) {
            m_advertised = true;
            m_owner->DeviceAdvertised(this);
        }
        return;
    }
    if (line.verb == "CONNECTED") {
        if (m_connectSent)
            m_connected = true;
    } else if (line.verb == "SUBSCRIBED") {
        HandleSubscribed(line);
    } else if (line.verb == "WRITTEN") {
        HandleWritten(line);
    } else if (line.verb == "NOTIFY") {
        HandleNotify(line, false);
    } else if (line.verb == "NOTIFYERR") {
        HandleNotify(line, true);
    }
}

void VLinkDevice::HandleService(const vlink::Line &line)
{
    if (line.args.isEmpty())
        return;
    const std::optional<QUuid> uuid = vlink::ParseUuid(line.args.first());
    if (!uuid)
        return;
    auto service = std::make_unique<VLinkService>(*uuid);
    for (qsizetype i = 1; i < line.args.size(); ++i) {
        if (const std::optional<QUuid> characteristic = vlink::ParseUuid(line.args[i]))
            service->characteristics.push_back(std::make_unique<VLinkCharacteristic>(*characteristic));
    }
    m_services.push_back(std::move(service));
}

void VLinkDevice::HandleSubscribed(const vlink::Line &line)
{
    if (!m_subscribeLoop || line.args.size() < 2)
        return;
    const std::optional<QUuid> uuid = vlink::ParseUuid(line.args[0]);
    const std::optional<int> status = vlink::ParseStatus(line.args[1]);
    if (!uuid || !status || *uuid != m_awaitedSubscribe)
        return;
    m_subscribeStatus = status;
    // Marked here, not when the wait returns, so a NOTIFY right behind this
    // line in the same read is already delivered.
    if (*status == 0) {
        if (VLinkCharacteristic *characteristic = FindCharacteristic(line.args[0]))
            characteristic->subscribed = true;
    }
    m_subscribeLoop->quit();
}

void VLinkDevice::HandleWritten(const vlink::Line &line)
{
    if (line.args.size() < 2 || m_pendingWrites == 0)
        return;
    VLinkCharacteristic *characteristic = FindCharacteristic(line.args[0]);
    const std::optional<int> status = vlink::ParseStatus(line.args[1]);
    if (!characteristic || !status)
        return;
    --m_pendingWrites;
    if (m_owner->Enabled() && m_owner->OnCharacteristicWrite)
        m_owner->OnCharacteristicWrite(m_owner, characteristic, *status);
}

void VLinkDevice::HandleNotify(const vlink::Line &line, bool failed)
{
    if (line.args.isEmpty())
        return;
    VLinkCharacteristic *characteristic = FindCharacteristic(line.args[0]);
    if (!characteristic || !characteristic->subscribed)
        return;
    QByteArray bytes;
    int status = 0;
    if (failed) {
        // A failure that claims status 0 would read as success with no
        // bytes; such a line is malformed and ignored.
        const std::optional<int> parsed =
            line.args.size() >= 2 ? vlink::ParseStatus(line.args[1]) : std::nullopt;
        if (!parsed || *parsed == 0)
            return;
        status = *parsed;
    } else {
        const std::optional<QByteArray> parsed =
            vlink::ParseHex(line.args.size() >= 2 ? QByteArrayView(line.args[1]) : QByteArrayView());
        if (!parsed)
            return;
        bytes = *parsed;
    }
    if (m_owner->Enabled() && m_owner->OnCharacteristicRead)
        m_owner->OnCharacteristicRead(m_owner, characteristic, bytes, status);
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
    m_awaitedSubscribe = own->Uuid();
    m_subscribeStatus.reset();
    Send(vlink::FormatLine({"SUBSCRIBE", vlink::FormatUuid(own->Uuid())}));
    QTimer::singleShot(VLinkBluetoothLE::SubscribeTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (!owner)
        return false; // the component, and this device with it, is gone
    m_subscribeLoop = nullptr;
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
    for (const VLinkEndpoint &endpoint : m_endpoints) {
        m_devices.push_back(std::make_unique<VLinkDevice>(this, endpoint));
        m_devices.back()->Open();
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
    if (m_scanning && Enabled() && OnDiscoverLEDevice)
        OnDiscoverLEDevice(this, device, 0, QByteArray());
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
