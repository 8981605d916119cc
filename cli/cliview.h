#pragma once
// The tool's side of the session: what the worker's steps do without a
// window. Messages go to stderr, progress too (a bar when stderr is a
// terminal); the "page" is a parameter block in memory.

#include "cli/exitcodes.h"
#include "link/sessionview.h"

#include <QElapsedTimer>

#include <optional>

namespace data {
class MeasTable;
}

namespace cli {

class CliView final : public devlink::SessionView {
public:
    CliView();

    void OpenSearchDialog() override;
    void CloseSearchDialog() override {}
    void OpenWaitDialog() override;
    void CloseWaitDialog() override {}
    void DisplayConnected() override { Connected = true; }
    void DisplayDisconnected() override { Connected = false; }
    void PaintLamps(devlink::LampColour) override {}
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
    void MeasurementPageToFront() override {}
    bool DeviceDataPageInFront() override { return !TakeLiveReading; }

    // ---- what the commands set and read ---------------------------------
    bool TakeLiveReading = false; // a connect takes one live reading
    bool Quiet = false;           // no messages (after an interrupt)
    bool Connected = false;
    // The kind of the first failure reported to the user; None while
    // nothing failed.
    protocol::Failure FirstFailure = protocol::Failure::None;
    // Every block read from the meter on this connection, the last one last.
    QList<protocol::ParameterBlock> BlocksRead;
    // What PageToBlock puts into the worker's block ("the page").
    protocol::ParameterBlock Page;
    quint16 PageRangeFrom = 0;
    quint16 PageRangeTo = 0;
    // The block as last handed to the worker, checksum aside.
    std::optional<protocol::ParameterBlock> BlockSent;
    // Where fetched records are merged; not owned.
    data::MeasTable *Records = nullptr;

    // Ends the progress line, if one is open.
    void EndProgress();

private:
    void DrawBar(qint64 position, bool force = false);
    bool m_barShown = false;
    bool m_barAwaitingRecords = false;
    bool m_terminal = false;
    qint64 m_barMaximum = 0;
    qint64 m_barPosition = 0;
    QString m_barLabel;
    QElapsedTimer m_barClock;
};

} // namespace cli
