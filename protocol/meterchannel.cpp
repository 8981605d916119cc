#include "protocol/meterchannel.h"

#include "protocol/timings.h"
#include "protocol/trace.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace protocol {

QStringView TrimBlanksAndControls(QStringView text)
{
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text[from].unicode() <= 0x20)
        ++from;
    while (to > from && text[to - 1].unicode() <= 0x20)
        --to;
    return text.sliced(from, to - from);
}

MeterChannel::MeterChannel(int receiveCapacity, qint32 recordSize)
    : RecordSize(recordSize),
      m_defaultCapacity(static_cast<std::size_t>(std::max(receiveCapacity, 0))),
      m_receive(std::make_unique_for_overwrite<std::uint8_t[]>(m_defaultCapacity)),
      m_capacity(m_defaultCapacity)
{
}

MeterChannel::~MeterChannel() = default;

// ---- worker thread -----------------------------------------------------------

Outcome MeterChannel::Exchange(int sendCount, int expectCount)
{
    return ExchangeInto(sendCount, expectCount, m_defaultCapacity);
}

Outcome MeterChannel::ExchangeInto(int sendCount, int expectCount, std::size_t area)
{
    Trace::Note([&] {
        return QStringLiteral("exchange start: send %1, expect %2").arg(sendCount).arg(expectCount);
    });
    const Outcome outcome = RunExchange(sendCount, expectCount, area);
    Trace::Note([&] {
        return QStringLiteral("exchange end: %1, received %2")
            .arg(outcome ? QStringLiteral("ok") : QStringLiteral("failed (%1)").arg(FailureName(outcome.why())))
            .arg(Received());
    });
    return outcome;
}

Outcome MeterChannel::RunExchange(int sendCount, int expectCount, std::size_t area)
{
    // Counts that cannot be met would only end in a time-out, or make us send
    // bytes we do not have; refuse them before anything goes out.
    if (sendCount < 0 || static_cast<std::size_t>(sendCount) > Frame.size()
        || expectCount < 0 || static_cast<std::size_t>(expectCount) > area) {
        return Failed(Failure::BadRequest);
    }

    const bool showsTraffic = sendCount + expectCount > 2;
    if (showsTraffic)
        SetLampsGreen();

    if (!ResetReceive(area))
        return Failed(Failure::OutOfMemory);
    ClearIoEvent();
    if (const Outcome sent = SendFrame(sendCount); !sent)
        return Failed(sent.why());

    if (expectCount == 0) {
        if (showsTraffic)
            SetLampsBlue();
        return {};
    }

    // The reply may already be complete if it overtook the last write
    // completion; then there is nothing to wait for.
    while (Received() != expectCount) {
        if (!WaitIoEvent(CurrentTimings().replyTimeoutMs))
            return Failed(Failure::Timeout);
        if (IoError())
            return Failed(Failure::LinkError);
        UpdateReceiveProgress();
    }
    return {};
}

Outcome MeterChannel::SendFrame(int sendCount)
{
    int pos = 0;
    while (pos != sendCount) {
        const int len = std::min(MaxChunk, sendCount - pos);
        WriteChunk(Frame.data() + pos, len);
        pos += len;
        // Writes are paced: the meter gets at least this long per chunk.
        Sleep(CurrentTimings().chunkPauseMs);
        // A notification also ends this wait: the meter may answer before the
        // link reports the write complete.
        if (!WaitIoEvent(CurrentTimings().writeTimeoutMs))
            return Failure::Timeout;
        if (IoError())
            return Failure::LinkError;
    }
    return {};
}

Outcome MeterChannel::Failed(Failure why)
{
    SetLampsBlue();
    return why;
}

Outcome MeterChannel::Ping()
{
    Frame.assign(1, CmdPing);
    if (const Outcome exchanged = Exchange(1, 1); !exchanged)
        return exchanged;
    return TransferBuffer()[0] == CmdPing ? Outcome() : Failure::BadReply;
}

void MeterChannel::SendDisconnect()
{
    Frame.assign(1, CmdCloseSession);
    // The session ends either way, so a lost close command changes nothing.
    (void)Exchange(1, 0);
    Sleep(CurrentTimings().closeSessionPauseMs);
}

Outcome MeterChannel::SendUntilAccepted()
{
    // Frame lies apart from the receive area, so a repeat sends exactly the
    // bytes the meter asked for again.
    for (int send = 0; send < CurrentTimings().maxSends; ++send) {
        if (const Outcome exchanged = Exchange(static_cast<int>(Frame.size()), 1); !exchanged)
            return exchanged;
        const std::uint8_t reply = TransferBuffer()[0];
        Trace::Note([&] {
            return QStringLiteral("reply %1: %2").arg(reply).arg(reply == ReplyAccepted ? QStringLiteral("accepted")
                                                              : reply == ReplyRepeat ? QStringLiteral("repeat")
                                                                                      : QStringLiteral("refused"));
        });
        if (reply == ReplyAccepted)
            return {};
        if (reply != ReplyRepeat)
            return Failure::RefusedReply;
    }
    // The meter asked for a repeat at every try.
    return Failure::RefusedReply;
}

Outcome MeterChannel::WriteParameters()
{
    CollectParameterBlock();
    BuildParameterFrame();
    return SendUntilAccepted();
}

Outcome MeterChannel::ReadParameters()
{
    // The measurement request awaits nothing here; whatever the meter answers
    // to it during the pause is dropped by the next exchange's reset.
    Frame.assign(1, CmdCurrentMeasurement);
    if (const Outcome asked = Exchange(1, 0); !asked)
        return asked;
    Sleep(CurrentTimings().readParametersPauseMs);

    Frame.assign(1, CmdReadParameters);
    if (const Outcome read = Exchange(1, ParameterFrameSize); !read)
        return read;

    // The byte before the block and the two after it are not judged: whether
    // the meter echoes 19 and ends with CR LF is not known for every
    // firmware, and refusing on them could lock a sound meter out. The
    // block's own digits and sum protect it; a frame that differs is noted
    // for support.
    const std::uint8_t *reply = TransferBuffer();
    if (reply[0] != CmdReadParameters || reply[ParameterFrameSize - 2] != '\r'
        || reply[ParameterFrameSize - 1] != '\n') {
        Trace::Note([&] {
            return QStringLiteral("block reply framed %1 ... %2 %3, not 19 ... 13 10")
                .arg(reply[0]).arg(reply[ParameterFrameSize - 2]).arg(reply[ParameterFrameSize - 1]);
        });
    }
    // A block with a bad digit or a wrong sum is refused rather than shown:
    // the page would otherwise write garbage back to the meter.
    const auto *text = reinterpret_cast<const char *>(reply + 1);
    if (!DecodeCheckedParameterBlock(text, Block))
        return Failure::BadReply;
    ShowParameterBlock();
    return {};
}

Outcome MeterChannel::ReadCurrentMeasurement()
{
    Frame.assign(1, CmdCurrentMeasurement);
    const Outcome read = Exchange(1, RecordSize);
    LastFetch = {RecordSize, 1, Received()};
    return read;
}

qint64 MeterChannel::DownloadReplySize(quint16 from, quint16 to, qint64 recordSize)
{
    return (qint64(to) - qint64(from) + 1) * recordSize;
}

qint64 MeterChannel::DownloadReplySize() const
{
    return DownloadReplySize(Block.word(ParameterBlock::RangeFrom), Block.word(ParameterBlock::RangeTo),
                             RecordSize);
}

bool MeterChannel::DownloadReplyAcceptable(qint64 replySize)
{
    return replySize > 0 && replySize <= MaxDownloadBytes;
}

Outcome MeterChannel::DownloadMeasurements()
{
    LastFetch = {};
    CollectParameterBlock();
    // Sized once, in 64 bits: the reply may be far larger than the default
    // area, and an inverted range must not pass as an empty success.
    const qint64 replySize = DownloadReplySize();
    if (!DownloadReplyAcceptable(replySize))
        return Failure::BadRequest;

    // The parameter frame carrying a range is what asks for a download.
    BuildParameterFrame();
    if (const Outcome accepted = SendUntilAccepted(); !accepted)
        return accepted;

    ShowReceiveProgress();
    Sleep(CurrentTimings().downloadPauseMs);
    Frame.assign(1, CmdDownloadRecords);
    const auto expect = static_cast<int>(replySize);
    const Outcome received =
        ExchangeInto(1, expect, std::max(m_defaultCapacity, static_cast<std::size_t>(expect)));
    LastFetch = {RecordSize, replySize / RecordSize, Received()};
    HideReceiveProgress();
    return received;
}

Outcome MeterChannel::UploadFirmware()
{
    if (!HexLines)
        return Failure::BadRequest;
    ShowUploadProgress();
    const Outcome sent = SendLines();
    HexLines.reset();
    HideUploadProgress();
    return sent;
}

Outcome MeterChannel::SendLines()
{
    for (const QString &line : *HexLines) {
        if (!BuildLineFrame(line))
            return Failure::BadRequest;
        if (const Outcome accepted = SendUntilAccepted(); !accepted)
            return accepted;
        StepUploadProgress();
    }
    return {};
}

bool MeterChannel::BuildLineFrame(QStringView line)
{
    const QStringView text = TrimBlanksAndControls(line);
    Frame.assign(static_cast<std::size_t>(text.size()) + 3, 0);
    Frame[0] = CmdFirmwareLine;
    for (qsizetype i = 0; i < text.size(); ++i) {
        // One byte per character: anything beyond ASCII would reach the
        // meter as a different character, so the line is not sent at all.
        const char16_t c = text[i].unicode();
        if (c > 0x7F)
            return false;
        Frame[static_cast<std::size_t>(i) + 1] = static_cast<std::uint8_t>(c);
    }
    Frame[Frame.size() - 2] = '\r';
    Frame[Frame.size() - 1] = '\n';
    return true;
}

void MeterChannel::BuildParameterFrame()
{
    Frame.assign(ParameterFrameSize, 0);
    Frame[0] = CmdWriteParameters;
    EncodeParameterBlock(Block, reinterpret_cast<char *>(Frame.data() + 1));
    Frame[ParameterFrameSize - 2] = '\r';
    Frame[ParameterFrameSize - 1] = '\n';
}

bool MeterChannel::ResetReceive(std::size_t area)
{
    // Under the lock so that a store running on the main thread cannot finish
    // after the reset with the count it read before it, nor into an area
    // being replaced.
    const std::lock_guard<std::mutex> guard(m_receiveLock);
    m_received.store(0, std::memory_order_release);
    m_ioError.store(false, std::memory_order_release);
    if (area == m_capacity)
        return true;
    // A download's large area is given back by the next exchange.
    m_receive.reset();
    m_capacity = 0;
    try {
        m_receive = std::make_unique_for_overwrite<std::uint8_t[]>(area);
    } catch (const std::bad_alloc &) {
        return false;
    }
    m_capacity = area;
    return true;
}

// ---- main thread -------------------------------------------------------------

void MeterChannel::OnNotification(const QByteArray &bytes, int gattStatus)
{
    if (gattStatus != 0) {
        m_ioError.store(true, std::memory_order_release);
    } else {
        const std::lock_guard<std::mutex> guard(m_receiveLock);
        const int at = m_received.load(std::memory_order_relaxed);
        const qsizetype room = static_cast<qsizetype>(m_capacity) - at;
        const qsizetype count = std::min<qsizetype>(bytes.size(), room);
        if (count > 0) {
            std::memcpy(m_receive.get() + at, bytes.constData(), static_cast<std::size_t>(count));
            // Release: the worker sees the bytes no later than the count.
            m_received.store(at + static_cast<int>(count), std::memory_order_release);
        }
        // Whatever does not fit is lost, and the reply with it.
        if (count < bytes.size())
            m_ioError.store(true, std::memory_order_release);
    }
    SignalIoEvent();
}

void MeterChannel::OnWriteCompleted(int gattStatus)
{
    if (gattStatus != 0)
        m_ioError.store(true, std::memory_order_release);
    SignalIoEvent();
}

void MeterChannel::ConsumeReceived(int count)
{
    if (count <= 0)
        return;
    // Never below zero: the count is also where the next byte is stored.
    const std::lock_guard<std::mutex> guard(m_receiveLock);
    const int left = m_received.load(std::memory_order_relaxed);
    m_received.store(std::max(left - count, 0), std::memory_order_release);
}

} // namespace protocol
