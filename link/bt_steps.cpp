// The worker's main-thread steps. Each hands one call of the session's view
// to the main thread and waits until it has run; the view (the window or the
// command-line tool) decides what the user sees.
#include "link/bt.h"

#include "link/meterlink.h"
#include "protocol/trace.h"


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

void BT::ReportConnectFailure()
{
    TellUser(QStringLiteral("Connection failure, try again"));
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

void BT::ReportConnectionLost()
{
    TellUser(QStringLiteral("Connection lost or unrecoverable transmission error."));
}

void BT::TellUser(const QString &message)
{
    Trace::Note([&] { return QStringLiteral("message \"%1\"").arg(message); });
    Synchronize([this, &message] { View->Tell(message); });
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

void BT::TraceCaughtError(const std::exception_ptr &error)
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
}

} // namespace devlink
