#pragma once
// The session worker: one thread that runs every exchange with the meter.
//
// Buttons never talk to the meter. They post a request through the request
// methods below; the worker takes it when its state allows, runs the work of
// the new state to its end and hands every change of the window to the main
// thread as a named step, waiting until the step has run.

#include "link/mainthreadpoke.h"
#include "link/sessionview.h"
#include "link/syncevent.h"
#include "protocol/meterchannel.h"
#include "protocol/records.h"

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

class MeterLink;

class BT : public QThread, public protocol::MeterChannel {
    Q_OBJECT
public:
    // Created on the main thread, not started; the creator (the window or
    // the tool, whichever owns the session) starts it and ends it with
    // Shutdown. `view` is what its main-thread steps change; `layout` the
    // measurement fields (width and shown flag of each) of `recordSize`
    // bytes.
    BT(MeterLink *link, SessionView *view, qint32 recordSize,
       std::vector<protocol::RecordField> layout);
    ~BT() override;

    // ---- request methods, main thread ---------------------------------------
    void RequestConnect();
    void RequestDisconnect();
    void RequestTransfer();
    void RequestRevert();
    // Takes the lines; a list still held from before is released.
    void RequestUpload(std::unique_ptr<QStringList> lines, const QString &fileName);
    void CancelSearch();
    // Signals the worker to end, waits for its thread while still running the
    // steps it hands over, then destroys the worker.
    void Shutdown();

    SessionState CurrentState() const;
    // True on the main thread while it runs a step the worker handed it; a
    // step may process pending events, and the worker cannot end meanwhile.
    bool InHandedStep() const { return m_inHandedStep; }
    // Passes that took a request and ran its work to the end; a caller
    // without a window (the tool, tests) waits for it to grow.
    int RequestsServed() const { return m_requestsServed.load(std::memory_order_acquire); }

    // The link to the meter (its component `vorelt` inside); not owned.
    MeterLink *const Link;
    SessionView *const View;
    const std::vector<protocol::RecordField> Layout;
    // The configuration file the record layout comes from, set before the
    // worker starts: a fetch whose bytes do not fit names it.
    QString ConfigPath;
    // After a request was served: the line that says why the last live
    // reading or download failed when its bytes showed records of another
    // size than the configuration's (RecordMisfitText), else empty. Written
    // by the worker before RequestsServed grows.
    QString RecordMisfit;
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
    void ClearIoEvent() override { IoEvent.Clear(); }
    void SetLampsGreen() override;
    void SetLampsBlue() override;
    void UpdateReceiveProgress() override;
    void CollectParameterBlock() override;
    void ShowParameterBlock() override;
    void ShowReceiveProgress() override;
    void HideReceiveProgress() override;
    void ShowUploadProgress() override;
    void StepUploadProgress() override;
    void HideUploadProgress() override;

private:
    // One pass of Execute; false once the thread is to end.
    bool RunPass();
    void TakeRequest();
    void RunStateWork();
    void RunSearching();
    void RunEstablished();
    void RunReadingParameters();
    void RunTransferring();
    void RunDownload();
    void RunUploading();
    void RunLiveReading();
    void RunReverting();
    void RunDisconnecting();
    void ConnectionLost(protocol::Failure why);
    // Judges LastFetch after a fetch failed with `why` (RecordMisfit, trace).
    void JudgeFetch(protocol::Failure why);
    void SetState(SessionState state);
    // Writes the caught error to the trace and says what kind it is: no
    // memory, or an error raised inside a step.
    static protocol::Failure CaughtFailure(const std::exception_ptr &error);

    // ---- main-thread steps (bt_steps.cpp); each hands one call of View ------
    void ShowSearchDialog();
    void HideSearchDialog();
    void ReportConnectFailure(protocol::Failure why);
    void ShowWaitDialog();
    void HideWaitDialog();
    void ShowConnected();
    void ShowDisconnected();
    void ReportConnectionLost(protocol::Failure why);
    // Decodes the `count` records of the finished fetch and merges them.
    void ShowReceivedRecords(qint64 count);
    void ShowMeasurementPage();
    void TellUser(const QString &message, protocol::Failure why);
    void DisableLink();
    void RestoreFirstBlock();
    bool DeviceDataPageShown();

    // Runs `step` on the main thread and returns when it has run. An error
    // raised by the step is raised again here, on the worker. On the main
    // thread itself (the destructor) it runs the step at once.
    void Synchronize(const std::function<void()> &step);
    void RunHandedStep(); // main thread

    std::mutex m_handoffLock; // also marks the thread's end for Shutdown
    std::condition_variable m_handedCondition;
    const std::function<void()> *m_handedStep = nullptr;
    bool m_handedDone = false;
    bool m_inHandedStep = false; // main thread only
    std::exception_ptr m_handedError;

    AutoResetEvent RequestEvent;
    AutoResetEvent TerminateEvent;
    AutoResetEvent IoEvent;
    mutable std::mutex Lock; // guards State and Request only
    SessionState State = Idle;
    SessionRequest Request = NoRequest;
    bool m_terminated = false;
    std::atomic<int> m_requestsServed{0};

    // The block delivered by the first ReadParameters of the connection;
    // Revert puts it back.
    protocol::ParameterBlock m_firstBlock;
    bool m_haveFirstBlock = false;
    MainThreadPoke m_stepPoke; // lives on the main thread; runs handed steps
};

// The one reference through which every button handler reaches the worker.
extern BT *Worker;

} // namespace devlink
