#include "app/windowview.h"

#include "app/dialogs.h"
#include "app/mainform.h"
#include "app/prompts.h"
#include "app/widgets.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace app {

void WindowView::OpenSearchDialog()
{
    Form5->Button4->setEnabled(true);
    Form5->Label1->setText(m_form->PageControl1->currentIndex() == 0
                               ? QStringLiteral("Waiting for measurements...")
                               : QStringLiteral("Turn device on and set the range to 0"));
    Form5->setWindowTitle(QStringLiteral("Searching...."));
    Form5->ShowCentred();
    m_form->SetMainWindowEnabled(false);
}

void WindowView::CloseSearchDialog()
{
    Form5->setResult(QDialog::Rejected);
    Form5->hide();
    m_form->SetMainWindowEnabled(true);
}

void WindowView::OpenWaitDialog()
{
    m_form->SetMainWindowEnabled(false);
    Form8->ShowCentred();
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void WindowView::CloseWaitDialog()
{
    m_form->SetMainWindowEnabled(true);
    Form8->hide();
    QApplication::restoreOverrideCursor();
}

void WindowView::DisplayConnected()
{
    m_form->ShowConnected();
}

void WindowView::DisplayDisconnected()
{
    m_form->ShowDisconnected();
}

void WindowView::PaintLamps(devlink::LampColour colour)
{
    m_form->SetLamps(colour == devlink::LampColour::Green ? QColor(0, 255, 0) : QColor(0, 0, 255));
}

void WindowView::Tell(const QString &message)
{
    prompts().Message(m_form, message, QStringLiteral("Error"), MessageIcon::Error);
}

void WindowView::PageToBlock(protocol::ParameterBlock &block)
{
    m_form->CollectParameterBlock(block);
}

void WindowView::BlockToPage(protocol::ParameterBlock &block)
{
    m_form->ShowParameterBlock(block);
}

void WindowView::ReceiveProgress(int received, bool uploading)
{
    if (!Form7->isVisible())
        return;
    // While firmware goes out the bar counts lines, not bytes.
    if (!uploading)
        Form7->ProgressBar1->setValue(received);
    QCoreApplication::processEvents();
}

bool WindowView::DeviceDataPageInFront()
{
    return m_form->PageControl1->currentIndex() == 1;
}

} // namespace app
