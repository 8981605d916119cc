#include "link/qtbluetoothle.h"

#include "link/qtbluez.h"
#include "protocol/trace.h"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothLocalDevice>
#include <QEventLoop>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyDescriptor>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace devlink {

namespace {

// Status handed to OnCharacteristicWrite when a write did not complete. Not a
// GATT code from the peripheral: the stack only tells us that it failed.
constexpr int WriteFailed = 0x101;

QString DeviceKey(const QBluetoothDeviceInfo &info)
{
    // macOS hides addresses and identifies devices by a per-host UUID.
    return info.address().isNull() ? info.deviceUuid().toString() : info.address().toString();
}

} // namespace

// ---------------------------------------------------------------------------
// The objects handed out to the caller. They hold no Qt object of their own
// beyond pointers into the session; the backend does all the work.

class QtBluetoothLE::Characteristic final : public TBluetoothGattCharacteristic {
public:
    Characteristic(Service *service, const QBluetoothUuid &uuid) : m_service(service), m_uuid(uuid) {}
    QBluetoothUuid UUID() const override { return m_uuid; }

    Service *const m_service;
    const QBluetoothUuid m_uuid;
    bool m_notifying = false;
};

class QtBluetoothLE::Service final : public TBluetoothGattService {
public:
    Service(Device *device, const QBluetoothUuid &uuid) : m_device(device), m_uuid(uuid) {}
    QBluetoothUuid UUID() const override { return m_uuid; }
    TBluetoothGattCharacteristic *GetCharacteristic(const QBluetoothUuid &uuid) override
    {
        if (!m_loaded)
            return nullptr;
        for (const auto &c : m_characteristics)
            if (c->m_uuid == uuid)
                return c.get();
        return nullptr;
    }
    Characteristic *Find(const QBluetoothUuid &uuid)
    {
        for (const auto &c : m_characteristics)
            if (c->m_uuid == uuid)
                return c.get();
        return nullptr;
    }

    Device *const m_device;
    const QBluetoothUuid m_uuid;
    QLowEnergyService *m_service = nullptr; // child of the device's controller
    bool m_detailsPending = false;
    bool m_loaded = false; // GetCharacteristics was asked for
    std::vector<std::unique_ptr<Characteristic>> m_characteristics;
};

class QtBluetoothLE::Device final : public TBluetoothLEDevice {
public:
    Device(QtBluetoothLE *owner, const QBluetoothDeviceInfo &info)
        : m_owner(owner), m_generation(owner->m_generation), m_info(info), m_name(info.name())
    {
    }
    QString DeviceName() const override { return m_name; }
    QString Address() const override
    {
        // Platforms that hide addresses (macOS) identify devices by a UUID.
        return m_info.address().isNull() ? m_info.deviceUuid().toString() : m_info.address().toString();
    }
    bool IsConnected() const override
    {
        if (!m_owner->IsLive(this) || m_failed || !m_controller)
            return false;
        const auto state = m_controller->state();
        return state == QLowEnergyController::ConnectedState ||
               state == QLowEnergyController::DiscoveringState ||
               state == QLowEnergyController::DiscoveredState;
    }
    void Connect() override
    {
        if (m_owner->IsLive(this))
            m_owner->ConnectDevice(this);
    }
    bool SetCharacteristicNotification(TBluetoothGattCharacteristic *characteristic,
                                       bool enable) override
    {
        auto *c = dynamic_cast<Characteristic *>(characteristic);
        return c && m_owner->SwitchNotifications(this, c, enable);
    }
    Service *Find(const QBluetoothUuid &uuid)
    {
        for (const auto &s : m_services)
            if (s->m_uuid == uuid)
                return s.get();
        return nullptr;
    }

    QtBluetoothLE *const m_owner;
    const quint64 m_generation;
    QString m_key;
    QBluetoothDeviceInfo m_info;
    QString m_name;
    int m_rssi = RssiUnknown;
    bool m_reported = false; // reported by the current scan, under m_reportedName
    QString m_reportedName;
    QLowEnergyController *m_controller = nullptr; // child of the session context
    bool m_failed = false;       // the stack reported an error for this connection
    bool m_wantServices = false; // DiscoverServices waits for the connection
    bool m_discovering = false;  // services or their details are being listed
    std::vector<std::unique_ptr<Service>> m_services; // in the order the stack listed them
    std::vector<Service *> m_listed;                  // those of the latest listing
    GattWriteQueue<Characteristic *> m_writes;
};

// ---------------------------------------------------------------------------

QtBluetoothLE::QtBluetoothLE(QObject *parent) : TBluetoothLE(parent)
{
    // Before Qt makes its first Bluetooth object, which fixes its backend.
    bluez::SelectDBusBackend();
    m_names = new bluez::NameWatch(this);
    connect(m_names, &bluez::NameWatch::nameChanged, this,
            [this](const QString &address, const QString &) { OnNameFromBluez(address); });
}

QtBluetoothLE::~QtBluetoothLE()
{
    if (Enabled())
        SetEnabled(false);
    // Session contexts still waiting for deferred deletion are our children
    // and go with us.
}

void QtBluetoothLE::OpenSession()
{
    ++m_generation;
    m_events.clear();
    m_devices.clear(); // the previous session's objects end here, not earlier
    m_scanError.clear();
    m_session = new QObject(this);
}

void QtBluetoothLE::CloseSession()
{
    ++m_generation;
    emit sessionClosed();
    m_events.clear();
    StopScan();
    for (const auto &d : m_devices) {
        d->m_writes.TakeAll();
        if (d->m_controller) {
            d->m_controller->disconnect(this);
            d->m_controller->disconnectFromDevice();
        }
        for (const auto &s : d->m_services) {
            if (s->m_service)
                s->m_service->disconnect(this);
            s->m_service = nullptr;
        }
        d->m_controller = nullptr;
    }
    // Signals may be on their way or a Qt object may be inside one of its own
    // emissions right now: delete later, and every handler below checks the
    // session generation before it touches anything.
    if (m_session)
        m_session->deleteLater();
    m_session = nullptr;
}

bool QtBluetoothLE::IsLive(const Device *device) const
{
    return device && device->m_generation == m_generation && Enabled();
}

QtBluetoothLE::Device *QtBluetoothLE::LiveDevice(TBluetoothLEDevice *device) const
{
    auto *d = dynamic_cast<Device *>(device);
    return d && d->m_owner == this && IsLive(d) ? d : nullptr;
}

bool QtBluetoothLE::Deliver(std::function<void()> event)
{
    m_events.push_back(std::move(event));
    if (m_delivering)
        return true;
    m_delivering = true;
    const QPointer<QtBluetoothLE> self(this);
    while (!m_events.empty()) {
        const auto next = std::move(m_events.front());
        m_events.pop_front();
        next();
        if (!self)
            return false; // a handler destroyed the component
    }
    m_delivering = false;
    return true;
}

// --- Scan ------------------------------------------------------------------

bool QtBluetoothLE::DiscoverDevices(int ms, QString *error)
{
    const auto fail = [&](const QString &text) {
        StopScan();
        if (error)
            *error = text;
        return false;
    };
    if (!Enabled())
        return fail(tr("Bluetooth LE is switched off."));
    StopScan();
    for (const auto &d : m_devices)
        d->m_reported = false; // a new scan reports every device again

    m_scanError.clear();
    m_agent = new QBluetoothDeviceDiscoveryAgent(m_session);
    // The adapter is looked up in the constructor; a failure there is final.
    if (m_agent->error() != QBluetoothDeviceDiscoveryAgent::NoError)
        return fail(m_agent->errorString());

    const quint64 generation = m_generation;
    connect(m_agent, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, this,
            [this, generation](const QBluetoothDeviceInfo &info) {
                if (generation == m_generation)
                    OnDeviceSeen(info);
            });
    // Names often come with a later advertisement or scan response.
    connect(m_agent, &QBluetoothDeviceDiscoveryAgent::deviceUpdated, this,
            [this, generation](const QBluetoothDeviceInfo &info) {
                if (generation == m_generation)
                    OnDeviceSeen(info);
            });
    QBluetoothDeviceDiscoveryAgent *agent = m_agent;
    connect(m_agent, &QBluetoothDeviceDiscoveryAgent::errorOccurred, this,
            [this, generation, agent](QBluetoothDeviceDiscoveryAgent::Error) {
                if (generation == m_generation && agent == m_agent)
                    OnScanError(agent->errorString());
            });

    NoteAdapter();
    m_names->Start();
    m_agent->setLowEnergyDiscoveryTimeout(std::max(ms, 1));
    m_agent->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
    // With no adapter (or Bluetooth off) the agent fails inside start().
    if (!m_scanError.isEmpty() || m_agent->error() != QBluetoothDeviceDiscoveryAgent::NoError)
        return fail(m_scanError.isEmpty() ? m_agent->errorString() : m_scanError);
    return true;
}

QString QtBluetoothLE::Describe() const
{
#if defined(Q_OS_LINUX)
    const QString backend = QStringLiteral("BlueZ");
#elif defined(Q_OS_WIN)
    const QString backend = QStringLiteral("WinRT");
#elif defined(Q_OS_DARWIN)
    const QString backend = QStringLiteral("CoreBluetooth");
#else
    const QString backend = QStringLiteral("the platform's stack");
#endif
    return QStringLiteral("Qt Bluetooth %1, backend %2, adapter %3")
        .arg(QString::fromLatin1(qVersion()), backend,
             m_adapter.isEmpty() ? QStringLiteral("not known before the first scan") : m_adapter);
}

void QtBluetoothLE::NoteAdapter()
{
    // The agent scans on the default adapter; so does this lookup. It runs
    // with a scan only, which asks the stack for the adapter anyway.
    const QBluetoothLocalDevice adapter;
    if (!adapter.isValid())
        return;
    m_adapter = QStringLiteral("%1 (%2)").arg(adapter.name(), adapter.address().toString());
    protocol::Trace::Note([this] { return QStringLiteral("adapter %1").arg(m_adapter); });
}

void QtBluetoothLE::CancelDiscovery()
{
    if (m_agent && m_agent->isActive())
        m_agent->stop();
}

void QtBluetoothLE::StopScan()
{
    m_names->Stop();
    if (!m_agent)
        return;
    m_agent->disconnect(this);
    if (m_agent->isActive())
        m_agent->stop();
    m_agent->deleteLater();
    m_agent = nullptr;
}

void QtBluetoothLE::OnScanError(const QString &error)
{
    // Inside start() this makes DiscoverDevices fail; later it is news to the
    // link-up sequence, which would otherwise wait for a device forever.
    m_scanError = error.isEmpty() ? tr("Bluetooth LE scan failed.") : error;
    ReportPlatformError(m_scanError);
}

QtBluetoothLE::Device *QtBluetoothLE::DeviceFor(const QBluetoothDeviceInfo &info)
{
    const QString key = DeviceKey(info);
    for (const auto &d : m_devices)
        if (d->m_key == key)
            return d.get();
    m_devices.push_back(std::make_unique<Device>(this, info));
    m_devices.back()->m_key = key;
    return m_devices.back().get();
}

void QtBluetoothLE::OnDeviceSeen(const QBluetoothDeviceInfo &info)
{
    // No filter on the device's kind: the scan asks for Bluetooth LE only,
    // and a dual-mode device that advertises on LE is as good as any.
    Device *d = DeviceFor(info);
    if (!info.name().isEmpty())
        d->m_name = info.name();
    if (!d->m_controller)
        d->m_info = info;
    // Qt says 0 where the stack had no signal strength (a device BlueZ
    // remembers from earlier); one that was measured is below 0 dBm.
    if (info.rssi() < 0)
        d->m_rssi = info.rssi();
    ReportDevice(d);
}

void QtBluetoothLE::OnNameFromBluez(const QString &address)
{
    if (!Enabled() || !m_agent || !m_agent->isActive())
        return; // a name is news for a scan only
    for (const auto &d : m_devices)
        if (d->m_key == address)
            return ReportDevice(d.get());
    // Not seen by Qt yet: OnDeviceSeen finds the name when it is.
}

void QtBluetoothLE::ReportDevice(Device *d)
{
    // BlueZ's Name wins over Qt's, which may still be that of the first
    // sighting (the address) after the scan response named the device.
    const QString told = m_names->NameOf(d->m_key);
    if (!told.isEmpty())
        d->m_name = told;
    if (d->m_reported && d->m_reportedName == d->m_name)
        return;
    d->m_reported = true;
    d->m_reportedName = d->m_name;
    const quint64 generation = m_generation;
    const int rssi = d->m_rssi;
    Deliver([this, d, generation, rssi] {
        if (generation == m_generation && Enabled() && OnDiscoverLEDevice)
            OnDiscoverLEDevice(this, d, rssi, QByteArray());
    });
}

// --- Connection ----------------------------------------------------------------

QLowEnergyController *QtBluetoothLE::ControllerFor(Device *d)
{
    if (d->m_controller)
        return d->m_controller;
    auto *c = QLowEnergyController::createCentral(d->m_info, m_session);
    d->m_controller = c;
    const quint64 g = m_generation;
    connect(c, &QLowEnergyController::connected, this, [this, d, g] {
        if (g == m_generation)
            OnConnected(d);
    });
    connect(c, &QLowEnergyController::disconnected, this, [this, d, g] {
        if (g == m_generation)
            OnDisconnected(d);
    });
    connect(c, &QLowEnergyController::errorOccurred, this, [this, d, g, c] {
        if (g == m_generation)
            OnControllerError(d, c->errorString());
    });
    connect(c, &QLowEnergyController::discoveryFinished, this, [this, d, g] {
        if (g == m_generation)
            OnServicesDiscovered(d);
    });
    // Some stacks fail in the constructor (no adapter, the wrong backend),
    // before anyone could listen.
    if (c->error() != QLowEnergyController::NoError)
        OnControllerError(d, c->errorString());
    return c;
}

void QtBluetoothLE::ConnectDevice(Device *d)
{
    if (d->m_failed)
        return; // reported already; the session has to start afresh
    QLowEnergyController *c = ControllerFor(d);
    if (d->m_failed || c->state() != QLowEnergyController::UnconnectedState)
        return; // connecting already, or up: asking again starts nothing new
    const quint64 g = m_generation;
    c->connectToDevice();
    // Errors can also come synchronously from connectToDevice(); they reach
    // OnControllerError through the signal, which is connected by now.
    if (g == m_generation && !d->m_failed && c->error() != QLowEnergyController::NoError)
        OnControllerError(d, c->errorString());
}

void QtBluetoothLE::OnConnected(Device *d)
{
    if (d->m_wantServices && !d->m_discovering && d->m_controller) {
        d->m_wantServices = false;
        d->m_discovering = true;
        d->m_controller->discoverServices();
    }
}

void QtBluetoothLE::OnDisconnected(Device *d)
{
    d->m_discovering = false;
    FailWrites(d, WriteFailed);
}

void QtBluetoothLE::OnControllerError(Device *d, const QString &error)
{
    ReportPlatformError(error.isEmpty() ? tr("Bluetooth LE connection failed.") : error);
    d->m_failed = true;
    d->m_discovering = false;
    FailWrites(d, WriteFailed);
}

// --- Services ----------------------------------------------------------------

void QtBluetoothLE::DiscoverServices(TBluetoothLEDevice *device)
{
    Device *d = LiveDevice(device);
    if (!d || d->m_failed)
        return;
    QLowEnergyController *c = ControllerFor(d);
    if (d->m_failed || d->m_discovering)
        return;
    switch (c->state()) {
    case QLowEnergyController::UnconnectedState:
        d->m_wantServices = true;
        ConnectDevice(d);
        break;
    case QLowEnergyController::ConnectedState:
        d->m_discovering = true;
        c->discoverServices();
        break;
    case QLowEnergyController::DiscoveredState: {
        // Listed already in this session: report the same objects again.
        const quint64 g = m_generation;
        QTimer::singleShot(0, this, [this, d, g] {
            if (g == m_generation)
                ReportServices(d);
        });
        break;
    }
    default:
        d->m_wantServices = true; // still connecting
        break;
    }
}

void QtBluetoothLE::OnServicesDiscovered(Device *d)
{
    QLowEnergyController *c = d->m_controller;
    d->m_discovering = true;
    d->m_listed.clear();
    for (const QBluetoothUuid &uuid : c->services()) {
        Service *s = d->Find(uuid);
        if (!s) {
            d->m_services.push_back(std::make_unique<Service>(d, uuid));
            s = d->m_services.back().get();
        }
        d->m_listed.push_back(s);
        if (!s->m_service || s->m_service->state() == QLowEnergyService::InvalidService) {
            s->m_service = c->createServiceObject(uuid, c);
            if (s->m_service)
                WatchService(d, s);
        }
    }
    // The caller looks for its characteristic as soon as it sees the list, so
    // every listed service's details are loaded first. All are marked before
    // any is started: a stack may finish one inside discoverDetails().
    std::vector<QLowEnergyService *> start;
    for (Service *s : d->m_listed) {
        if (s->m_service && s->m_service->state() == QLowEnergyService::RemoteService) {
            s->m_detailsPending = true;
            start.push_back(s->m_service);
        }
    }
    const quint64 g = m_generation;
    for (QLowEnergyService *service : start) {
        service->discoverDetails(QLowEnergyService::SkipValueDiscovery);
        if (g != m_generation)
            return;
    }
    FinishServiceDiscovery(d);
}

void QtBluetoothLE::WatchService(Device *d, Service *s)
{
    QLowEnergyService *q = s->m_service;
    const quint64 g = m_generation;
    connect(q, &QLowEnergyService::stateChanged, this,
            [this, d, s, g](QLowEnergyService::ServiceState state) {
                if (g == m_generation)
                    OnServiceState(d, s, state);
            });
    connect(q, &QLowEnergyService::errorOccurred, this,
            [this, d, s, g](QLowEnergyService::ServiceError error) {
                if (g == m_generation)
                    OnServiceError(d, s, error);
            });
    connect(q, &QLowEnergyService::characteristicWritten, this,
            [this, d, s, g](const QLowEnergyCharacteristic &c, const QByteArray &) {
                if (g == m_generation)
                    OnWritten(d, s, c);
            });
    connect(q, &QLowEnergyService::characteristicChanged, this,
            [this, s, g](const QLowEnergyCharacteristic &c, const QByteArray &value) {
                if (g == m_generation)
                    OnChanged(s, c, value);
            });
}

void QtBluetoothLE::OnServiceState(Device *d, Service *s, QLowEnergyService::ServiceState state)
{
    if (state == QLowEnergyService::RemoteServiceDiscovered && s->m_loaded)
        LoadCharacteristics(s);
    if (!s->m_detailsPending)
        return;
    if (state == QLowEnergyService::RemoteServiceDiscovering)
        return;
    s->m_detailsPending = false;
    FinishServiceDiscovery(d);
}

void QtBluetoothLE::OnServiceError(Device *d, Service *s, QLowEnergyService::ServiceError error)
{
    if (s->m_detailsPending) {
        // A service whose details cannot be read is listed without
        // characteristics; it is not necessarily the one the caller wants.
        s->m_detailsPending = false;
        FinishServiceDiscovery(d);
        return;
    }
    if (error == QLowEnergyService::NoError)
        return;
    ReportPlatformError(s->m_service ? tr("Bluetooth LE service error %1.").arg(int(error))
                                     : tr("Bluetooth LE service failed."));
    d->m_failed = true;
    FailWrites(d, WriteFailed + int(error));
}

void QtBluetoothLE::FinishServiceDiscovery(Device *d)
{
    if (!d->m_discovering)
        return;
    for (Service *s : d->m_listed)
        if (s->m_detailsPending)
            return;
    d->m_discovering = false;
    ReportServices(d);
}

void QtBluetoothLE::ReportServices(Device *d)
{
    QList<TBluetoothGattService *> list;
    for (Service *s : d->m_listed)
        list.append(s);
    const quint64 g = m_generation;
    Deliver([this, list, g] {
        if (g == m_generation && Enabled() && OnEndDiscoverServices)
            OnEndDiscoverServices(this, list);
    });
}

void QtBluetoothLE::GetCharacteristics(TBluetoothGattService *service)
{
    auto *s = dynamic_cast<Service *>(service);
    if (!s || !IsLive(s->m_device))
        return;
    s->m_loaded = true;
    if (!s->m_service)
        return;
    if (s->m_service->state() == QLowEnergyService::RemoteService)
        s->m_service->discoverDetails(QLowEnergyService::SkipValueDiscovery);
    else
        LoadCharacteristics(s);
}

void QtBluetoothLE::LoadCharacteristics(Service *s)
{
    if (!s->m_service || s->m_service->state() != QLowEnergyService::RemoteServiceDiscovered)
        return;
    // Objects are added, never replaced: a caller may hold one already.
    for (const QLowEnergyCharacteristic &c : s->m_service->characteristics())
        if (!s->Find(c.uuid()))
            s->m_characteristics.push_back(std::make_unique<Characteristic>(s, c.uuid()));
}

// --- Notifications -------------------------------------------------------------

bool QtBluetoothLE::SubscribeToCharacteristic(TBluetoothLEDevice *device,
                                              TBluetoothGattCharacteristic *characteristic)
{
    Device *d = LiveDevice(device);
    auto *c = dynamic_cast<Characteristic *>(characteristic);
    if (!d || !c)
        return false;
    if (c->m_notifying && c->m_service->m_device == d && d->IsConnected())
        return true; // switched on already; writing the descriptor again is pointless
    return SwitchNotifications(d, c, true);
}

bool QtBluetoothLE::SwitchNotifications(Device *d, Characteristic *c, bool enable)
{
    if (!IsLive(d) || c->m_service->m_device != d || !d->IsConnected())
        return false;
    QLowEnergyService *service = c->m_service->m_service;
    if (!service || service->state() != QLowEnergyService::RemoteServiceDiscovered)
        return false;
    const QLowEnergyCharacteristic q = service->characteristic(c->m_uuid);
    const auto properties = q.properties();
    const bool notify = properties & QLowEnergyCharacteristic::Notify;
    if (!q.isValid() || (!notify && !(properties & QLowEnergyCharacteristic::Indicate)))
        return false;
    const QLowEnergyDescriptor cccd = q.clientCharacteristicConfiguration();
    if (!cccd.isValid())
        return false;
    const QByteArray value = !enable ? QLowEnergyCharacteristic::CCCDDisable
                             : notify ? QLowEnergyCharacteristic::CCCDEnableNotification
                                      : QLowEnergyCharacteristic::CCCDEnableIndication;

    // Wait for the answer while the window keeps running; the session may be
    // closed, or the component destroyed, meanwhile.
    QEventLoop loop;
    int outcome = 0; // 1 confirmed, -1 failed
    const auto finish = [&](int result) {
        if (outcome == 0)
            outcome = result;
        loop.quit();
    };
    connect(service, &QLowEnergyService::descriptorWritten, &loop,
            [&](const QLowEnergyDescriptor &written, const QByteArray &) {
                if (written == cccd)
                    finish(1);
            });
    connect(service, &QLowEnergyService::errorOccurred, &loop, [&] { finish(-1); });
    connect(d->m_controller, &QLowEnergyController::disconnected, &loop, [&] { finish(-1); });
    connect(d->m_controller, &QLowEnergyController::errorOccurred, &loop, [&] { finish(-1); });
    connect(this, &QtBluetoothLE::sessionClosed, &loop, [&] { finish(-1); });
    QTimer::singleShot(NotificationTimeoutMs, &loop, [&] { finish(-1); });

    const QPointer<QtBluetoothLE> self(this);
    const quint64 g = m_generation;
    service->writeDescriptor(cccd, value);
    if (outcome == 0)
        loop.exec();
    if (!self || g != m_generation || outcome != 1)
        return false;
    c->m_notifying = enable;
    return true;
}

void QtBluetoothLE::OnChanged(Service *s, const QLowEnergyCharacteristic &changed,
                              const QByteArray &value)
{
    Characteristic *c = s->Find(changed.uuid());
    if (!c)
        return;
    const quint64 g = m_generation;
    Deliver([this, c, value, g] {
        if (g == m_generation && Enabled() && OnCharacteristicRead)
            OnCharacteristicRead(this, c, value, 0);
    });
}

// --- Writes --------------------------------------------------------------------

bool QtBluetoothLE::WriteCharacteristic(TBluetoothLEDevice *device,
                                        TBluetoothGattCharacteristic *characteristic)
{
    Device *d = LiveDevice(device);
    auto *c = dynamic_cast<Characteristic *>(characteristic);
    if (!d || !c || c->m_service->m_device != d || !d->IsConnected())
        return false;
    QLowEnergyService *service = c->m_service->m_service;
    if (!service || service->state() != QLowEnergyService::RemoteServiceDiscovered)
        return false;
    const QLowEnergyCharacteristic q = service->characteristic(c->m_uuid);
    if (!q.isValid() || !(q.properties() & QLowEnergyCharacteristic::Write))
        return false;
    // One write at a time: the stack reports completions without saying which
    // write they belong to, and the meter must get the chunks in order.
    d->m_writes.Add(c, c->GetValue());
    StartNextWrite(d);
    return true;
}

void QtBluetoothLE::StartNextWrite(Device *d)
{
    if (d->m_writes.Busy() || !d->m_writes.Front())
        return;
    // Qt reports the MTU on some platforms only (see docs/ble.md); elsewhere
    // it is unknown and chunks go whole, as the stack takes them.
    d->m_writes.SetMtu(d->m_controller ? d->m_controller->mtu() : 0);
    const auto piece = d->m_writes.Next();
    QLowEnergyService *service = piece->tag->m_service->m_service;
    const QLowEnergyCharacteristic q =
        service ? service->characteristic(piece->tag->m_uuid) : QLowEnergyCharacteristic();
    if (!q.isValid()) {
        FailWrites(d, WriteFailed);
        return;
    }
    service->writeCharacteristic(q, piece->bytes, QLowEnergyService::WriteWithResponse);
}

void QtBluetoothLE::OnWritten(Device *d, Service *s, const QLowEnergyCharacteristic &written)
{
    const auto front = d->m_writes.Front();
    if (!d->m_writes.Busy() || !front)
        return;
    Characteristic *c = *front;
    if (c->m_service != s || c->m_uuid != written.uuid())
        return;
    const quint64 g = m_generation;
    if (d->m_writes.Written()) {
        const bool alive = Deliver([this, c, g] {
            if (g == m_generation && Enabled() && OnCharacteristicWrite)
                OnCharacteristicWrite(this, c, 0);
        });
        if (!alive)
            return;
    }
    if (g == m_generation)
        StartNextWrite(d);
}

void QtBluetoothLE::FailWrites(Device *d, int status)
{
    // Every write still waiting gets its one completion, as a failure, also
    // one whose first pieces went through.
    const std::vector<Characteristic *> failed = d->m_writes.TakeAll();
    const quint64 g = m_generation;
    for (Characteristic *c : failed) {
        const bool alive = Deliver([this, c, status, g] {
            if (g == m_generation && Enabled() && OnCharacteristicWrite)
                OnCharacteristicWrite(this, c, status);
        });
        if (!alive)
            return;
    }
}

} // namespace devlink
