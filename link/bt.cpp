#include "link/bt.h"

#include "link/meterlink.h"
#include "protocol/timings.h"
#include "protocol/trace.h"

#include <QCoreApplication>

#include <utility>

namespace devlink {

BT *Worker = nullptr;

using protocol::CurrentTimings;
using protocol::Trace;

namespace {

const char *stateName(SessionState state)
{
    switch (state) {
    case Idle: return "Idle";
    case Searching: return "Searching";
    case Established: return "Established";
    case Connected: return "Connected";
    case Disconnecting: return "Disconnecting";
    case Transferring: return "Transferring";
    case Uploading: return "Uploading";
    case ReadingParameters: return "ReadingParameters";
    case Reverting: return "Reverting";
    case LiveReading: return "LiveReading";
    }
    return "?";
}

const char *requestName(SessionRequest request)
{
    switch (request) {
    case NoRequest: return "NoRequest";
    case Connect: return "Connect";
    case Disconnect: return "Disconnect";
    case Transfer: return "Transfer";
    case Upload: return "Upload";
    case Revert: return "Revert";
    }
    return "?";
}

} // namespace

BT::BT(MeterLink *link, SessionView *view, qint32 recordSize,
       std::vector<protocol::RecordField> layout)
    : MeterChannel(DefaultReceiveCapacity, recordSize), Link(link), View(view),
      Layout(std::move(layout)), m_stepPoke([this] { RunHandedStep(); })
{
    setObjectName(QStringLiteral("worker"));
}

BT::~BT()
{
    // The thread has ended; a link still up is switched off here, on the
    // main thread, so the meter sees the connection go.
    if (State > Established)
        DisableLink();
    if (Link->Served() == this)
        Link->Serve(nullptr);
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

void BT::RequestUpload(std::unique_ptr<QStringList> lines, const QString &fileName)
{
    // The worker reads HexLines only after it has taken Upload, and never
    // while it is in a pass that could take it: a request posted during a
    // pass waits for the next one.
    {
        std::lock_guard guard(Lock);
        HexLines = std::move(lines);
        Request = Upload;
    }
    View->NameUpload(fileName);
    RequestEvent.Signal();
}

void BT::Shutdown()
{
    TerminateEvent.Signal();
    // The worker may be waiting on a step it handed to us. Run it from here
    // rather than wait for its poke: when the close itself came out of the
    // event queue, a nested loop need not deliver what was queued meanwhile.
    while (!wait(10)) {
        RunHandedStep();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
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
    SessionState before;
    {
        std::lock_guard guard(Lock);
        before = State;
        State = state;
    }
    Trace::Note([&] { return QStringLiteral("state %1 -> %2").arg(stateName(before), stateName(state)); });
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
            const protocol::Failure why = CaughtFailure(std::current_exception());
            try {
                ConnectionLost(why);
            } catch (...) {
                SetState(Idle);
            }
        }
    }
}

bool BT::RunPass()
{
    const int which = WaitForEither(RequestEvent, TerminateEvent, CurrentTimings().requestWaitMs);
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
        if (CurrentState() != Connected)
            RunStateWork();
        m_requestsServed.fetch_add(1, std::memory_order_release);
        return true;
    }
    // Keep-alive: 2000 ms without an event while connected.
    if (CurrentState() == Connected) {
        if (const protocol::Outcome alive = Ping(); !alive)
            ConnectionLost(alive.why());
    }
    return true;
}

void BT::TakeRequest()
{
    SessionState before;
    SessionState after;
    SessionRequest request;
    {
        std::lock_guard guard(Lock);
        before = State;
        request = Request;
        if (State == Connected) {
            switch (Request) {
            case Revert: State = Reverting; break;
            case Transfer: State = Transferring; break;
            case Upload: State = Uploading; break;
            case Disconnect: State = Disconnecting; break;
            default: break;
            }
        } else if (State == Idle && Request == Connect) {
            State = Searching;
        }
        after = State;
    }
    Trace::Note([&] {
        return QStringLiteral("request %1 in %2: %3")
            .arg(QLatin1String(requestName(request)), QLatin1String(stateName(before)), before == after ? QStringLiteral("not taken") : QString::fromLatin1(stateName(after)));
    });
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
    if (CurrentState() == Uploading)
        RunUploading();
    if (CurrentState() == Established)
        RunEstablished();
    if (CurrentState() == ReadingParameters)
        RunReadingParameters();
    if (CurrentState() == LiveReading)
        RunLiveReading();
}

// A link that came up on the Measurement page takes one reading and closes;
// a reading that fails shows no message.
void BT::RunLiveReading()
{
    RecordMisfit.clear();
    if (const protocol::Outcome read = ReadCurrentMeasurement())
        ShowReceivedRecords(1);
    else
        JudgeFetch(read.why());
    DisableLink();
    SetState(Idle);
    ShowDisconnected();
}

void BT::RunReverting()
{
    RestoreFirstBlock();
    SetState(Connected);
    if (const protocol::Outcome alive = Ping(); !alive)
        ConnectionLost(alive.why());
}

void BT::RunSearching()
{
    ShowSearchDialog();
    while (CurrentState() == Searching) {
        if (Link->vorelt->Enabled()) {
            if (Link->LinkStage.load() < 5) {
                QThread::msleep(static_cast<unsigned long>(CurrentTimings().searchPollMs));
                continue;
            }
            SetState(Established);
            HideSearchDialog();
            break;
        }
        // The link-up sequence gave up or was cancelled.
        if (!Link->CancelRequested.load()) {
            SetState(Idle);
            HideSearchDialog();
            ReportConnectFailure(Link->LinkFailure.load());
        }
        if (CurrentState() == Idle)
            break;
        const int which = WaitForEither(RequestEvent, TerminateEvent, CurrentTimings().cancelWaitMs);
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
    QThread::msleep(static_cast<unsigned long>(CurrentTimings().establishedPauseMs));
    ShowConnected();
    HideWaitDialog();
}

void BT::RunReadingParameters()
{
    if (const protocol::Outcome read = ReadParameters(); !read) {
        ConnectionLost(read.why());
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
    if (DownloadMode) {
        RunDownload();
        return;
    }
    protocol::Outcome done = WriteParameters();
    if (done)
        done = ReadParameters();
    if (!done) {
        ConnectionLost(done.why());
        return;
    }
    SetState(Connected);
}

// A successful download always ends the connection.
void BT::RunDownload()
{
    RecordMisfit.clear();
    if (const protocol::Outcome fetched = DownloadMeasurements(); !fetched) {
        ConnectionLost(fetched.why());
        JudgeFetch(fetched.why());
        return;
    }
    ShowReceivedRecords(RecordSize > 0 ? DownloadReplySize() / RecordSize : 0);
    SendDisconnect();
    DisableLink();
    SetState(Idle);
    ShowDisconnected();
    ShowMeasurementPage();
}

void BT::RunUploading()
{
    if (const protocol::Outcome sent = UploadFirmware(); !sent) {
        ConnectionLost(sent.why());
        return;
    }
    SetState(Connected);
}

void BT::ConnectionLost(protocol::Failure why)
{
    DisableLink();
    SetState(Idle);
    ShowDisconnected();
    ReportConnectionLost(why);
}

void BT::JudgeFetch(protocol::Failure why)
{
    RecordMisfit = protocol::RecordMisfitText(why, LastFetch, ConfigPath);
    if (!RecordMisfit.isEmpty())
        Trace::Note([this] { return RecordMisfit; });
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
        // Taken once: a poke that arrives after Shutdown ran the step finds
        // nothing to do.
        std::lock_guard guard(m_handoffLock);
        step = std::exchange(m_handedStep, nullptr);
    }
    if (!step)
        return;
    std::exception_ptr error;
    m_inHandedStep = true;
    try {
        (*step)();
    } catch (...) {
        error = std::current_exception();
    }
    m_inHandedStep = false;
    {
        std::lock_guard guard(m_handoffLock);
        m_handedError = error;
        m_handedDone = true;
    }
    m_handedCondition.notify_all();
}

} // namespace devlink
