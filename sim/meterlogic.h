#pragma once
// The simulated meter's inner working, free of sockets and threads: it takes
// the bytes the central writes, cuts them into frames, and answers each frame
// the way the meter does. The peripheral (simperipheral.h) carries the bytes
// over the virtual link; tests drive this class directly as well.
//
// The block codec here is written independently of protocol/, so a fault in
// the program's codec shows up as a disagreement instead of being mirrored.

#include "protocol/parameterblock.h"
#include "sim/heximage.h"
#include "sim/recordlayout.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace sim {

// Command and reply codes as the meter knows them.
enum : std::uint8_t {
    CodeDownloadRecords = 2,
    CodeFirmwareLine = 17,
    CodeWriteParameters = 18,
    CodeReadParameters = 19,
    CodePing = 20,
    CodeCloseSession = 25,
    CodeCurrentMeasurement = 84,
    CodeAccepted = 6,
    CodeRepeat = 27,
};

// A change made to the bytes of a reply before it leaves the meter.
struct ReplyFault {
    enum Kind { WrongByte, DropByte, AddByte };
    Kind kind = WrongByte;
    int command = -1; // the command whose reply is changed; -1: any
    int offset = 0;   // index in the reply; -1: the last byte (AddByte: after it)
    std::uint8_t value = 0; // WrongByte and AddByte
    int times = -1;   // replies still to change; -1: every one
};

// A fault played on one firmware line. Lines are counted from 1 on each
// connection in the order the meter takes them; a line sent again after a
// 27 keeps its number.
struct FirmwareFault {
    enum Kind {
        Repeat,     // the line is answered 27 before it is taken
        WrongReply, // the line is answered `value` and not taken
        Silence,    // the line gets no answer
        Drop,       // the meter ends the connection when the line arrives
    };
    Kind kind = Repeat;
    int line = 1;
    int times = 1; // sends of the line still affected
    std::uint8_t value = 0;
};

// Faults to inject. The first group is played by MeterLogic, the second by
// the peripheral that carries the bytes.
struct MeterFaults {
    // The next N CmdWriteParameters / CmdFirmwareLine frames are answered 27
    // whatever they hold; the one after gets the usual answer.
    int repeatReplies = 0;
    QList<ReplyFault> replyFaults;
    QList<FirmwareFault> firmwareFaults;
    // Pings still answered; -1: every one, 0: none from now on.
    int pingsToAnswer = -1;
    // Replies to `delayCommand` (-1: any) leave this much later.
    int replyDelayMs = 0;
    int delayCommand = -1;

    // Bytes per notification (at least 1).
    int notifySize = 20;
    // The reply's notifications go out before the WRITTEN of the write that
    // completed the frame.
    bool replyBeforeWritten = false;
    // The next N writes (-1: all) are answered WRITTEN <uuid> <status> and
    // their bytes are lost.
    int writeFailCount = 0;
    int writeFailStatus = 133;
    // The next N notifications (-1: all) go out as NOTIFYERR <uuid> <status>
    // and their bytes are lost.
    int notifyFailCount = 0;
    int notifyFailStatus = 133;
    bool refuseConnect = false;     // CONNECT is never answered
    int subscribeStatus = 0;        // non-zero: SUBSCRIBE refused with it
    bool ignoreSubscribe = false;   // SUBSCRIBE is never answered
    // A connection is closed by the meter once it has received this many
    // bytes; -1: never.
    qint64 closeAfterBytes = -1;
};

class MeterLogic {
public:
    struct Reply {
        QByteArray bytes;
        int delayMs = 0;
        // Sent as one notification as it stands (a failed one when
        // `failStatus` is not 0) instead of cut to the notification size:
        // a meter played back from a trace sends what it sent then.
        bool oneNotification = false;
        int failStatus = 0;
    };
    // Longest line frame (CmdWriteParameters, CmdFirmwareLine) the meter
    // buffers; a longer one is cut there and answered 27.
    static constexpr int MaxLineFrame = 4096;

    MeterLogic();
    virtual ~MeterLogic() = default;

    // The bytes of one write. Returns the replies of every frame they
    // complete, in order (a frame the meter does not answer gives none).
    virtual QList<Reply> Receive(QByteArrayView bytes);
    // A new connection starts with no partial frame and, as far as firmware
    // goes, with line 1 and an empty image.
    virtual void ResetSession();
    // True once after a frame that makes the meter end the connection.
    bool TakeDropRequest();

    const protocol::ParameterBlock &MeterBlock() const { return m_block; }
    // The checksum is set here: the meter always holds a consistent block.
    void SetBlock(const protocol::ParameterBlock &block);
    QList<RecordField> Layout() const { return m_layout; }
    void SetLayout(const QList<RecordField> &layout) { m_layout = layout; }

    // Every complete frame received, in order, exactly as it came.
    const QList<QByteArray> &Frames() const { return m_frames; }
    int CommandCount(std::uint8_t code) const;
    // Firmware lines accepted so far, without code and line end.
    const QList<QByteArray> &FirmwareLines() const { return m_firmwareLines; }
    // The image built from the records taken on this connection, and the
    // number of lines taken that were no whole record.
    const ImageBytes &FirmwareImage() const { return m_image.Bytes(); }
    int MalformedFirmwareLines() const { return m_malformedLines; }

    // The record the meter sends for stored measurement `number` (or the
    // live one); LayoutRecordSize(Layout()) bytes.
    QByteArray MakeRecord(int number) const;

    // A realistic block: serial number, usage count, calibration, three
    // dates, printout on, an information text, 25 active ranges mapped
    // 1..25, valid checksum.
    static protocol::ParameterBlock DefaultBlock();
    // The block's text form (514 upper-case hex digits), and the checked
    // reverse: nullopt unless every character is a hex digit and all 257
    // bytes sum to 0 mod 256.
    static QByteArray EncodeBlock(const protocol::ParameterBlock &block);
    static std::optional<protocol::ParameterBlock> DecodeBlock(QByteArrayView text);
    static void SetChecksum(protocol::ParameterBlock &block);
    static int StoredRecords(const protocol::ParameterBlock &block);
    static void SetUsageCount(protocol::ParameterBlock &block, int count);

    MeterFaults faults;

protected:
    using Handler = std::function<std::optional<QByteArray>(const QByteArray &frame)>;
    // The command table: a frame that starts with `code` is either the code
    // alone or, for line commands, runs to the next LF. A command added
    // later is one entry here.
    void AddCommand(std::uint8_t code, bool lineFrame, Handler handler);
    // For meters that cut frames their own way.
    void NoteFrame(const QByteArray &frame) { m_frames.append(frame); }

private:
    struct Command {
        bool lineFrame = false;
        Handler handler;
    };
    std::optional<QByteArray> Answer(const QByteArray &frame);
    std::optional<QByteArray> AnswerPing();
    std::optional<QByteArray> AnswerWriteParameters(const QByteArray &frame);
    std::optional<QByteArray> AnswerReadParameters();
    std::optional<QByteArray> CurrentMeasurement();
    std::optional<QByteArray> DownloadRecords();
    std::optional<QByteArray> FirmwareLine(const QByteArray &frame);
    bool TakeRepeat();
    FirmwareFault *DueFirmwareFault();
    void ApplyReplyFaults(std::uint8_t command, QByteArray &reply);

    std::map<std::uint8_t, Command> m_commands;
    protocol::ParameterBlock m_block;
    QList<RecordField> m_layout;
    QByteArray m_partial;
    QList<QByteArray> m_frames;
    QList<QByteArray> m_firmwareLines;
    HexImage m_image;
    int m_linesTaken = 0; // on this connection
    int m_malformedLines = 0;
    bool m_dropRequested = false;
    int m_liveReadings = 0;
};

} // namespace sim
