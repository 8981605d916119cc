#include "protocol/meterchannel.h"

#include <algorithm>
#include <cstring>

namespace protocol {

MeterChannel::MeterChannel(int receiveCapacity)
    : m_receive(static_cast<std::size_t>(std::max(receiveCapacity, 0)))
{
}

MeterChannel::~MeterChannel() = default;

// ---- worker thread -----------------------------------------------------------

bool MeterChannel::Exchange(int sendCount, int expectCount)
{
    // Counts that cannot be met would only end in a time-out, or make us send
    // bytes we do not have; refuse them before anything goes out.
    if (sendCount < 0 || static_cast<std::size_t>(sendCount) > Frame.size()
        || expectCount < 0 || expectCount > ReceiveCapacity()) {
        return Failed();
    }

    const bool showsTraffic = sendCount + expectCount > 2;
    if (showsTraffic)
        SetLampsGreen();

    ResetReceive();

    if (!SendFrame(sendCount))
        return Failed();

    if (expectCount == 0) {
        if (showsTraffic)
            SetLampsBlue();
        return true;
    }

    // The reply may already be complete if it overtook the last write
    // completion; then there is nothing to wait for.
    while (Received() != expectCount) {
        if (!WaitIoEvent(ReplyTimeoutMs) || IoError())
            return Failed();
        UpdateReceiveProgress();
    }
    return true;
}

bool MeterChannel::SendFrame(int sendCount)
{
    int pos = 0;
    while (pos != sendCount) {
        const int len = std::min(MaxChunk, sendCount - pos);
        WriteChunk(Frame.data() + pos, len);
        pos += len;
        // Writes are paced: the meter gets at least this long per chunk.
        Sleep(ChunkPauseMs);
        // A notification also ends this wait: the meter may answer before the
        // link reports the write complete.
        if (!WaitIoEvent(WriteTimeoutMs) || IoError())
            return false;
    }
    return true;
}

bool MeterChannel::Failed()
{
    SetLampsBlue();
    return false;
}

bool MeterChannel::Ping()
{
    Frame.assign(1, CmdPing);
    return Exchange(1, 1) && TransferBuffer()[0] == CmdPing;
}

void MeterChannel::SendDisconnect()
{
    Frame.assign(1, CmdCloseSession);
    // The session ends either way, so a lost close command changes nothing.
    (void)Exchange(1, 0);
    Sleep(CloseSessionPauseMs);
}

bool MeterChannel::WriteParameters()
{
    CollectParameterBlock();
    for (int send = 0; send < MaxSends; ++send) {
        // Encoding touches nothing but the checksum, so every try sends the
        // same bytes.
        BuildParameterFrame();
        if (!Exchange(ParameterFrameSize, 1))
            return false;
        const std::uint8_t reply = TransferBuffer()[0];
        if (reply == ReplyAccepted)
            return true;
        if (reply != ReplyRepeat)
            return false;
    }
    return false;
}

bool MeterChannel::ReadParameters()
{
    // The measurement request awaits nothing here; whatever the meter answers
    // to it during the pause is dropped by the next exchange's reset.
    Frame.assign(1, CmdCurrentMeasurement);
    if (!Exchange(1, 0))
        return false;
    Sleep(ReadParametersPauseMs);

    Frame.assign(1, CmdReadParameters);
    if (!Exchange(1, ParameterFrameSize))
        return false;

    // A block with a bad digit or a wrong sum is refused rather than shown:
    // the page would otherwise write garbage back to the meter.
    const auto *text = reinterpret_cast<const char *>(TransferBuffer() + 1);
    if (!DecodeCheckedParameterBlock(text, Block))
        return false;
    ShowParameterBlock();
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

void MeterChannel::ResetReceive()
{
    // Under the lock so that a store running on the main thread cannot finish
    // after the reset with the count it read before it.
    const std::lock_guard<std::mutex> guard(m_receiveLock);
    m_received.store(0, std::memory_order_release);
    m_ioError.store(false, std::memory_order_release);
}

// ---- main thread -------------------------------------------------------------

void MeterChannel::OnNotification(const QByteArray &bytes, int gattStatus)
{
    if (gattStatus != 0) {
        m_ioError.store(true, std::memory_order_release);
    } else {
        const std::lock_guard<std::mutex> guard(m_receiveLock);
        const int at = m_received.load(std::memory_order_relaxed);
        const int room = ReceiveCapacity() - at;
        const qsizetype count = std::min<qsizetype>(bytes.size(), room);
        if (count > 0) {
            std::memcpy(m_receive.data() + at, bytes.constData(), static_cast<std::size_t>(count));
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
