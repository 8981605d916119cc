#pragma once
// The link to the meter: the Bluetooth LE component `vorelt`, the link-up
// sequence that finds the meter, connects, finds the serial characteristic
// and switches its notifications on, the component's four event handlers,
// and the write path the worker uses.
//
// Everything here runs on the main thread except QueueWrite, which the
// worker calls. The window and the command-line tool each own one MeterLink;
// neither needs anything else of the other. The waiting loops process
// pending events through QtCore, so they work in a program without windows.

#include "link/bluetoothle.h"
#include "link/mainthreadpoke.h"
#include "protocol/failure.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace devlink {

class BT;
class SessionView;

// Whether a device at `address` is the meter asked for by `wanted`: any
// address when `wanted` is empty, else the same text without regard to
// letter case (the address as TBluetoothLEDevice::Address gives it).
bool AddressMatches(const QString &wanted, const QString &address);

class MeterLink {
public:
    // The meter's advertised name, its serial service and characteristic.
    static const QString MeterName;
    static const QBluetoothUuid SerialService;
    static const QBluetoothUuid SerialCharacteristic;

    MeterLink(std::unique_ptr<TBluetoothLE> component, SessionView *view);
    ~MeterLink();
    MeterLink(const MeterLink &) = delete;
    MeterLink &operator=(const MeterLink &) = delete;

    // "Search and connect": runs the whole link-up sequence and returns with
    // the link subscribed (LinkStage 5) or switched off. Posts Connect to the
    // worker once the scan runs. Does nothing while a sequence runs already
    // or after Abandon.
    void SearchAndConnect();
    bool Running() const { return m_running; }
    // The owner is going away: a running sequence gives up without a
    // message, and no new one starts.
    void Abandon();

    // Assigns the component's four events (step 2 of the sequence). The
    // window routes them through its own handlers; by default they come
    // straight here.
    std::function<void()> AssignHandlers;

    // Where no user can cancel (the command-line tool): give up once the
    // scan has ended without the meter. A meter never seen counts as a
    // cancel, so the worker shows no failure and LinkFailure says
    // MeterNotFound; one that refused notifications is reported as such.
    void GiveUpWhenScanEnds(bool giveUp) { m_giveUpWhenScanEnds = giveUp; }
    // How long a scan runs; the tool's --scan-seconds changes it. Where the
    // sequence gives up when the scan ends, it bounds the whole link-up:
    // a round repeated because notifications were refused scans only for
    // what is left of it, and none starts once it has run out.
    int ScanMs;
    // The one meter to connect to, by its address (see AddressMatches);
    // other devices that advertise the meter's name are passed over. Empty:
    // the first meter the scan reports.
    QString Address;

    // ---- the component's events (main thread) ---------------------------
    void DeviceSeen(TBluetoothLE *sender, TBluetoothLEDevice *device, int rssi,
                    const QByteArray &scanResponse);
    void ServicesListed(TBluetoothLE *sender, const QList<TBluetoothGattService *> &services);
    void NotificationArrived(TBluetoothLE *sender, TBluetoothGattCharacteristic *characteristic,
                             const QByteArray &value, int gattStatus);
    void WriteCompleted(TBluetoothLE *sender, TBluetoothGattCharacteristic *characteristic,
                        int gattStatus);

    // ---- worker thread --------------------------------------------------
    // Copies 1..64 bytes and has the main thread start their write; returns
    // at once. The completion comes back through WriteCompleted.
    void QueueWrite(const std::uint8_t *data, int count);

    // The worker this link serves: the link-up posts Connect to it, and
    // notifications and write completions go to it. Its owner hands it over
    // once the worker exists; the worker withdraws itself when it goes.
    void Serve(BT *worker) { m_worker = worker; }
    BT *Served() const { return m_worker; }

    const std::unique_ptr<TBluetoothLE> vorelt;
    TBluetoothLEDevice *LinkDevice = nullptr;
    TBluetoothGattCharacteristic *LinkCharacteristic = nullptr;
    // 1 discovering, 2 device found, 3 characteristic found, 5 subscribed.
    // Read by the worker without a lock while it watches the link-up.
    std::atomic<qint32> LinkStage{0};
    std::atomic<bool> CancelRequested{false};
    // Why the last round gave up (None while a round runs and once the link
    // is subscribed); set before the link goes off, so the worker that sees
    // the link off reads it without a lock, as it reads LinkStage.
    std::atomic<protocol::Failure> LinkFailure{protocol::Failure::None};

private:
    void AssignOwnHandlers();
    bool LinkUpRound();
    protocol::Outcome FindMeter();
    protocol::Outcome FindSerialCharacteristic();
    protocol::Outcome ConnectMeter();
    // Records why the round ends and switches the link off.
    void GiveUp(protocol::Failure why);
    // Why the sequence must give up now; None while nothing asks it to.
    protocol::Failure GiveUpReason() const;
    bool GiveUpRequested() const { return GiveUpReason() != protocol::Failure::None; }
    // Events, then (unless they moved LinkStage off `stage`) a sleep and
    // events again.
    void PumpEvents(int sleepMs, qint32 stage);
    void SetStage(qint32 stage);
    void StartQueuedWrites(); // main thread

    SessionView *const m_view;
    BT *m_worker = nullptr; // main thread only
    bool m_running = false;
    std::atomic<bool> m_abandoned{false};
    bool m_giveUpWhenScanEnds = false;
    // Where the sequence gives up when the scan ends: the end of its time,
    // and whether a round of it met the meter refusing notifications.
    QDeadlineTimer m_linkUpEnd;
    bool m_refused = false;
    std::mutex m_chunkLock;
    std::deque<QByteArray> m_chunks; // guarded by m_chunkLock
    MainThreadPoke m_chunkPoke{[this] { StartQueuedWrites(); }};
};

} // namespace devlink
