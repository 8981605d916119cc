#include "link/bt.h"

#include <QCoreApplication>

namespace devlink {

BT *Worker = nullptr;

BT::BT(TBluetoothLE *link, qint32 recordSize)
    : Link(link), RecordSize(recordSize), m_stepPoke([this] { RunHandedStep(); })
{
}

BT::~BT()
{
    // The thread has ended; a link still up is switched off here, on the
    // main thread, so the meter sees the connection go.
    if (State > Established)
        DisableLink();
    if (Worker == this)
        Worker = nullptr;
}

// ---- request methods --------------------------------------------------------

void BT::RequestConnect()
{
    {
        std::lock_guard guard(Lock);
        Request = Connect;
    }
    RequestEvent.Signal();
}

void BT::RequestDisconnect()
{
    {
        std::lock_guard guard(Lock);
        Request = Disconnect;
    }
    RequestEvent.Signal();
}

void BT::RequestTransfer()
{
    {
        std::lock_guard guard(Lock);
        if (State == Connected)
            Request = Transfer;
    }
    RequestEvent.Signal();
}

void BT::RequestRevert()
{
    {
        std::lock_guard guard(Lock);
        Request = Revert;
    }
    RequestEvent.Signal();
}

void BT::Shutdown()
{
    TerminateEvent.Signal();
    // The worker may be inside a step it handed to us: keep running them.
    while (!wait(10))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // Pairs with the end of run(): everything the worker did is seen here.
    { std::lock_guard guard(m_handoffLock); }
    delete this;
}

SessionState BT::CurrentState() const
{
    std::lock_guard guard(Lock);
    return State;
}

void BT::SetState(SessionState state)
{
    std::lock_guard guard(Lock);
    State = state;
}

// ---- the thread body --------------------------------------------------------

void BT::run()
{
    Execute();
    std::lock_guard guard(m_handoffLock);
}

void BT::Execute()
{
    while (!m_terminated) {
        try {
            RunPass();
        } catch (...) {
            // An error inside an operation or a step must not end the thread:
            // it ends the session as a lost connection would.
            try {
                ConnectionLost();
            } catch (...) {
                SetState(Idle);
            }
        }
    }
}

bool BT::RunPass()
{
    const int which = WaitForEither(RequestEvent, TerminateEvent, RequestWaitMs);
    if (which == 1) {
        if (CurrentState() == Connected)
            SendDisconnect();
        m_terminated = true;
        return false;
    }
    if (which == 0) {
        const SessionState state = CurrentState();
        if (state != Idle && state != Connected)
            return true;
        TakeRequest();
        if (CurrentState() == Connected)
            return true;
        RunStateWork();
        return true;
    }
    // Keep-alive: 2000 ms without an event while connected.
    if (CurrentState() == Connected && !Ping())
        ConnectionLost();
    return true;
}

void BT::TakeRequest()
{
    std::lock_guard guard(Lock);
    if (State == Connected) {
        switch (Request) {
        case Revert: State = Reverting; break;
        case Transfer: State = Transferring; break;
        case Disconnect: State = Disconnecting; break;
        default: break; // Upload is taken once firmware upload exists
        }
    } else if (State == Idle && Request == Connect) {
        State = Searching;
    }
}

// Work of each state, tested in this order within one pass; one state may
// lead to the next (Searching -> Established -> ReadingParameters).
void BT::RunStateWork()
{
    if (CurrentState() == Reverting)
        RunReverting();
    if (CurrentState() == Searching)
        RunSearching();
    if (CurrentState() == Disconnecting)
        RunDisconnecting();
    if (CurrentState() == Transferring)
        RunTransferring();
    if (CurrentState() == Established)
        RunEstablished();
    if (CurrentState() == ReadingParameters)
        RunReadingParameters();
    // LiveReading is reached only once measurement reading exists; until then
    // a link that comes up on the Measurement page is closed again at once.
    if (CurrentState() == LiveReading) {
        DisableLink();
        SetState(Idle);
        ShowDisconnected();
    }
}

void BT::RunReverting()
{
    RestoreFirstBlock();
    SetState(Connected);
    if (!Ping())
        ConnectionLost();
}

void BT::RunSearching()
{
    ShowSearchDialog();
    while (CurrentState() == Searching) {
        if (Link->Enabled()) {
            if (LinkStageNow() < 5) {
                QThread::msleep(SearchPollMs);
                continue;
            }
            SetState(Established);
            HideSearchDialog();
            break;
        }
        // The link-up sequence gave up or was cancelled.
        if (!CancelRequestedNow()) {
            SetState(Idle);
            HideSearchDialog();
            ReportConnectFailure();
        }
        if (CurrentState() == Idle)
            break;
        const int which = WaitForEither(RequestEvent, TerminateEvent, CancelWaitMs);
        if (which < 0)
            continue;
        SetState(Idle);
        HideSearchDialog();
        if (which == 1)
            m_terminated = true;
    }
}

void BT::RunEstablished()
{
    m_haveFirstBlock = false;
    ShowWaitDialog();
    const bool deviceDataPage = DeviceDataPageShown();
    SetState(deviceDataPage ? ReadingParameters : LiveReading);
    QThread::msleep(EstablishedPauseMs);
    ShowConnected();
    HideWaitDialog();
}

void BT::RunReadingParameters()
{
    if (!ReadParameters()) {
        ConnectionLost();
        return;
    }
    m_firstBlock = Block;
    m_haveFirstBlock = true;
    SetState(Connected);
}

void BT::RunDisconnecting()
{
    SendDisconnect();
    DisableLink();
    SetState(Idle);
    ShowDisconnected();
}

void BT::RunTransferring()
{
    // DownloadMode is served once measurement download exists; until then
    // every transfer writes the parameter block.
    if (!WriteParameters() || !ReadParameters()) {
        ConnectionLost();
        return;
    }
    SetState(Connected);
}

void BT::ConnectionLost()
{
    DisableLink();
    SetState(Idle);
    ShowDisconnected();
    ReportConnectionLost();
}

// ---- hooks and hand-off -----------------------------------------------------

void BT::Sleep(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}

void BT::Synchronize(const std::function<void()> &step)
{
    if (QThread::currentThread() == m_stepPoke.thread()) {
        step();
        return;
    }
    // The step and its outcome travel under m_handoffLock rather than inside
    // Qt's queued call, so the hand-over is plain to see for thread checkers.
    {
        std::lock_guard guard(m_handoffLock);
        m_handedStep = &step;
        m_handedDone = false;
        m_handedError = nullptr;
    }
    m_stepPoke.Poke();
    std::unique_lock lock(m_handoffLock);
    m_handedCondition.wait(lock, [this] { return m_handedDone; });
    if (m_handedError)
        std::rethrow_exception(m_handedError);
}

void BT::RunHandedStep()
{
    const std::function<void()> *step = nullptr;
    {
        std::lock_guard guard(m_handoffLock);
        step = m_handedStep;
    }
    std::exception_ptr error;
    try {
        (*step)();
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard guard(m_handoffLock);
        m_handedError = error;
        m_handedDone = true;
    }
    m_handedCondition.notify_all();
}

} // namespace devlink
