// The worker's main-thread steps: each runs on the main thread while the
// worker waits for it. They live here, beside the windows they change.
#include "link/bt.h"

#include "app/dialogs.h"
#include "app/mainform.h"
#include "app/prompts.h"
#include "app/widgets.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace devlink {

using app::Form4;
using app::Form5;
using app::Form7;
using app::Form8;

namespace {
void errorBox(const QString &text)
{
    app::prompts().Message(Form4, text, QStringLiteral("Error"), app::MessageIcon::Error);
}
} // namespace

void BT::CancelSearch()
{
    {
        std::lock_guard guard(Lock);
        if (State == Searching) {
            Form4->CancelRequested = true;
            Request = NoRequest;
        }
    }
    RequestEvent.Signal();
}

void BT::ShowSearchDialog()
{
    Synchronize([] {
        Form5->Button4->setEnabled(true);
        Form5->Label1->setText(Form4->PageControl1->currentIndex() == 0
                                   ? QStringLiteral("Waiting for measurements...")
                                   : QStringLiteral("Turn device on and set the range to 0"));
        Form5->setWindowTitle(QStringLiteral("Searching...."));
        Form5->ShowCentred();
        Form4->SetMainWindowEnabled(false);
    });
}

void BT::HideSearchDialog()
{
    Synchronize([] {
        Form5->setResult(QDialog::Rejected);
        Form5->hide();
        Form4->SetMainWindowEnabled(true);
    });
}

void BT::ReportConnectFailure()
{
    Synchronize([] { errorBox(QStringLiteral("Connection failure, try again")); });
}

void BT::ShowWaitDialog()
{
    Synchronize([] {
        Form4->SetMainWindowEnabled(false);
        Form8->ShowCentred();
        QApplication::setOverrideCursor(Qt::WaitCursor);
    });
}

void BT::HideWaitDialog()
{
    Synchronize([] {
        Form4->SetMainWindowEnabled(true);
        Form8->hide();
        QApplication::restoreOverrideCursor();
    });
}

void BT::ShowConnected()
{
    Synchronize([] { Form4->ShowConnected(); });
}

void BT::ShowDisconnected()
{
    Synchronize([] { Form4->ShowDisconnected(); });
}

void BT::ReportConnectionLost()
{
    Synchronize([] { errorBox(QStringLiteral("Connection lost or unrecoverable transmission error.")); });
}

void BT::DisableLink()
{
    Synchronize([this] { Link->SetEnabled(false); });
}

void BT::RestoreFirstBlock()
{
    // Revert puts back the block read when the connection was made; the meter
    // itself changes only with a later "Send parameters".
    if (!m_haveFirstBlock)
        return;
    Block = m_firstBlock;
    Synchronize([this] { Form4->ShowParameterBlock(Block); });
}

void BT::SetLampsGreen()
{
    Synchronize([] { Form4->SetLamps(QColor(0, 255, 0)); });
}

void BT::SetLampsBlue()
{
    Synchronize([] { Form4->SetLamps(QColor(0, 0, 255)); });
}

void BT::UpdateReceiveProgress()
{
    Synchronize([this] {
        if (Form7->isVisible()) {
            if (CurrentState() != Uploading)
                Form7->ProgressBar1->setValue(Received());
            QCoreApplication::processEvents();
        }
    });
}

void BT::CollectParameterBlock()
{
    Synchronize([this] { Form4->CollectParameterBlock(Block); });
}

void BT::ShowParameterBlock()
{
    Synchronize([this] { Form4->ShowParameterBlock(Block); });
}

void BT::WriteChunk(const std::uint8_t *data, int count)
{
    Form4->WriteChunk(data, count);
}

int BT::LinkStageNow() const
{
    return Form4->LinkStage.load();
}

bool BT::CancelRequestedNow() const
{
    return Form4->CancelRequested.load();
}

bool BT::DeviceDataPageShown()
{
    bool shown = true;
    Synchronize([&shown] { shown = Form4->PageControl1->currentIndex() == 1; });
    return shown;
}

} // namespace devlink
