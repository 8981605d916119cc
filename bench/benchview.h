#pragma once
// The command-line tool's view of a session, with the moments the benches
// time stamped on the main thread as the worker's steps run.

#include "bench/benchclock.h"
#include "cli/cliview.h"
#include "data/meastable.h"

namespace bench {

class BenchView final : public devlink::SessionView {
public:
    BenchView() { Tool.Records = &Records; }

    void OpenSearchDialog() override { Tool.OpenSearchDialog(); }
    void CloseSearchDialog() override { Tool.CloseSearchDialog(); }
    void OpenWaitDialog() override { Tool.OpenWaitDialog(); }
    void CloseWaitDialog() override { Tool.CloseWaitDialog(); }
    void DisplayConnected() override { Tool.DisplayConnected(); }
    void DisplayDisconnected() override { Tool.DisplayDisconnected(); }
    void PaintLamps(devlink::LampColour colour) override { Tool.PaintLamps(colour); }
    void Tell(const QString &message, protocol::Failure why) override { Tool.Tell(message, why); }
    void PageToBlock(protocol::ParameterBlock &block) override { Tool.PageToBlock(block); }
    void BlockToPage(protocol::ParameterBlock &block) override { Tool.BlockToPage(block); }
    void ReceiveProgress(int received, bool uploading) override
    {
        ++ProgressSteps;
        Tool.ReceiveProgress(received, uploading);
    }
    void OpenReceiveProgress(qint64 maximum) override { Tool.OpenReceiveProgress(maximum); }
    void CloseReceiveProgress() override
    {
        ReceiveClosedNs = NowNs();
        Tool.CloseReceiveProgress();
    }
    void NameUpload(const QString &fileName) override { Tool.NameUpload(fileName); }
    void OpenUploadProgress(int lines) override { Tool.OpenUploadProgress(lines); }
    void UploadProgressStep() override { Tool.UploadProgressStep(); }
    void CloseUploadProgress() override
    {
        UploadClosedNs = NowNs();
        Tool.CloseUploadProgress();
    }
    void MergeBatch(const QList<QStringList> &batch) override { Tool.MergeBatch(batch); }
    void MeasurementPageToFront() override { Tool.MeasurementPageToFront(); }
    bool DeviceDataPageInFront() override { return Tool.DeviceDataPageInFront(); }

    cli::CliView Tool;
    data::MeasTable Records;
    qint64 ReceiveClosedNs = 0;
    qint64 UploadClosedNs = 0;
    qint64 ProgressSteps = 0;
};

} // namespace bench
