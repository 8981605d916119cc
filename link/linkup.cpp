// "Search and connect": the link-up sequence on the main thread, the link's
// event handlers, and the write path the worker uses.
#include "app/mainform.h"

#include "app/prompts.h"
#include "link/bt.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QThread>

namespace app {

namespace {

const QString kMeterName = QStringLiteral("Vorelt-ZEVQ25k");
const QBluetoothUuid kSerialService(QStringLiteral("{49535343-FE7D-4AE5-8FA9-9FAFD205E455}"));
const QBluetoothUuid kSerialCharacteristic(QStringLiteral("{49535343-1E4D-4BD9-BA61-23C647249616}"));

constexpr int kScanMs = 11700;
constexpr int kPollMs = 100;
constexpr int kServicePolls = 20;  // gives up after the 22nd sleep
constexpr int kConnectTries = 500; // gives up after the 501st Connect
constexpr int kConnectPauseMs = 10;
constexpr int kBeforeServicesMs = 350;
constexpr int kBeforeConnectMs = 350;
constexpr int kBeforeNotifyMs = 500;

// Keeps a flag set for as long as the sequence runs, whichever way it ends.
struct RunningFlag {
    explicit RunningFlag(bool &flag) : m_flag(flag) { m_flag = true; }
    ~RunningFlag() { m_flag = false; }
    bool &m_flag;
};

} // namespace

void TForm4::Button1Click()
{
    if (Tag(Button1) != 0) {
        if (devlink::Worker)
            devlink::Worker->RequestDisconnect();
        return;
    }
    if (m_linkUpRunning || Closing)
        return;
    RunningFlag running(m_linkUpRunning);
    AssignLinkHandlers();
    // Notifications could not be switched on: the whole sequence starts over,
    // scan included, for as long as that keeps happening.
    while (!LinkUp()) {
    }
}

void TForm4::AssignLinkHandlers()
{
    using namespace std::placeholders;
    vorelt->OnCharacteristicRead = std::bind(&TForm4::voreltCharacteristicRead, this, _1, _2, _3, _4);
    vorelt->OnCharacteristicWrite = std::bind(&TForm4::voreltCharacteristicWrite, this, _1, _2, _3);
    vorelt->OnDiscoverLEDevice = std::bind(&TForm4::voreltDiscoverLEDevice, this, _1, _2, _3, _4);
    vorelt->OnEndDiscoverServices = std::bind(&TForm4::voreltEndDiscoverServices, this, _1, _2);
}

// One round of the sequence. False only when notifications could not be
// switched on and the round is to be repeated; every other ending returns
// true with the link either subscribed or switched off.
bool TForm4::LinkUp()
{
    vorelt->SetEnabled(true);
    CancelRequested = false;
    LinkStage = 1;
    LinkDevice = nullptr;
    LinkCharacteristic = nullptr;
    QString error;
    if (!vorelt->DiscoverDevices(kScanMs, &error)) {
        vorelt->SetEnabled(false);
        prompts().Message(this, QStringLiteral("BT LE module not enabled or not installed"),
                          QStringLiteral("Error"), MessageIcon::Error);
        return true;
    }
    if (devlink::Worker)
        devlink::Worker->RequestConnect();
    if (!FindMeter() || !FindSerialCharacteristic() || !ConnectMeter()) {
        vorelt->SetEnabled(false); // give up; the worker reports it unless cancelled
        return true;
    }
    if (!LinkDevice->SetCharacteristicNotification(LinkCharacteristic, true)) {
        if (GiveUpRequested()) {
            vorelt->SetEnabled(false);
            return true;
        }
        return false;
    }
    vorelt->SubscribeToCharacteristic(LinkDevice, LinkCharacteristic);
    if (GiveUpRequested()) {
        vorelt->SetEnabled(false);
        return true;
    }
    LinkStage = 5;
    return true;
}

// Waits, without a time limit, until the scan reports the meter.
bool TForm4::FindMeter()
{
    while (LinkStage == 1) {
        PumpEvents(kPollMs);
        if (GiveUpRequested())
            return false;
    }
    if (GiveUpRequested())
        return false;
    QThread::msleep(kBeforeServicesMs);
    return !GiveUpRequested();
}

bool TForm4::FindSerialCharacteristic()
{
    vorelt->DiscoverServices(LinkDevice);
    for (int k = 0; LinkStage == 2; ++k) {
        PumpEvents(kPollMs);
        if (GiveUpRequested() || k > kServicePolls)
            return false;
    }
    // A serial service without the serial characteristic is as good as none.
    if (!LinkCharacteristic)
        return false;
    QThread::msleep(kBeforeConnectMs);
    QCoreApplication::processEvents();
    return !GiveUpRequested();
}

bool TForm4::ConnectMeter()
{
    for (int k = 0; !LinkDevice->IsConnected();) {
        LinkDevice->Connect();
        QThread::msleep(kConnectPauseMs);
        if (GiveUpRequested())
            return false;
        QCoreApplication::processEvents();
        if (++k > kConnectTries)
            return false;
    }
    if (GiveUpRequested())
        return false;
    QThread::msleep(kBeforeNotifyMs);
    if (GiveUpRequested())
        return false;
    QCoreApplication::processEvents();
    return !GiveUpRequested();
}

// Cancel, a closing window, a platform error or a link switched off from
// elsewhere all end the sequence.
bool TForm4::GiveUpRequested() const
{
    return CancelRequested || Closing || !vorelt->Enabled() || !vorelt->PlatformError().isEmpty();
}

void TForm4::PumpEvents(int sleepMs)
{
    QCoreApplication::processEvents();
    QThread::msleep(static_cast<unsigned long>(sleepMs));
    if (!GiveUpRequested())
        QCoreApplication::processEvents();
}

// ---- the link's events ------------------------------------------------------

void TForm4::voreltDiscoverLEDevice(devlink::TBluetoothLE *, devlink::TBluetoothLEDevice *device, int,
                                    const QByteArray &)
{
    if (device->DeviceName() != kMeterName)
        return;
    vorelt->CancelDiscovery();
    LinkDevice = device;
    LinkStage = 2;
}

void TForm4::voreltEndDiscoverServices(devlink::TBluetoothLE *,
                                       const QList<devlink::TBluetoothGattService *> &services)
{
    if (LinkStage != 2)
        return;
    for (devlink::TBluetoothGattService *service : services) {
        if (service->UUID() != kSerialService)
            continue;
        vorelt->GetCharacteristics(service);
        LinkCharacteristic = service->GetCharacteristic(kSerialCharacteristic);
        LinkStage = 3;
    }
}

void TForm4::voreltCharacteristicRead(devlink::TBluetoothLE *, devlink::TBluetoothGattCharacteristic *,
                                      const QByteArray &value, int gattStatus)
{
    if (devlink::Worker)
        devlink::Worker->OnNotification(value, gattStatus);
}

void TForm4::voreltCharacteristicWrite(devlink::TBluetoothLE *, devlink::TBluetoothGattCharacteristic *,
                                       int gattStatus)
{
    if (devlink::Worker)
        devlink::Worker->OnWriteCompleted(gattStatus);
}

void TForm4::WriteChunk(const std::uint8_t *data, int count)
{
    // Called on the worker thread: the bytes are copied now and the write is
    // started on the main thread, where the link lives.
    {
        std::lock_guard guard(m_chunkLock);
        m_chunks.emplace_back(reinterpret_cast<const char *>(data), count);
    }
    m_chunkPoke.Poke();
}

void TForm4::StartQueuedWrites()
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
        if (!vorelt->Enabled() || !LinkDevice || !LinkCharacteristic)
            continue;
        LinkCharacteristic->SetValue(bytes);
        vorelt->WriteCharacteristic(LinkDevice, LinkCharacteristic);
    }
}

} // namespace app
