// The session against a simulated meter that answers at once, through the
// real worker, link and virtual link, on the program's own timings: each
// figure next to the fixed pauses it cannot go below, and the download rate
// next to the same bytes taken by the virtual link alone.
//
//   bench_session all                          meter on a thread of its own
//   bench_session choose                       "Choose meter" among three meters
//   bench_session download --link vlink:H:P    a meter in another process

#include "data/config.h"
#include "bench/benchclock.h"
#include "bench/benchwait.h"
#include "bench/benchview.h"
#include "link/bt.h"
#include "link/meterlink.h"
#include "link/meterscan.h"
#include "link/vlinkbluetoothle.h"
#include "os/services.h"
#include "protocol/timings.h"
#include "protocol/trace.h"
#include "sim/meterlogic.h"
#include "sim/simmeterthread.h"

#include <QCoreApplication>
#include <QEventLoop>


#include <ctime>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

namespace bench {
namespace {

using protocol::CurrentTimings;

constexpr int RangeTo = 65535;
// The downloads' notification sizes: the largest a link gives, and the
// smallest, which makes the most events.
constexpr int NotifySizes[2] = {244, 20};
constexpr int FirmwareLines = 1000;

// Stamps taken on whichever thread sees the moment first.
std::atomic<qint64> g_meterSeenNs{0};
std::atomic<qint64> g_firstPingNs{0};
std::atomic<qint64> g_firstChunkNs{0};
std::atomic<qint64> g_fetchSentNs{0};
std::atomic<qint64> g_lastNotificationNs{0};
std::atomic<qint64> g_notifications{0}; // all the rig has taken
// Called on the main thread as each notification comes, before it is
// counted and the link takes it.
std::function<void()> g_beforeNotification;

// The program's worker, with the moment of each outgoing chunk noted.
class StampingWorker final : public devlink::BT {
public:
    using BT::BT;

protected:
    void WriteChunk(const std::uint8_t *data, int count) override
    {
        const qint64 now = NowNs();
        qint64 unset = 0;
        g_firstChunkNs.compare_exchange_strong(unset, now);
        if (count == 1 && data[0] == protocol::CmdDownloadRecords)
            g_fetchSentNs = now;
        BT::WriteChunk(data, count);
    }
};

using bench::WaitUntil;

QString configPath()
{
    return QStringLiteral(TARVOLIN_SOURCE_DIR "/resources/ZEVQ-BLE.INI");
}

// One Intel HEX data record of 16 bytes at `address`.
QString dataRecord(int address)
{
    QByteArray record;
    record.append(char(16)).append(char(address >> 8)).append(char(address & 0xFF)).append(char(0));
    for (int i = 0; i < 16; ++i)
        record.append(char((address + i * 7) & 0xFF));
    int sum = 0;
    for (char c : record)
        sum += static_cast<unsigned char>(c);
    record.append(char((0x100 - (sum & 0xFF)) & 0xFF));
    return QLatin1Char(':') + QString::fromLatin1(record.toHex().toUpper());
}

// The program's pieces against one meter: configuration, view, link, worker.
class Rig {
public:
    explicit Rig(const QString &linkValue)
    {
        QString error;
        if (!data::LoadFieldList(configPath(), m_fields, &error))
            qFatal("%s", qPrintable(error));
        QList<devlink::VLinkEndpoint> endpoints;
        devlink::VLinkBluetoothLE::ParseEndpoints(linkValue, &endpoints);
        Link = std::make_unique<devlink::MeterLink>(std::make_unique<devlink::VLinkBluetoothLE>(endpoints),
                                                    &View);
        View.Records.SetCaptions(data::ShownCaptions(m_fields.items));
        Link->GiveUpWhenScanEnds(true);
        Link->AssignHandlers = [this] { AssignStampingHandlers(); };
        devlink::Worker =
            new StampingWorker(Link.get(), &View, m_fields.recordSize, data::RecordLayout(m_fields.items));
        Link->Serve(devlink::Worker);
        devlink::Worker->start();
    }
    ~Rig()
    {
        if (devlink::Worker)
            devlink::Worker->Shutdown();
    }

    qint32 RecordBytes() const { return m_fields.recordSize; }

    // Link-up and the block read; true once Connected.
    bool Connect()
    {
        const int before = devlink::Worker->RequestsServed();
        Link->SearchAndConnect();
        return WaitServed(before, 20000) && devlink::Worker->CurrentState() == devlink::Connected
            && !View.Tool.BlocksRead.isEmpty();
    }

    bool WaitServed(int before, int timeoutMs)
    {
        return WaitUntil([before] { return devlink::Worker->RequestsServed() > before; }, timeoutMs);
    }

    // "Send parameters": the block read, written back and read again.
    bool SendParameters()
    {
        View.Tool.Page = View.Tool.BlocksRead.last();
        View.Tool.PageRangeFrom = View.Tool.PageRangeTo = 0;
        const int before = devlink::Worker->RequestsServed();
        devlink::Worker->DownloadMode = false;
        devlink::Worker->RequestTransfer();
        return WaitServed(before, 20000) && devlink::Worker->CurrentState() == devlink::Connected;
    }

    bool Upload(std::unique_ptr<QStringList> lines)
    {
        const int before = devlink::Worker->RequestsServed();
        devlink::Worker->RequestUpload(std::move(lines), QStringLiteral("bench.HEX"));
        return WaitServed(before, 120000) && devlink::Worker->CurrentState() == devlink::Connected;
    }

    // Records 1..to; the session ends with it.
    bool Download(int to)
    {
        View.Tool.Page = View.Tool.BlocksRead.last();
        View.Tool.PageRangeFrom = 1;
        View.Tool.PageRangeTo = static_cast<quint16>(to);
        const int before = devlink::Worker->RequestsServed();
        devlink::Worker->DownloadMode = true;
        devlink::Worker->RequestTransfer();
        if (!WaitServed(before, 600000) || View.Tool.FirstFailure != protocol::Failure::None)
            return false;
        if (View.Records.RowCount() != to + 1)
            qFatal("download: %d rows for %d records", View.Records.RowCount(), to);
        return true;
    }

    BenchView View;
    std::unique_ptr<devlink::MeterLink> Link;

private:
    // The window routes the component's events through its own handlers;
    // these note the moment and hand on to the link as the window does.
    void AssignStampingHandlers()
    {
        devlink::MeterLink *link = Link.get();
        devlink::TBluetoothLE *component = link->vorelt.get();
        component->OnDiscoverLEDevice = [link](devlink::TBluetoothLE *sender, devlink::TBluetoothLEDevice *device,
                                               int rssi, const QByteArray &response) {
            if (device->DeviceName() == devlink::MeterLink::MeterName && g_meterSeenNs == 0)
                g_meterSeenNs = NowNs();
            link->DeviceSeen(sender, device, rssi, response);
        };
        component->OnEndDiscoverServices = [link](devlink::TBluetoothLE *sender,
                                                  const QList<devlink::TBluetoothGattService *> &services) {
            link->ServicesListed(sender, services);
        };
        component->OnCharacteristicRead = [link](devlink::TBluetoothLE *sender,
                                                 devlink::TBluetoothGattCharacteristic *characteristic,
                                                 const QByteArray &value, int status) {
            g_lastNotificationNs = NowNs();
            if (g_beforeNotification)
                g_beforeNotification();
            g_notifications.fetch_add(1, std::memory_order_relaxed);
            link->NotificationArrived(sender, characteristic, value, status);
        };
        component->OnCharacteristicWrite = [link](devlink::TBluetoothLE *sender,
                                                  devlink::TBluetoothGattCharacteristic *characteristic,
                                                  int status) { link->WriteCompleted(sender, characteristic, status); };
    }

    data::FieldList m_fields;
};

void resetStamps()
{
    g_firstChunkNs = 0;
    g_fetchSentNs = 0;
    g_lastNotificationNs = 0;
}

QString ratioText(double figureMs, double floorMs)
{
    return QStringLiteral("%1 ms = %2 x").arg(Fixed(figureMs, 0), Fixed(figureMs / floorMs, 3));
}

void floorRow(const QString &what, double figureMs, double floorMs)
{
    Row(what, ratioText(figureMs, floorMs), QStringLiteral("floor %1 ms").arg(Fixed(floorMs, 0)),
        QStringLiteral("<= 1.03 x"), figureMs <= 1.03 * floorMs);
}

void benchLinkUp()
{
    // Meter seen -> 350, 350, one connect pause, 500 before notifications,
    // 500 before the first action, the block read (84, its chunk pause, 200,
    // 19 and its chunk pause), then the keep-alive interval -> the ping.
    const protocol::Timings &t = CurrentTimings();
    const double floorMs = t.beforeServicesMs + t.beforeConnectMs + t.connectPauseMs + t.beforeNotifyMs
        + t.establishedPauseMs + 2 * t.chunkPauseMs + t.readParametersPauseMs + t.requestWaitMs;
    if (!WaitUntil([] { return g_firstPingNs != 0; }, 10000))
        qFatal("no keep-alive ping after the link-up");
    floorRow(QStringLiteral("Link-up, meter seen -> first ping"), Ms(g_firstPingNs - g_meterSeenNs), floorMs);
}

void benchSendParameters(Rig &rig)
{
    const protocol::Timings &t = CurrentTimings();
    const int chunks = (protocol::MeterChannel::ParameterFrameSize + protocol::MeterChannel::MaxChunk - 1)
        / protocol::MeterChannel::MaxChunk;
    // The reply to 19 may end within 19's own chunk pause: not part of it.
    const double floorMs = chunks * t.chunkPauseMs + t.chunkPauseMs + t.readParametersPauseMs;
    double best = 1e12;
    for (int round = 0; round < 3; ++round) {
        resetStamps();
        if (!rig.SendParameters())
            qFatal("Send parameters failed");
        best = std::min(best, Ms(g_lastNotificationNs - g_firstChunkNs));
    }
    floorRow(QStringLiteral("Send parameters, first chunk -> read-back (best of 3)"), best, floorMs);
}

void benchUpload(Rig &rig)
{
    auto lines = std::make_unique<QStringList>();
    double floorMs = 0;
    for (int k = 0; k < FirmwareLines; ++k) {
        lines->append(dataRecord(16 * k));
        const int frame = static_cast<int>(lines->last().size()) + 3;
        floorMs += ((frame + protocol::MeterChannel::MaxChunk - 1) / protocol::MeterChannel::MaxChunk)
            * CurrentTimings().chunkPauseMs;
    }
    resetStamps();
    if (!rig.Upload(std::move(lines)) || rig.View.Tool.FirstFailure != protocol::Failure::None)
        qFatal("firmware upload failed");
    floorRow(QStringLiteral("Firmware upload, 1,000 lines"), Ms(rig.View.UploadClosedNs - g_firstChunkNs), floorMs);
}

// Seconds for records 1..65535, from the request 2 to the worker's end of
// the receive phase.
double downloadSeconds(Rig &rig)
{
    resetStamps();
    rig.View.ProgressSteps = 0;
    if (!rig.Download(RangeTo))
        qFatal("download failed");
    return double(rig.View.ReceiveClosedNs - g_fetchSentNs) / 1e9;
}

// MB/s (10^6 bytes) of the same download.
double downloadRate(Rig &rig)
{
    return double(RangeTo) * rig.RecordBytes() / 1e6 / downloadSeconds(rig);
}

void setNotifySize(sim::SimMeterThread &meter, int size)
{
    meter.ChangeFaults([size](sim::MeterFaults &f) { f.notifySize = size; });
}

QString mib(std::int64_t bytes)
{
    return QStringLiteral("%1 MiB").arg(Fixed(double(bytes) / (1 << 20), 2));
}

// CPU seconds so far of the calling thread: the main thread, which takes
// every notification from the link and records it.
double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The notifications of one download of records 1..RangeTo.
qint64 downloadNotifications(const Rig &rig, int size)
{
    return (qint64(RangeTo) * rig.RecordBytes() + size - 1) / size;
}

// The middle value; `values` is not empty.
double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One download timed for the recorder's rows.
struct RecorderRun {
    double cost = 0;     // the main thread's extra CPU, % of the download's time
    double eventNs = 0;  // one notification's cost to the recorder alone
    double ownShare = 0; // that for all the download's notifications, %
};

// Right after a download with the recorder on, at the bounds and in the
// state the download left it: the time the recorder takes for each of as
// many notifications of `size` bytes as the download brought.
double recorderEventNs(qint64 notifications, int size)
{
    const QByteArray payload(size, '\x5A');
    const qint64 startNs = NowNs();
    for (qint64 i = 0; i < notifications; ++i)
        protocol::Trace::NoteBytes(protocol::TraceKind::Notification, payload);
    return double(NowNs() - startNs) / double(notifications);
}

// A stretch of a download with the recorder on or off.
struct Stretch {
    qint64 startNs = 0;
    qint64 endNs = 0;
    double cpu = 0; // the main thread's CPU seconds
    qint64 notifications = 0;
    bool on = false;
};

// The main thread's extra CPU per notification with the recorder on, from
// the stretches that lie within the receive, as a share of the download's
// time (`seconds`, `notifications` in all).
double stretchCost(const std::vector<Stretch> &stretches, qint64 fromNs, qint64 toNs, double seconds,
                   qint64 notifications)
{
    double cpu[2] = {};
    qint64 taken[2] = {};
    for (const Stretch &s : stretches) {
        if (s.startNs < fromNs || s.endNs > toNs)
            continue;
        cpu[s.on] += s.cpu;
        taken[s.on] += s.notifications;
    }
    if (taken[0] == 0 || taken[1] == 0)
        qFatal("recorder bench: a download too short to compare");
    const double perNotification = cpu[1] / double(taken[1]) - cpu[0] / double(taken[0]);
    return perNotification * double(notifications) / seconds * 100.0;
}

// One download with the recorder switched on and off in turn every
// `StretchMs`, so that both sides see the same download on the same machine
// at the same moment. The turns are taken between notifications: a timer
// would not do, as Windows sends a timer's message only once no other
// message waits, and during a download one always does. The recorder is started and filled to its bounds
// first, as the window's is after a while: its pages are then in place and
// go round. Pausing it keeps what it holds, and while paused a trace call
// costs what it costs with the recorder off.
RecorderRun recorderRun(Rig &rig, int size)
{
    constexpr int StretchMs = 2;
    protocol::Trace::StartRecorder();
    recorderEventNs(200000, size);
    if (!rig.Connect())
        qFatal("link-up failed");
    struct Mark {
        qint64 ns = NowNs();
        double cpu = threadCpuSeconds();
        qint64 notifications = g_notifications;
    };
    std::vector<Stretch> stretches;
    Mark from;
    bool on = true;
    g_beforeNotification = [&] {
        if (NowNs() - from.ns < qint64(StretchMs) * 1000000)
            return;
        const Mark to;
        stretches.push_back({from.ns, to.ns, to.cpu - from.cpu, to.notifications - from.notifications, on});
        from = to;
        on = !on;
        protocol::Trace::PauseRecorder(!on);
    };
    const double seconds = downloadSeconds(rig);
    g_beforeNotification = nullptr;
    protocol::Trace::PauseRecorder(false);
    RecorderRun run;
    const qint64 notifications = downloadNotifications(rig, size);
    run.cost = stretchCost(stretches, g_fetchSentNs, rig.View.ReceiveClosedNs, seconds, notifications);
    run.eventNs = recorderEventNs(notifications, size);
    run.ownShare = run.eventNs * double(notifications) / 1e9 / seconds * 100.0;
    return run;
}

// The window's flight recorder on the bench's two downloads: 244-byte
// notifications, and 20-byte ones, the case with the most events (one per 20
// bytes). The recorder works on the main thread, which takes every
// notification from the link, so the judged row is the main thread's extra
// CPU with the recorder on: per notification, the recorder on against off
// within each download, times the download's notifications, as a share of
// its time (median of the downloads). Whole downloads on against whole
// downloads off differ by tens of percent on a shared machine, which hides
// a cost of a few; turns of a few milliseconds within one download do not.
//
// Checked two ways: with the recorder paused in both turns it finds nothing
// (a few tenths of a percent either side), and with 100 ns of busy waiting
// added to each recorded event it found about 200 ns a notification, so it
// errs high rather than low. The recorder's own time alone, timed in the
// same process right after each download, is given next to it.
void benchRecorder(Rig &rig, sim::SimMeterThread &meter)
{
    constexpr int Downloads = 11;
    for (const int size : NotifySizes) {
        setNotifySize(meter, size);
        const qint64 notifications = downloadNotifications(rig, size);
        std::vector<double> cost;
        std::vector<double> eventNs;
        std::vector<double> ownShare;
        for (int i = 0; i < Downloads; ++i) {
            const RecorderRun run = recorderRun(rig, size);
            cost.push_back(run.cost);
            eventNs.push_back(run.eventNs);
            ownShare.push_back(run.ownShare);
        }
        const double judged = median(cost);
        Row(QStringLiteral("Flight recorder on, download at %1-byte notifications: main thread CPU more (median of %2 "
                           "downloads)")
                .arg(size)
                .arg(Downloads),
            QStringLiteral("%1 % of the download's time").arg(Fixed(judged, 1)),
            QStringLiteral("downloads from %1 to %2 %; the recorder's own time %3 % (%4 notifications at %5 ns)")
                .arg(Fixed(*std::min_element(cost.begin(), cost.end()), 1),
                     Fixed(*std::max_element(cost.begin(), cost.end()), 1), Fixed(median(ownShare), 2))
                .arg(notifications)
                .arg(Fixed(median(eventNs), 1)),
            QStringLiteral("<= 2 %"), judged <= 2.0);
    }
    const protocol::RecorderFigures figures = protocol::Trace::RecorderState();
    protocol::Trace::StopRecorder();
    Info(QStringLiteral("Flight recorder after the last download"),
         QStringLiteral("text %1, held %2").arg(mib(figures.textBytes), mib(figures.heldBytes)),
         QStringLiteral("%1 first + %2 last events kept, %3 left out")
             .arg(figures.headEvents)
             .arg(figures.tailEvents)
             .arg(figures.leftOut));
}

bool startMeter(sim::SimMeterThread &meter)
{
    if (!meter.Start())
        return false;
    QList<sim::RecordField> layout;
    QString error;
    if (!sim::LoadRecordLayout(configPath(), &layout, &error))
        qFatal("%s", qPrintable(error));
    meter.SetLayout(layout);
    protocol::ParameterBlock block = meter.MeterBlock();
    sim::MeterLogic::SetUsageCount(block, RangeTo);
    meter.SetBlock(block);
    meter.Run([](sim::SimPeripheral &peripheral) {
        QObject::connect(&peripheral, &sim::SimPeripheral::FrameReceived, &peripheral,
                         [](const QByteArray &frame) {
                             if (frame.size() == 1 && quint8(frame[0]) == protocol::CmdPing && g_firstPingNs == 0)
                                 g_firstPingNs = NowNs();
                         },
                         Qt::DirectConnection);
    });
    return true;
}

// The same reply through the virtual link alone: the component linked up
// by hand, every notification only counted, no worker and no link object.
double rawRate(const QString &linkValue, int notifySize, sim::SimMeterThread &meter)
{
    setNotifySize(meter, notifySize);
    QList<devlink::VLinkEndpoint> endpoints;
    devlink::VLinkBluetoothLE::ParseEndpoints(linkValue, &endpoints);
    devlink::VLinkBluetoothLE component(endpoints);
    devlink::TBluetoothLEDevice *device = nullptr;
    devlink::TBluetoothGattCharacteristic *serial = nullptr;
    int written = 0;
    qint64 received = 0;
    qint64 lastNs = 0;
    component.OnDiscoverLEDevice = [&](devlink::TBluetoothLE *, devlink::TBluetoothLEDevice *seen, int,
                                       const QByteArray &) {
        if (seen->DeviceName() == devlink::MeterLink::MeterName)
            device = seen;
    };
    component.OnEndDiscoverServices = [&](devlink::TBluetoothLE *,
                                          const QList<devlink::TBluetoothGattService *> &services) {
        for (devlink::TBluetoothGattService *service : services) {
            if (service->UUID() == devlink::MeterLink::SerialService) {
                component.GetCharacteristics(service);
                serial = service->GetCharacteristic(devlink::MeterLink::SerialCharacteristic);
            }
        }
    };
    component.OnCharacteristicWrite = [&](devlink::TBluetoothLE *, devlink::TBluetoothGattCharacteristic *,
                                          int) { ++written; };
    component.OnCharacteristicRead = [&](devlink::TBluetoothLE *, devlink::TBluetoothGattCharacteristic *,
                                         const QByteArray &value, int) {
        received += value.size();
        lastNs = NowNs();
    };
    component.SetEnabled(true);
    QString error;
    if (!component.DiscoverDevices(5000, &error) || !WaitUntil([&] { return device != nullptr; }, 5000))
        qFatal("link alone: meter not seen");
    component.CancelDiscovery();
    component.DiscoverServices(device);
    if (!WaitUntil([&] { return serial != nullptr; }, 5000))
        qFatal("link alone: no serial characteristic");
    device->Connect();
    if (!WaitUntil([&] { return device->IsConnected(); }, 5000)
        || !device->SetCharacteristicNotification(serial, true))
        qFatal("link alone: no connection");

    auto write = [&](const QByteArray &bytes) {
        const int before = written;
        serial->SetValue(bytes);
        component.WriteCharacteristic(device, serial);
        WaitUntil([&] { return written > before; }, 5000);
    };
    protocol::ParameterBlock block = meter.MeterBlock();
    block.setWord(protocol::ParameterBlock::RangeFrom, 1);
    block.setWord(protocol::ParameterBlock::RangeTo, RangeTo);
    sim::MeterLogic::SetChecksum(block);
    const QByteArray frame = char(protocol::CmdWriteParameters) + sim::MeterLogic::EncodeBlock(block) + "\r\n";
    for (qsizetype at = 0; at < frame.size(); at += protocol::MeterChannel::MaxChunk)
        write(frame.mid(at, protocol::MeterChannel::MaxChunk));
    if (!WaitUntil([&] { return received == 1; }, 5000))
        qFatal("link alone: range not accepted");

    QList<sim::RecordField> layout;
    sim::LoadRecordLayout(configPath(), &layout, &error);
    const qint64 total = qint64(RangeTo) * sim::LayoutRecordSize(layout);
    received = 0;
    const qint64 startNs = NowNs();
    write(QByteArray(1, char(protocol::CmdDownloadRecords)));
    if (!WaitUntil([&] { return received >= total; }, 600000))
        qFatal("link alone: reply incomplete");
    component.SetEnabled(false);
    return double(total) / 1e6 / (double(lastNs - startNs) / 1e9);
}

int runAll()
{
    sim::SimMeterThread meter;
    if (!startMeter(meter))
        qFatal("the simulated meter could not listen");
    double program[2] = {};
    qint64 steps[2] = {};
    qint64 notifications[2] = {};
    {
        Rig rig(meter.LinkValue());
        if (!rig.Connect())
            qFatal("link-up failed");
        benchLinkUp();
        benchSendParameters(rig);
        benchUpload(rig);
        for (int i = 0; i < 2; ++i) {
            setNotifySize(meter, NotifySizes[i]);
            if (i > 0 && !rig.Connect())
                qFatal("link-up failed");
            program[i] = downloadRate(rig);
            steps[i] = rig.View.ProgressSteps;
            notifications[i] = downloadNotifications(rig, NotifySizes[i]);
        }
        benchRecorder(rig, meter);
    }
    const double goals[2] = {2.0, 0.5};
    for (int i = 0; i < 2; ++i) {
        const double raw = rawRate(meter.LinkValue(), NotifySizes[i], meter);
        Row(QStringLiteral("Download 65,535 records, %1-byte notifications").arg(NotifySizes[i]),
            QStringLiteral("%1 MB/s").arg(Fixed(program[i], 2)),
            QStringLiteral("link alone %1 MB/s; %2 progress steps for %3 notifications")
                .arg(Fixed(raw, 2))
                .arg(steps[i])
                .arg(notifications[i]),
            QStringLiteral(">= %1 MB/s").arg(Fixed(goals[i], 1)), program[i] >= goals[i]);
    }
    return 0;
}

// The flight recorder's rows alone.
int runRecorder()
{
    sim::SimMeterThread meter;
    if (!startMeter(meter))
        qFatal("the simulated meter could not listen");
    Rig rig(meter.LinkValue());
    benchRecorder(rig, meter);
    return 0;
}

// "Choose meter" among three meters on the program's timings: how soon the
// dialog's scan has listed all three, next to the scan time it runs for;
// then the link-up (click -> Connected, block read) taking the first meter
// seen, next to the same link-up pinned to the last endpoint. Five runs each.
int runChoose()
{
    constexpr int Runs = 5;
    sim::SimMeterThread meters[3];
    QStringList endpoints;
    for (int i = 0; i < 3; ++i) {
        if (!meters[i].Start())
            qFatal("a simulated meter could not listen");
        meters[i].SetAdvertisement(sim::Advertisement(devlink::MeterLink::MeterName,
                                                      sim::Advertisement::SerialService, -40 - 10 * i));
        endpoints << QStringLiteral("127.0.0.1:%1").arg(meters[i].Port());
    }
    const QString linkValue = QStringLiteral("vlink:") + endpoints.join(QLatin1Char(','));
    QList<devlink::VLinkEndpoint> parsed;
    devlink::VLinkBluetoothLE::ParseEndpoints(linkValue, &parsed);
    std::vector<double> listed;
    std::vector<double> ended;
    for (int run = 0; run < Runs; ++run) {
        devlink::MeterScan scan(std::make_unique<devlink::VLinkBluetoothLE>(parsed));
        qint64 allListedNs = 0;
        QObject::connect(&scan, &devlink::MeterScan::Changed, [&] {
            if (!allListedNs && devlink::MeterRows(scan.Seen(), {}).size() == 3)
                allListedNs = NowNs();
        });
        const qint64 startNs = NowNs();
        QString error;
        if (!scan.Start(CurrentTimings().chooseScanMs, &error))
            qFatal("scan: %s", qPrintable(error));
        if (!WaitUntil([&] { return !scan.Scanning(); }, CurrentTimings().chooseScanMs + 5000) || !allListedNs)
            qFatal("the scan did not list three meters");
        listed.push_back(Ms(allListedNs - startNs));
        ended.push_back(Ms(NowNs() - startNs));
    }
    Info(QStringLiteral("Choose meter, three meters: all listed (median of %1)").arg(Runs),
         QStringLiteral("%1 ms").arg(Fixed(median(listed), 1)),
         QStringLiteral("scan ends at %1 ms").arg(Fixed(median(ended), 0)));
    std::vector<double> linkUp[2];
    {
        Rig rig(linkValue);
        for (int run = 0; run < 2 * Runs; ++run) {
            const bool pinned = run % 2;
            rig.Link->Address = pinned ? endpoints[2] : QString();
            const qint64 startNs = NowNs();
            if (!rig.Connect())
                qFatal("link-up failed");
            linkUp[pinned].push_back(Ms(NowNs() - startNs));
            const int before = devlink::Worker->RequestsServed();
            devlink::Worker->RequestDisconnect();
            if (!rig.WaitServed(before, 10000) || devlink::Worker->CurrentState() != devlink::Idle)
                qFatal("disconnect failed");
        }
    }
    const double first = median(linkUp[0]);
    const double pinned = median(linkUp[1]);
    Info(QStringLiteral("Link-up to Connected, first meter seen (median of %1)").arg(Runs),
         QStringLiteral("%1 ms").arg(Fixed(first, 0)), QStringLiteral("-"));
    Row(QStringLiteral("Link-up to Connected, pinned to the third meter (median of %1)").arg(Runs),
        QStringLiteral("%1 ms = %2 x").arg(Fixed(pinned, 0), Fixed(pinned / first, 3)),
        QStringLiteral("first seen %1 ms").arg(Fixed(first, 0)), QStringLiteral("<= 1.03 x"),
        pinned <= 1.03 * first);
    return 0;
}

int runDownload(const QString &linkValue)
{
    Rig rig(linkValue);
    if (!rig.Connect())
        qFatal("link-up failed");
    const double rate = downloadRate(rig);
    Info(QStringLiteral("Download in its own process"), QStringLiteral("%1 MB/s").arg(Fixed(rate, 2)),
         QStringLiteral("peak RSS %1 MB").arg(Fixed(double(os::PeakMemoryBytes()) / (1024.0 * 1024.0), 1)));
    return 0;
}

} // namespace
} // namespace bench

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // Always the program's own timings: the floors are made of them.
    protocol::UseTimings(protocol::Timings{});
    const QStringList args = application.arguments();
    if (args.size() >= 2 && args[1] == QLatin1String("all"))
        return bench::runAll();
    if (args.size() >= 2 && args[1] == QLatin1String("recorder"))
        return bench::runRecorder();
    if (args.size() >= 2 && args[1] == QLatin1String("choose"))
        return bench::runChoose();
    const qsizetype link = args.indexOf(QStringLiteral("--link"));
    if (args.size() >= 2 && args[1] == QLatin1String("download") && link > 0 && link + 1 < args.size())
        return bench::runDownload(args[link + 1]);
    std::fprintf(stderr, "usage: bench_session all | recorder | choose | download --link vlink:HOST:PORT\n");
    return 2;
}
