#pragma once
// The session worker: one thread that runs every exchange with the meter.
//
// Buttons never talk to the meter. They post a request through the request
// methods below; the worker takes it when its state allows, runs the work of
// the new state to its end and hands every change of the window to the main
// thread as a named step, waiting until the step has run.

#include "link/bluetoothle.h"
#include "link/mainthreadpoke.h"
#include "link/syncevent.h"
#include "protocol/meterchannel.h"

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

namespace devlink {

enum SessionState : qint32 {
    Idle = 0,
    Searching = 1,
    Established = 2,
    Connected = 3,
    Disconnecting = 4,
    Transferring = 5,
    Uploading = 6,
    ReadingParameters = 7,
    Reverting = 8,
    LiveReading = 10,
};

enum SessionRequest : qint32 {
    NoRequest = 0,
    Connect = 1,
    Disconnect = 4,
    Transfer = 5,
    Upload = 6,
    Revert = 8,
};

class BT : public QThread, public protocol::MeterChannel {
    Q_OBJECT
public:
    static constexpr int RequestWaitMs = 2000;   // also the keep-alive interval
    static constexpr int SearchPollMs = 10;
    static constexpr int CancelWaitMs = 100;
    static constexpr int EstablishedPauseMs = 500;

    // Created on the main thread, not started; the creator starts it.
    BT(TBluetoothLE *link, qint32 recordSize);
    ~BT() override;

    // ---- request methods, main thread ---------------------------------------
    void RequestConnect();
    void RequestDisconnect();
    void RequestTransfer();
    void RequestRevert();
    void CancelSearch();
    // Signals the worker to end, waits for its thread while still running the
    // steps it hands over, then destroys the worker.
    void Shutdown();

    SessionState CurrentState() const;

    TBluetoothLE *const Link;
    const qint32 RecordSize;
    // Set by the window before RequestTransfer: true downloads stored
    // measurements, false writes the parameter block.
    std::atomic<bool> DownloadMode{false};

protected:
    void run() override;
    virtual void Execute();

    // ---- MeterChannel hooks (worker thread) ---------------------------------
    void WriteChunk(const std::uint8_t *data, int count) override;
    void Sleep(int ms) override;
    bool WaitIoEvent(int ms) override { return IoEvent.Wait(ms); }
    void SignalIoEvent() override { IoEvent.Signal(); }
    void SetLampsGreen() override;
    void SetLampsBlue() override;
    void UpdateReceiveProgress() override;
    void CollectParameterBlock() override;
    void ShowParameterBlock() override;

private:
    // One pass of Execute; false once the thread is to end.
    bool RunPass();
    void TakeRequest();
    void RunStateWork();
    void RunSearching();
    void RunEstablished();
    void RunReadingParameters();
    void RunTransferring();
    void RunReverting();
    void RunDisconnecting();
    void ConnectionLost();
    void SetState(SessionState state);

    // ---- main-thread steps (bodies live with the windows they touch) --------
    void ShowSearchDialog();
    void HideSearchDialog();
    void ReportConnectFailure();
    void ShowWaitDialog();
    void HideWaitDialog();
    void ShowConnected();
    void ShowDisconnected();
    void ReportConnectionLost();
    void DisableLink();
    void RestoreFirstBlock();
    // Reads of the window's link-up progress; safe from the worker thread.
    int LinkStageNow() const;
    bool CancelRequestedNow() const;
    bool DeviceDataPageShown();

    // Runs `step` on the main thread and returns when it has run. An error
    // raised by the step is raised again here, on the worker.
    void Synchronize(const std::function<void()> &step);
    void RunHandedStep(); // main thread

    std::mutex m_handoffLock; // also marks the thread's end for Shutdown
    std::condition_variable m_handedCondition;
    const std::function<void()> *m_handedStep = nullptr;
    bool m_handedDone = false;
    std::exception_ptr m_handedError;

    AutoResetEvent RequestEvent;
    AutoResetEvent TerminateEvent;
    AutoResetEvent IoEvent;
    mutable std::mutex Lock; // guards State and Request only
    SessionState State = Idle;
    SessionRequest Request = NoRequest;
    bool m_terminated = false;

    // The block delivered by the first ReadParameters of the connection;
    // Revert puts it back.
    protocol::ParameterBlock m_firstBlock;
    bool m_haveFirstBlock = false;
    MainThreadPoke m_stepPoke; // lives on the main thread; runs handed steps
};

// The one reference through which every button handler reaches the worker.
extern BT *Worker;

} // namespace devlink
