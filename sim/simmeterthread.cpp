#include "sim/simmeterthread.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace sim {

SimMeterThread::SimMeterThread(QObject *parent) : QObject(parent)
{
    m_thread.setObjectName(QStringLiteral("simulated meter"));
}

SimMeterThread::~SimMeterThread()
{
    Stop();
}

bool SimMeterThread::Start(quint16 port)
{
    if (m_peripheral)
        return true;
    m_thread.start();
    m_peripheral = new SimPeripheral;
    m_peripheral->moveToThread(&m_thread);
    connect(m_peripheral, &SimPeripheral::FrameReceived, this, &SimMeterThread::FrameReceived,
            Qt::QueuedConnection);
    connect(m_peripheral, &SimPeripheral::SessionStarted, this, &SimMeterThread::SessionStarted,
            Qt::QueuedConnection);
    connect(m_peripheral, &SimPeripheral::ConnectionClosed, this, &SimMeterThread::ConnectionClosed,
            Qt::QueuedConnection);
    bool listening = false;
    Run([&](SimPeripheral &peripheral) {
        listening = peripheral.Listen(port);
        m_port = peripheral.Port();
    });
    if (!listening)
        Stop();
    return listening;
}

void SimMeterThread::Stop()
{
    if (!m_peripheral)
        return;
    Run([](SimPeripheral &peripheral) { peripheral.CloseConnections(); });
    m_peripheral->disconnect(this);
    // Destroyed on its own thread as that thread finishes.
    m_peripheral->deleteLater();
    m_peripheral = nullptr;
    m_thread.quit();
    m_thread.wait();
    m_port = 0;
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
    if (QThread::currentThread() == &m_thread) {
        step(*peripheral);
        return;
    }
    QMetaObject::invokeMethod(
        peripheral, [&step, peripheral] { step(*peripheral); }, Qt::BlockingQueuedConnection);
}

protocol::ParameterBlock SimMeterThread::Block() const
{
    protocol::ParameterBlock block;
    Run([&](SimPeripheral &p) { block = p.Meter().Block(); });
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
