#include "link/meterlink.h"

#include "link/bt.h"
#include "link/sessionview.h"
#include "protocol/printable.h"
#include "protocol/timings.h"
#include "protocol/trace.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>

namespace devlink {

using protocol::CurrentTimings;
using protocol::Failure;
using protocol::Outcome;
using protocol::Trace;

const QString MeterLink::MeterName = QStringLiteral("Vorelt-ZEVQ25k");
const QBluetoothUuid MeterLink::SerialService(QStringLiteral("{49535343-FE7D-4AE5-8FA9-9FAFD205E455}"));
const QBluetoothUuid MeterLink::SerialCharacteristic(
    QStringLiteral("{49535343-1E4D-4BD9-BA61-23C647249616}"));

namespace {

// Keeps a flag set for as long as the sequence runs, whichever way it ends.
struct RunningFlag {
    explicit RunningFlag(bool &flag) : m_flag(flag) { m_flag = true; }
    ~RunningFlag() { m_flag = false; }
    bool &m_flag;
};

void sleepMs(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace

bool AddressMatches(const QString &wanted, const QString &address)
{
    return wanted.isEmpty() || QString::compare(wanted, address, Qt::CaseInsensitive) == 0;
}

MeterLink::MeterLink(std::unique_ptr<TBluetoothLE> component, SessionView *view)
    : ScanMs(CurrentTimings().scanMs), vorelt(std::move(component)), m_view(view)
{
    AssignOwnHandlers();
}

MeterLink::~MeterLink() = default;

void MeterLink::AssignOwnHandlers()
{
    using namespace std::placeholders;
    vorelt->OnCharacteristicRead = std::bind(&MeterLink::NotificationArrived, this, _1, _2, _3, _4);
    vorelt->OnCharacteristicWrite = std::bind(&MeterLink::WriteCompleted, this, _1, _2, _3);
    vorelt->OnDiscoverLEDevice = std::bind(&MeterLink::DeviceSeen, this, _1, _2, _3, _4);
    vorelt->OnEndDiscoverServices = std::bind(&MeterLink::ServicesListed, this, _1, _2);
}

void MeterLink::SearchAndConnect()
{
    if (m_running || m_abandoned)
        return;
    RunningFlag running(m_running);
    if (AssignHandlers)
        AssignHandlers();
    else
        AssignOwnHandlers();
    m_linkUpEnd = QDeadlineTimer(ScanMs);
    m_refused = false;
    // Notifications could not be switched on: the whole sequence starts over,
    // scan included, for as long as that keeps happening (in the tool, for as
    // long as its time lasts).
    while (!LinkUpRound()) {
    }
}

void MeterLink::Abandon()
{
    m_abandoned = true;
    if (m_running) {
        // The sequence waits inside the caller's event processing: make it
        // and the watching worker give up without a message.
        CancelRequested = true;
        vorelt->SetEnabled(false);
    }
}

// One round of the sequence. False only when notifications could not be
// switched on and the round is to be repeated; every other ending returns
// true with the link either subscribed or switched off.
bool MeterLink::LinkUpRound()
{
    vorelt->SetEnabled(true);
    CancelRequested = false;
    LinkFailure = Failure::None;
    SetStage(1);
    LinkDevice = nullptr;
    LinkCharacteristic = nullptr;
    QString error;
    const int scanMs = m_giveUpWhenScanEnds
        ? static_cast<int>(std::clamp<qint64>(m_linkUpEnd.remainingTime(), 1, ScanMs))
        : ScanMs;
    if (!vorelt->DiscoverDevices(scanMs, &error)) {
        LinkFailure = Failure::NoAdapter;
        vorelt->SetEnabled(false);
        const QString message = QStringLiteral("BT LE module not enabled or not installed");
        Trace::Note([&] {
            return QStringLiteral("scan refused: %1; message \"%2\" (%3)")
                .arg(error, message, protocol::FailureName(Failure::NoAdapter));
        });
        m_view->Tell(message, Failure::NoAdapter);
        return true;
    }
    // A round repeated after a refusal finds the worker still searching:
    // asked again, it would keep the request and start a second search, with
    // a second message, once this one has given up.
    if (m_worker && !m_refused)
        m_worker->RequestConnect();
    Outcome linked = FindMeter();
    if (linked)
        linked = FindSerialCharacteristic();
    if (linked)
        linked = ConnectMeter();
    if (!linked) {
        GiveUp(linked.why()); // the worker reports it unless cancelled
        return true;
    }
    if (!LinkDevice->SetCharacteristicNotification(LinkCharacteristic, true)) {
        Trace::Note([] { return QStringLiteral("notifications not switched on"); });
        if (const Failure why = GiveUpReason(); why != Failure::None) {
            GiveUp(why == Failure::Interrupted ? why : Failure::NotSubscribed);
            return true;
        }
        m_refused = true;
        // The window starts over until the user cancels; the tool, which
        // has no Cancel, only while its time lasts.
        if (m_giveUpWhenScanEnds && m_linkUpEnd.hasExpired()) {
            GiveUp(Failure::NotSubscribed);
            return true;
        }
        return false;
    }
    vorelt->SubscribeToCharacteristic(LinkDevice, LinkCharacteristic);
    if (GiveUpRequested()) {
        GiveUp(GiveUpReason());
        return true;
    }
    SetStage(5);
    return true;
}

void MeterLink::GiveUp(Failure why)
{
    // Recorded before the link goes off: the worker reads it once it sees
    // the link off.
    LinkFailure = why;
    Trace::Note([&] {
        const QString platform = vorelt->PlatformError();
        return QStringLiteral("link-up gave up: %1%2")
            .arg(protocol::FailureName(why), platform.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(platform));
    });
    vorelt->SetEnabled(false);
}

// Waits until the scan reports the meter: without a time limit in the
// window, where the user cancels; until the link-up's time ends in the tool.
Outcome MeterLink::FindMeter()
{
    // The scan started just before; it stops by itself after ScanMs.
    QDeadlineTimer scanEnd(ScanMs);
    while (LinkStage == 1) {
        PumpEvents(CurrentTimings().linkPollMs, 1);
        if (GiveUpRequested())
            return GiveUpReason();
        // The window's search dialog asks the user to switch the meter on,
        // and waits for Cancel: a meter switched on after the scan has
        // ended must still be found, so the scan starts again.
        if (!m_giveUpWhenScanEnds && scanEnd.hasExpired() && LinkStage == 1) {
            QString error;
            if (!vorelt->DiscoverDevices(ScanMs, &error)) {
                Trace::Note([&] { return QStringLiteral("scan not restarted: %1").arg(error); });
                return Failure::NoAdapter;
            }
            scanEnd = QDeadlineTimer(ScanMs);
            Trace::Note([] { return QStringLiteral("scan restarted"); });
        }
        if (m_giveUpWhenScanEnds && m_linkUpEnd.hasExpired() && LinkStage == 1) {
            // A meter that refused notifications in an earlier round was
            // found, and that is what the worker reports.
            if (m_refused)
                return Failure::NotSubscribed;
            CancelRequested = true;
            return Failure::MeterNotFound;
        }
    }
    if (GiveUpRequested())
        return GiveUpReason();
    sleepMs(CurrentTimings().beforeServicesMs);
    return GiveUpReason();
}

Outcome MeterLink::FindSerialCharacteristic()
{
    vorelt->DiscoverServices(LinkDevice);
    for (int k = 0; LinkStage == 2; ++k) {
        PumpEvents(CurrentTimings().linkPollMs, 2);
        if (GiveUpRequested())
            return GiveUpReason();
        if (k > CurrentTimings().servicePolls)
            return Failure::ConnectFailure;
    }
    // A serial service without the serial characteristic is as good as none.
    if (!LinkCharacteristic)
        return Failure::ConnectFailure;
    sleepMs(CurrentTimings().beforeConnectMs);
    QCoreApplication::processEvents();
    return GiveUpReason();
}

Outcome MeterLink::ConnectMeter()
{
    for (int k = 0; !LinkDevice->IsConnected();) {
        LinkDevice->Connect();
        sleepMs(CurrentTimings().connectPauseMs);
        if (GiveUpRequested())
            return GiveUpReason();
        QCoreApplication::processEvents();
        if (++k > CurrentTimings().connectTries)
            return Failure::ConnectFailure;
    }
    if (GiveUpRequested())
        return GiveUpReason();
    sleepMs(CurrentTimings().beforeNotifyMs);
    if (GiveUpRequested())
        return GiveUpReason();
    QCoreApplication::processEvents();
    return GiveUpReason();
}

// Cancel and an owner going away end the sequence quietly. A platform error
// or a link switched off from elsewhere end it too; the user is told of a
// connection failure, as for a meter that cannot be reached (the platform's
// own text goes to the trace).
Failure MeterLink::GiveUpReason() const
{
    if (CancelRequested || m_abandoned)
        return Failure::Interrupted;
    if (!vorelt->Enabled() || !vorelt->PlatformError().isEmpty())
        return Failure::ConnectFailure;
    return Failure::None;
}

void MeterLink::PumpEvents(int sleepMs, qint32 stage)
{
    QCoreApplication::processEvents();
    // The poll only keeps the window alive while we wait; it is no pause the
    // meter needs. A stack that reports from its event loop has usually moved
    // the sequence on by now, and sleeping anyway would add a whole poll to
    // every link-up.
    if (LinkStage != stage)
        return;
    QThread::msleep(static_cast<unsigned long>(sleepMs));
    if (!GiveUpRequested())
        QCoreApplication::processEvents();
}

void MeterLink::SetStage(qint32 stage)
{
    LinkStage = stage;
    Trace::Note([stage] { return QStringLiteral("link-up stage %1").arg(stage); });
}

// ---- the component's events -------------------------------------------------

void MeterLink::DeviceSeen(TBluetoothLE *, TBluetoothLEDevice *device, int, const QByteArray &)
{
    const QString name = device->DeviceName();
    Trace::Note([&] { return QStringLiteral("device seen \"%1\"").arg(protocol::Printable(name)); });
    if (name != MeterName)
        return;
    if (!AddressMatches(Address, device->Address())) {
        Trace::Note([&] {
            return QStringLiteral("meter at %1 passed over: not %2").arg(device->Address(), Address);
        });
        return;
    }
    vorelt->CancelDiscovery();
    LinkDevice = device;
    SetStage(2);
}

void MeterLink::ServicesListed(TBluetoothLE *, const QList<TBluetoothGattService *> &services)
{
    Trace::Note([&] {
        QStringList uuids;
        for (const TBluetoothGattService *service : services)
            uuids << service->UUID().toString(QUuid::WithBraces).toUpper();
        return QStringLiteral("services listed: %1").arg(uuids.join(QLatin1Char(' ')));
    });
    if (LinkStage != 2)
        return;
    for (TBluetoothGattService *service : services) {
        if (service->UUID() != SerialService)
            continue;
        vorelt->GetCharacteristics(service);
        LinkCharacteristic = service->GetCharacteristic(SerialCharacteristic);
        SetStage(3);
    }
}

void MeterLink::NotificationArrived(TBluetoothLE *, TBluetoothGattCharacteristic *,
                                    const QByteArray &value, int gattStatus)
{
    if (gattStatus == 0)
        Trace::NoteBytes(protocol::TraceKind::Notification, value);
    else
        Trace::Note([&] { return QStringLiteral("notification failed, status %1").arg(gattStatus); });
    if (m_worker)
        m_worker->OnNotification(value, gattStatus);
}

void MeterLink::WriteCompleted(TBluetoothLE *, TBluetoothGattCharacteristic *, int gattStatus)
{
    Trace::Note([&] { return QStringLiteral("write completed, status %1").arg(gattStatus); });
    if (m_worker)
        m_worker->OnWriteCompleted(gattStatus);
}

// ---- the write path ---------------------------------------------------------

void MeterLink::QueueWrite(const std::uint8_t *data, int count)
{
    // Called on the worker thread: the bytes are copied now and the write is
    // started on the main thread, where the link lives.
    {
        std::lock_guard guard(m_chunkLock);
        m_chunks.emplace_back(reinterpret_cast<const char *>(data), count);
    }
    m_chunkPoke.Poke();
}

void MeterLink::StartQueuedWrites()
{
    for (;;) {
        QByteArray bytes;
        {
            std::lock_guard guard(m_chunkLock);
            if (m_chunks.empty())
                return;
            bytes = std::move(m_chunks.front());
            m_chunks.pop_front();
        }
        // A write asked for while the link went off starts nothing; the
        // exchange then misses its completion and fails.
        if (!vorelt->Enabled() || !LinkDevice || !LinkCharacteristic) {
            Trace::NoteBytes(protocol::TraceKind::ChunkDropped, bytes);
            continue;
        }
        Trace::NoteBytes(protocol::TraceKind::ChunkWritten, bytes);
        LinkCharacteristic->SetValue(bytes);
        vorelt->WriteCharacteristic(LinkDevice, LinkCharacteristic);
    }
}

} // namespace devlink
