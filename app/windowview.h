#pragma once
// The window's side of the session: what each of the worker's main-thread
// steps changes in the main window and its three small dialogs.

#include "link/sessionview.h"

namespace app {

class TForm4;

class WindowView final : public devlink::SessionView {
public:
    explicit WindowView(TForm4 *form) : m_form(form) {}

    void OpenSearchDialog() override;
    void CloseSearchDialog() override;
    void OpenWaitDialog() override;
    void CloseWaitDialog() override;
    void DisplayConnected() override;
    void DisplayDisconnected() override;
    void PaintLamps(devlink::LampColour colour) override;
    void Tell(const QString &message, protocol::Failure why) override;
    void PageToBlock(protocol::ParameterBlock &block) override;
    void BlockToPage(protocol::ParameterBlock &block) override;
    void ReceiveProgress(int received, bool uploading) override;
    void OpenReceiveProgress(qint64 maximum) override;
    void CloseReceiveProgress() override;
    void NameUpload(const QString &fileName) override;
    void OpenUploadProgress(int lines) override;
    void UploadProgressStep() override;
    void CloseUploadProgress() override;
    void MergeBatch(const QList<QStringList> &batch) override;
    void MeasurementPageToFront() override;
    bool DeviceDataPageInFront() override;

private:
    TForm4 *const m_form;
};

} // namespace app
