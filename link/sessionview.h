#pragma once
// What the worker shows its user and the little it asks of them, as one
// small interface. The window implements it in app/ (dialogs, displays,
// lamps, the Device data page), the command-line tool in cli/ (lines on
// stderr, a block in memory).
//
// The worker never calls these directly: each of its main-thread steps (BT's
// ShowConnected, SetLampsGreen, CollectParameterBlock, ...) hands one of them
// to the main thread through Synchronize and waits until it has run. So every
// call below runs on the main thread, one at a time.

#include "protocol/failure.h"
#include "protocol/parameterblock.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace devlink {

enum class LampColour { Green, Blue };

class SessionView {
public:
    virtual ~SessionView() = default;

    // ---- link-up --------------------------------------------------------
    virtual void OpenSearchDialog() = 0;
    virtual void CloseSearchDialog() = 0;
    virtual void OpenWaitDialog() = 0;
    virtual void CloseWaitDialog() = 0;

    // ---- the two displays and the lamps ---------------------------------
    virtual void DisplayConnected() = 0;
    virtual void DisplayDisconnected() = 0;
    virtual void PaintLamps(LampColour colour) = 0;

    // An error message for the user (caption "Error" in the window), with
    // the kind of failure behind it; the window shows only the message.
    virtual void Tell(const QString &message, protocol::Failure why) = 0;

    // ---- the parameter block --------------------------------------------
    // The page (or the tool's edited block) into the worker's block.
    virtual void PageToBlock(protocol::ParameterBlock &block) = 0;
    // A block read from the meter onto the page; may write today into dates
    // that are all zero.
    virtual void BlockToPage(protocol::ParameterBlock &block) = 0;

    // ---- progress -------------------------------------------------------
    // Bytes of the reply received so far; `uploading` while firmware goes
    // out, when the bar counts lines instead.
    virtual void ReceiveProgress(int received, bool uploading) = 0;
    // A download's progress, from 0 to `maximum` bytes.
    virtual void OpenReceiveProgress(qint64 maximum) = 0;
    virtual void CloseReceiveProgress() = 0;
    // A firmware upload's progress, one step per accepted line; the
    // disconnected display stands meanwhile, the connected one after it.
    virtual void NameUpload(const QString &fileName) = 0;
    virtual void OpenUploadProgress(int lines) = 0;
    virtual void UploadProgressStep() = 0;
    virtual void CloseUploadProgress() = 0;

    // ---- measurements ---------------------------------------------------
    // A non-empty batch of decoded records, in the order they arrived; each
    // record's first text is its key.
    virtual void MergeBatch(const QList<QStringList> &batch) = 0;
    virtual void MeasurementPageToFront() = 0;

    // ---- what the worker reads ------------------------------------------
    // True when the Device data page is in front: a link that comes up then
    // reads the block; otherwise it takes one live reading.
    virtual bool DeviceDataPageInFront() = 0;
};

} // namespace devlink
