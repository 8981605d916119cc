#pragma once
// Runs a simulated meter (SimPeripheral) on a thread of its own, so a test
// whose main thread blocks (a worker waiting, a link-up sequence sleeping)
// still gets answers. Every accessor and setter may be called from any
// thread other than the meter's; each is carried out on the meter's thread
// and returns when it has run.
//
//     sim::SimMeterThread meter;
//     QVERIFY(meter.Start());                  // 127.0.0.1, a free port
//     qputenv("TARVOLIN_LINK", meter.LinkValue().toUtf8());
//     meter.ChangeFaults([](sim::MeterFaults &f) { f.pingsToAnswer = 2; });
//     QVERIFY(meter.WaitForCommand(sim::CodePing, 3, 10000));

#include "sim/simperipheral.h"

#include <QObject>
#include <QThread>

#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <memory>

namespace sim {

class SimMeterLoop;
class SimStepRunner;

class SimMeterThread : public QObject {
    Q_OBJECT
public:
    explicit SimMeterThread(QObject *parent = nullptr);
    ~SimMeterThread() override; // stops the meter

    // Starts the thread and listens on 127.0.0.1:port (0: a free port).
    // False when the port cannot be had; the thread is stopped again then.
    bool Start(quint16 port = 0);
    void Stop();
    bool IsRunning() const { return m_peripheral != nullptr; }
    quint16 Port() const { return m_port; }
    // "vlink:127.0.0.1:<port>", the value for TARVOLIN_LINK.
    QString LinkValue() const;

    // Runs `step` on the meter's thread with the peripheral and waits for
    // it; the way to reach anything the accessors below do not cover.
    void Run(const std::function<void(SimPeripheral &)> &step) const;

    protocol::ParameterBlock MeterBlock() const;
    void SetBlock(const protocol::ParameterBlock &block);
    void SetLayout(const QList<RecordField> &layout);
    MeterFaults Faults() const;
    void SetFaults(const MeterFaults &faults);
    void ChangeFaults(const std::function<void(MeterFaults &)> &change);
    Advertisement GetAdvertisement() const;
    void SetAdvertisement(const Advertisement &advertisement);

    // Every frame the meter received so far, exactly as it came.
    QList<QByteArray> Frames() const;
    int CommandCount(std::uint8_t code) const;
    // The firmware image built on the latest connection (MeterLogic).
    ImageBytes FirmwareImage() const;
    // Every line the central sent (CONNECT, SUBSCRIBE, WRITE ...).
    QList<QByteArray> ReceivedLines() const;
    int SessionCount() const;
    int ConnectionCount() const;
    // The meter ends every connection (a meter switched off).
    void CloseConnections();

    // Wait, processing the calling thread's events, until the meter has
    // seen at least `count` such commands / frames / sessions (connections:
    // exactly `count` open); false when `timeoutMs` passed first.
    bool WaitForCommand(std::uint8_t code, int count, int timeoutMs);
    bool WaitForFrames(int count, int timeoutMs);
    bool WaitForSessions(int count, int timeoutMs);
    bool WaitForConnections(int count, int timeoutMs);

signals:
    // Emitted on the thread that owns this object.
    void FrameReceived(const QByteArray &frame);
    void SessionStarted();
    void ConnectionClosed();

private:
    bool WaitFor(const std::function<bool()> &condition, int timeoutMs);

    enum class Notice { Frame, Session, Closed };
    // Called on the meter's thread; the notice is emitted on ours.
    void Post(Notice kind, const QByteArray &frame);
    Q_INVOKABLE void DeliverNotices();

    std::unique_ptr<SimMeterLoop> m_thread;
    SimStepRunner *m_runner = nullptr; // lives on m_thread
    SimPeripheral *m_peripheral = nullptr;
    quint16 m_port = 0;
    std::mutex m_noticeMutex;
    std::deque<std::pair<Notice, QByteArray>> m_notices;
};

} // namespace sim
