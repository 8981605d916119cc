// The worker's main-thread steps. Each hands one call of the session's view
// to the main thread and waits until it has run; the view (the window or the
// command-line tool) decides what the user sees.
#include "link/bt.h"

#include "link/meterlink.h"
#include "protocol/trace.h"

#include <algorithm>
#include <new>

namespace devlink {

using protocol::Trace;

void BT::CancelSearch()
{
    {
        std::lock_guard guard(Lock);
        if (State == Searching) {
            Link->CancelRequested = true;
            Request = NoRequest;
        }
    }
    RequestEvent.Signal();
}

void BT::ShowSearchDialog()
{
    Synchronize([this] { View->OpenSearchDialog(); });
}

void BT::HideSearchDialog()
{
    Synchronize([this] { View->CloseSearchDialog(); });
}

void BT::ReportConnectFailure(protocol::Failure why)
{
    // The link can go off under the sequence before it has said why.
    if (why == protocol::Failure::None)
        why = protocol::Failure::ConnectFailure;
    TellUser(QStringLiteral("Connection failure, try again"), why);
}

void BT::ShowWaitDialog()
{
    Synchronize([this] { View->OpenWaitDialog(); });
}

void BT::HideWaitDialog()
{
    Synchronize([this] { View->CloseWaitDialog(); });
}

void BT::ShowConnected()
{
    Synchronize([this] { View->DisplayConnected(); });
}

void BT::ShowDisconnected()
{
    Synchronize([this] { View->DisplayDisconnected(); });
}

void BT::ReportConnectionLost(protocol::Failure why)
{
    TellUser(QStringLiteral("Connection lost or unrecoverable transmission error."), why);
}

void BT::TellUser(const QString &message, protocol::Failure why)
{
    Trace::Note([&] { return QStringLiteral("message \"%1\" (%2)").arg(message, protocol::FailureName(why)); });
    Synchronize([this, &message, why] { View->Tell(message, why); });
}

void BT::DisableLink()
{
    Synchronize([this] { Link->vorelt->SetEnabled(false); });
}

void BT::RestoreFirstBlock()
{
    // Revert puts back the block read when the connection was made; the meter
    // itself changes only with a later "Send parameters".
    if (!m_haveFirstBlock)
        return;
    Block = m_firstBlock;
    Synchronize([this] { View->BlockToPage(Block); });
}

void BT::SetLampsGreen()
{
    Synchronize([this] { View->PaintLamps(LampColour::Green); });
}

void BT::SetLampsBlue()
{
    Synchronize([this] { View->PaintLamps(LampColour::Blue); });
}

void BT::UpdateReceiveProgress()
{
    Synchronize([this] { View->ReceiveProgress(Received(), CurrentState() == Uploading); });
}

void BT::CollectParameterBlock()
{
    Synchronize([this] { View->PageToBlock(Block); });
}

void BT::ShowParameterBlock()
{
    Synchronize([this] { View->BlockToPage(Block); });
}

void BT::ShowReceiveProgress()
{
    const qint64 maximum = DownloadReplySize();
    Synchronize([this, maximum] { View->OpenReceiveProgress(maximum); });
}

void BT::HideReceiveProgress()
{
    Synchronize([this] { View->CloseReceiveProgress(); });
}

void BT::ShowUploadProgress()
{
    const int lines = HexLines ? static_cast<int>(HexLines->size()) : 0;
    Synchronize([this, lines] { View->OpenUploadProgress(lines); });
}

void BT::StepUploadProgress()
{
    Synchronize([this] { View->UploadProgressStep(); });
}

void BT::HideUploadProgress()
{
    Synchronize([this] { View->CloseUploadProgress(); });
}

void BT::ShowReceivedRecords(qint64 count)
{
    // Exactly the records of the expected reply are decoded: bytes the meter
    // sent after it, or stale bytes of the area, never become a record. A
    // layout without a shown field gives records without a key: nothing is
    // shown.
    const bool anyShown =
        std::any_of(Layout.begin(), Layout.end(), [](const protocol::RecordField &f) { return f.shown; });
    if (count <= 0 || RecordSize <= 0 || !anyShown)
        return;
    Synchronize([this, count] {
        const qint64 available = std::min<qint64>(count, Received() / RecordSize);
        QList<QStringList> batch;
        batch.reserve(available);
        const std::uint8_t *at = TransferBuffer();
        for (qint64 k = 0; k < available; ++k, at += RecordSize)
            batch.append(protocol::DecodeRecord(Layout, {at, static_cast<std::size_t>(RecordSize)}));
        ConsumeReceived(static_cast<int>(available * RecordSize));
        if (!batch.isEmpty())
            View->MergeBatch(batch);
    });
}

void BT::ShowMeasurementPage()
{
    Synchronize([this] { View->MeasurementPageToFront(); });
}

void BT::WriteChunk(const std::uint8_t *data, int count)
{
    Link->QueueWrite(data, count);
}

bool BT::DeviceDataPageShown()
{
    bool shown = true;
    Synchronize([this, &shown] { shown = View->DeviceDataPageInFront(); });
    return shown;
}

protocol::Failure BT::CaughtFailure(const std::exception_ptr &error)
{
    Trace::Note([&] {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            return QStringLiteral("worker caught error: %1").arg(QString::fromUtf8(e.what()));
        } catch (...) {
            return QStringLiteral("worker caught an unknown error");
        }
    });
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc &) {
        return protocol::Failure::OutOfMemory;
    } catch (...) {
        return protocol::Failure::StepFailed;
    }
}

} // namespace devlink
