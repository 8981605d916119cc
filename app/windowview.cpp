#include "app/windowview.h"

#include "app/dialogs.h"
#include "app/mainform.h"
#include "views/prompts.h"
#include "views/widgets.h"

#include <QApplication>
#include <climits>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace app {

using views::MessageIcon;
using views::prompts;

void WindowView::OpenSearchDialog()
{
    Form5->Button4->setEnabled(true);
    Form5->SetInstruction(m_form->PageControl1->currentIndex() == 0
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

void WindowView::Tell(const QString &message, protocol::Failure)
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

void WindowView::OpenReceiveProgress(qint64 maximum)
{
    m_form->SetMainWindowEnabled(false);
    Form7->ProgressBar1->setValue(0);
    Form7->Label1->setText(QStringLiteral("Receiving data"));
    Form7->ProgressBar1->setMaximum(static_cast<int>(std::min<qint64>(maximum, INT_MAX)));
    Form7->ShowCentred();
}

void WindowView::CloseReceiveProgress()
{
    Form7->hide();
    m_form->SetMainWindowEnabled(true);
}

void WindowView::NameUpload(const QString &fileName)
{
    Form7->Label1->setText(QStringLiteral("Uploading file: ") + fileName);
}

void WindowView::OpenUploadProgress(int lines)
{
    m_form->ShowDisconnected();
    Form7->ProgressBar1->setValue(0);
    Form7->ProgressBar1->setMaximum(lines);
    Form7->ShowCentred();
}

void WindowView::UploadProgressStep()
{
    Form7->ProgressBar1->setValue(Form7->ProgressBar1->value() + 1);
    QCoreApplication::processEvents();
}

void WindowView::CloseUploadProgress()
{
    Form7->hide();
    m_form->ShowConnected();
}

void WindowView::MergeBatch(const QList<QStringList> &batch)
{
    m_form->MergeRecords(batch);
}

void WindowView::MeasurementPageToFront()
{
    // The program's own change of page: not subject to the user's veto.
    m_form->PageControl1->setCurrentIndex(0);
}

bool WindowView::DeviceDataPageInFront()
{
    return m_form->PageControl1->currentIndex() == 1;
}

} // namespace app
