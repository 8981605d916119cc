#pragma once
// The one request/response primitive with the meter and the commands built on it.
//
// MeterChannel knows nothing of threads, windows or radios: it sees the link
// and the worker only through the pure virtual hooks below, so a scripted fake
// drives it in tests and the session worker drives it in the program.
//
// Threads in the program: the operations (Exchange, Ping, ...) run on the
// worker thread; OnNotification and OnWriteCompleted run on the main thread
// (the link's event handlers call them).

#include "protocol/failure.h"
#include "protocol/parameterblock.h"
#include "protocol/records.h"

#include <QByteArray>
#include <QStringList>
#include <QStringView>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace protocol {

enum CommandCode : std::uint8_t {
    CmdDownloadRecords = 2,
    CmdFirmwareLine = 17,
    CmdWriteParameters = 18,
    CmdReadParameters = 19,
    CmdPing = 20,
    CmdCloseSession = 25,
    CmdCurrentMeasurement = 84,
};

enum ReplyCode : std::uint8_t {
    ReplyAccepted = 6,
    ReplyRepeat = 27,
};

// `text` without its leading and trailing characters up to U+0020 (blanks and
// control characters), the form in which a firmware line goes out.
QStringView TrimBlanksAndControls(QStringView text);

class MeterChannel {
public:
    static constexpr int DefaultReceiveCapacity = 512000;
    static constexpr int MaxChunk = 64;            // bytes per characteristic write
    // Pauses, time limits and tries: protocol/timings.h.
    static constexpr int ParameterFrameSize = 517; // code + 514 hex + CR LF
    // Larger download replies are refused before anything is sent: the whole
    // reply is held in memory until its records are shown.
    static constexpr qint64 MaxDownloadBytes = qint64(256) << 20;

    // receiveCapacity: size of the receive area for every reply but a
    // download's, which gets an area of its own size. Bytes that would fall
    // beyond the area are dropped and IoError is set.
    // recordSize: bytes of one measurement record.
    explicit MeterChannel(int receiveCapacity = DefaultReceiveCapacity, qint32 recordSize = 0);
    virtual ~MeterChannel();
    MeterChannel(const MeterChannel &) = delete;
    MeterChannel &operator=(const MeterChannel &) = delete;

    // ---- worker-thread operations; each reports success or why it failed --
    // Sends Frame[0 .. sendCount) and waits until exactly expectCount bytes
    // have arrived; on success the reply stands at TransferBuffer[0 ..).
    // A sendCount beyond Frame or an expectCount that is negative or beyond
    // the receive area fails at once, with nothing sent (BadRequest).
    Outcome Exchange(int sendCount, int expectCount);
    Outcome Ping();
    void SendDisconnect();
    Outcome WriteParameters();
    Outcome ReadParameters();
    // One record, the meter's current measurement, at TransferBuffer[0 ..).
    Outcome ReadCurrentMeasurement();
    // The records RangeFrom..RangeTo that CollectParameterBlock puts into
    // Block, back to back at TransferBuffer[0 ..). A range whose reply is
    // refused by DownloadReplyAcceptable fails with nothing sent.
    Outcome DownloadMeasurements();
    // Sends every line of HexLines, each acknowledged by the meter; releases
    // HexLines whatever the result. Fails with nothing sent when HexLines is
    // unset.
    Outcome UploadFirmware();

    // Reply bytes for records from..to of recordSize bytes, in 64-bit
    // arithmetic; 0 or less for an inverted range or an empty record.
    static qint64 DownloadReplySize(quint16 from, quint16 to, qint64 recordSize);
    // The same for the range in Block and RecordSize.
    qint64 DownloadReplySize() const;
    // A download is tried only for a reply of 1 .. MaxDownloadBytes bytes.
    static bool DownloadReplyAcceptable(qint64 replySize);

    // ---- main-thread receive path (the link's read and write handlers) ------
    // One notification: status 0 stores the bytes; any other status sets
    // IoError. Either way the worker is woken once.
    void OnNotification(const QByteArray &bytes, int gattStatus);
    // One write completion: non-zero status sets IoError; wakes the worker.
    void OnWriteCompleted(int gattStatus);

    // The worker's copy of the meter's parameter block.
    ParameterBlock Block;
    // Bytes of one measurement record: over every field, width + 11.
    const qint32 RecordSize;
    // The records the last live reading or download asked for and the bytes
    // that came; no records when it ended before they were asked for.
    FetchSizes LastFetch;
    // The firmware lines of the next upload, set before UploadFirmware runs.
    std::unique_ptr<QStringList> HexLines;

    // The outgoing frame is built here, apart from the receive area, so bytes
    // arriving while a frame is built or sent can never alter it.
    std::vector<std::uint8_t> Frame;

    // Receive area: the reply of the current exchange stands from offset 0.
    const std::uint8_t *TransferBuffer() const { return m_receive.get(); }
    int ReceiveCapacity() const { return static_cast<int>(m_capacity); }
    int Received() const { return m_received.load(std::memory_order_acquire); }
    bool IoError() const { return m_ioError.load(std::memory_order_acquire); }
    // Consumers of a finished reply (record download) lower the count; it
    // never goes below 0. Main thread, while the worker waits.
    void ConsumeReceived(int count);

protected:
    // ---- hooks: the link and the worker as the exchange sees them -----------
    // Starts one characteristic write of 1..64 bytes; does not wait for it.
    virtual void WriteChunk(const std::uint8_t *data, int count) = 0;
    virtual void Sleep(int ms) = 0;
    // Waits on the auto-reset IoEvent; true when it was signalled in time.
    virtual bool WaitIoEvent(int ms) = 0;
    virtual void SignalIoEvent() = 0;
    // Drops a signal left from before the exchange (a write completion the
    // reply overtook, the answer to an unawaited 84), so that it cannot end
    // this exchange's first wait before its own write has completed.
    virtual void ClearIoEvent() = 0;
    // Main-thread steps; the implementation runs each on the main thread and
    // returns when it has run.
    virtual void SetLampsGreen() = 0;
    virtual void SetLampsBlue() = 0;
    virtual void UpdateReceiveProgress() = 0;
    virtual void CollectParameterBlock() = 0; // page -> Block
    virtual void ShowParameterBlock() = 0;    // Block -> page
    virtual void ShowReceiveProgress() = 0;   // bar 0 .. DownloadReplySize()
    virtual void HideReceiveProgress() = 0;
    virtual void ShowUploadProgress() = 0;    // bar 0 .. HexLines->size()
    virtual void StepUploadProgress() = 0;    // one line taken
    virtual void HideUploadProgress() = 0;

private:
    // Exchange with a receive area of `area` bytes for this reply.
    Outcome ExchangeInto(int sendCount, int expectCount, std::size_t area);
    Outcome RunExchange(int sendCount, int expectCount, std::size_t area);
    bool ResetReceive(std::size_t area); // false when the area cannot be had
    Outcome SendFrame(int sendCount);    // send phase
    Outcome Failed(Failure why);         // blue lamps, then `why`
    // Sends Frame until the meter accepts it (6), again while it asks for a
    // repeat (27), at most Timings::maxSends sends; any other reply fails.
    Outcome SendUntilAccepted();
    void BuildParameterFrame();
    bool BuildLineFrame(QStringView line);
    Outcome SendLines();

    const std::size_t m_defaultCapacity;
    // Replaced, never resized in place, and only under m_receiveLock.
    std::unique_ptr<std::uint8_t[]> m_receive;
    std::size_t m_capacity = 0;
    std::mutex m_receiveLock; // held only while a byte run is stored or the count reset
    std::atomic<int> m_received{0};
    std::atomic<bool> m_ioError{false};
};

} // namespace protocol
