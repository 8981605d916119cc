#include "sim/simmeterthread.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace sim {

// Runs steps on the meter's thread for other threads. The step is handed
// over under our own mutex and the posted call carries nothing, so the
// thread sanitizer sees every hand-over (it cannot see inside Qt's queues).
class SimStepRunner : public QObject {
    Q_OBJECT
public:
    void RunAndWait(const std::function<void()> &step)
    {
        Pending pending{&step};
        std::unique_lock lock(m_mutex);
        m_queue.push_back(&pending);
        QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection);
        m_done.wait(lock, [&] { return pending.done; });
    }

private slots:
    void RunPending()
    {
        for (;;) {
            Pending *pending = nullptr;
            {
                std::lock_guard lock(m_mutex);
                if (m_queue.empty())
                    return;
                pending = m_queue.front();
                m_queue.pop_front();
            }
            (*pending->step)();
            std::lock_guard lock(m_mutex);
            pending->done = true;
            m_done.notify_all();
        }
    }

private:
    struct Pending {
        const std::function<void()> *step;
        bool done = false;
    };
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::deque<Pending *> m_queue;
};

// The meter's thread. Its runner is made on the thread itself and handed
// over under a mutex, so nothing of it is shared before that hand-over.
class SimMeterLoop : public QThread {
public:
    SimStepRunner *WaitForRunner()
    {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [this] { return m_runner != nullptr; });
        return m_runner;
    }

protected:
    void run() override
    {
        SimStepRunner runner;
        {
            std::lock_guard lock(m_mutex);
            m_runner = &runner;
        }
        m_ready.notify_all();
        exec();
        // Notified under the lock: the waiter destroys this object next.
        std::lock_guard lock(m_mutex);
        m_runner = nullptr;
        m_finished = true;
        m_ready.notify_all();
    }

public:
    // QThread::wait() alone is invisible to the thread sanitizer.
    void QuitAndWait()
    {
        quit();
        {
            std::unique_lock lock(m_mutex);
            m_ready.wait(lock, [this] { return m_finished; });
        }
        wait();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    SimStepRunner *m_runner = nullptr;
    bool m_finished = false;
};

SimMeterThread::SimMeterThread(QObject *parent) : QObject(parent) {}

SimMeterThread::~SimMeterThread()
{
    Stop();
}

bool SimMeterThread::Start(quint16 port)
{
    if (m_thread)
        return m_peripheral != nullptr;
    m_thread = std::make_unique<SimMeterLoop>();
    m_thread->setObjectName(QStringLiteral("simulated meter"));
    m_thread->start();
    m_runner = m_thread->WaitForRunner();
    bool listening = false;
    m_runner->RunAndWait([&] {
        m_peripheral = new SimPeripheral;
        // The meter's signals are collected on its thread and delivered on
        // ours by a call that carries nothing (see SimStepRunner).
        connect(m_peripheral, &SimPeripheral::FrameReceived, m_peripheral,
                [this](const QByteArray &frame) { Post(Notice::Frame, frame); });
        connect(m_peripheral, &SimPeripheral::SessionStarted, m_peripheral,
                [this] { Post(Notice::Session, {}); });
        connect(m_peripheral, &SimPeripheral::ConnectionClosed, m_peripheral,
                [this] { Post(Notice::Closed, {}); });
        listening = m_peripheral->Listen(port);
        m_port = m_peripheral->Port();
    });
    if (!listening)
        Stop();
    return listening;
}

void SimMeterThread::Stop()
{
    if (!m_thread)
        return;
    // Destroyed on its own thread, sockets and all.
    m_runner->RunAndWait([this] {
        m_peripheral->CloseConnections();
        delete m_peripheral;
        m_peripheral = nullptr;
    });
    m_thread->QuitAndWait();
    m_thread.reset();
    m_runner = nullptr;
    m_port = 0;
}

void SimMeterThread::Post(Notice kind, const QByteArray &frame)
{
    {
        std::lock_guard lock(m_noticeMutex);
        m_notices.push_back({kind, frame});
    }
    QMetaObject::invokeMethod(this, "DeliverNotices", Qt::QueuedConnection);
}

void SimMeterThread::DeliverNotices()
{
    for (;;) {
        std::pair<Notice, QByteArray> notice;
        {
            std::lock_guard lock(m_noticeMutex);
            if (m_notices.empty())
                return;
            notice = std::move(m_notices.front());
            m_notices.pop_front();
        }
        if (notice.first == Notice::Frame)
            emit FrameReceived(notice.second);
        else if (notice.first == Notice::Session)
            emit SessionStarted();
        else
            emit ConnectionClosed();
    }
}

QString SimMeterThread::LinkValue() const
{
    return QStringLiteral("vlink:127.0.0.1:%1").arg(m_port);
}

void SimMeterThread::Run(const std::function<void(SimPeripheral &)> &step) const
{
    SimPeripheral *peripheral = m_peripheral;
    if (!peripheral)
        return;
    if (QThread::currentThread() == m_thread.get()) {
        step(*peripheral);
        return;
    }
    m_runner->RunAndWait([&] { step(*peripheral); });
}

protocol::ParameterBlock SimMeterThread::MeterBlock() const
{
    protocol::ParameterBlock block;
    Run([&](SimPeripheral &p) { block = p.Meter().MeterBlock(); });
    return block;
}

void SimMeterThread::SetBlock(const protocol::ParameterBlock &block)
{
    Run([&](SimPeripheral &p) { p.Meter().SetBlock(block); });
}

void SimMeterThread::SetLayout(const QList<RecordField> &layout)
{
    Run([&](SimPeripheral &p) { p.Meter().SetLayout(layout); });
}

MeterFaults SimMeterThread::Faults() const
{
    MeterFaults faults;
    Run([&](SimPeripheral &p) { faults = p.Meter().faults; });
    return faults;
}

void SimMeterThread::SetFaults(const MeterFaults &faults)
{
    Run([&](SimPeripheral &p) { p.Meter().faults = faults; });
}

void SimMeterThread::ChangeFaults(const std::function<void(MeterFaults &)> &change)
{
    Run([&](SimPeripheral &p) { change(p.Meter().faults); });
}

Advertisement SimMeterThread::GetAdvertisement() const
{
    Advertisement advertisement;
    Run([&](SimPeripheral &p) { advertisement = p.advertisement; });
    return advertisement;
}

void SimMeterThread::SetAdvertisement(const Advertisement &advertisement)
{
    Run([&](SimPeripheral &p) { p.advertisement = advertisement; });
}

QList<QByteArray> SimMeterThread::Frames() const
{
    QList<QByteArray> frames;
    Run([&](SimPeripheral &p) { frames = p.Meter().Frames(); });
    return frames;
}

int SimMeterThread::CommandCount(std::uint8_t code) const
{
    int count = 0;
    Run([&](SimPeripheral &p) { count = p.Meter().CommandCount(code); });
    return count;
}

ImageBytes SimMeterThread::FirmwareImage() const
{
    ImageBytes image;
    Run([&](SimPeripheral &p) { image = p.Meter().FirmwareImage(); });
    return image;
}

QList<QByteArray> SimMeterThread::ReceivedLines() const
{
    QList<QByteArray> lines;
    Run([&](SimPeripheral &p) { lines = p.ReceivedLines(); });
    return lines;
}

int SimMeterThread::SessionCount() const
{
    int count = 0;
    Run([&](SimPeripheral &p) { count = p.SessionCount(); });
    return count;
}

int SimMeterThread::ConnectionCount() const
{
    int count = 0;
    Run([&](SimPeripheral &p) { count = p.ConnectionCount(); });
    return count;
}

void SimMeterThread::CloseConnections()
{
    Run([](SimPeripheral &p) { p.CloseConnections(); });
}

bool SimMeterThread::WaitFor(const std::function<bool()> &condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        // Woken by the meter's signals; the short timer covers changes that
        // raise none.
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        connect(this, &SimMeterThread::FrameReceived, &loop, &QEventLoop::quit);
        connect(this, &SimMeterThread::SessionStarted, &loop, &QEventLoop::quit);
        connect(this, &SimMeterThread::ConnectionClosed, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool SimMeterThread::WaitForCommand(std::uint8_t code, int count, int timeoutMs)
{
    return WaitFor([&] { return CommandCount(code) >= count; }, timeoutMs);
}

bool SimMeterThread::WaitForFrames(int count, int timeoutMs)
{
    return WaitFor([&] { return Frames().size() >= count; }, timeoutMs);
}

bool SimMeterThread::WaitForSessions(int count, int timeoutMs)
{
    return WaitFor([&] { return SessionCount() >= count; }, timeoutMs);
}

bool SimMeterThread::WaitForConnections(int count, int timeoutMs)
{
    return WaitFor([&] { return ConnectionCount() == count; }, timeoutMs);
}

} // namespace sim

#include "simmeterthread.moc"
