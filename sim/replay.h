#pragma once
// A meter played back from a protocol trace (zevq-sim --replay TRACE): it
// advertises the name and services the trace recorded and answers each
// frame the central writes with the notifications the meter sent after the
// same frame in the trace.
//
// Frames. The trace holds the chunks the central wrote, not its frames. An
// exchange writes 64 bytes while more than 64 remain, so only the last
// chunk of a frame can be shorter; a frame whose last chunk is full is a
// line frame (write parameters, firmware line), and those end with CR LF,
// which appears nowhere else in them (the rest is hexadecimal text). So a
// frame ends with a chunk of fewer than 64 bytes or with a chunk ending in
// CR LF. The meter can only answer a frame it has whole, so this is also
// where its answer begins. Reading the trace and playing it back cut frames
// with the same rule (FrameAssembler), so what was recorded and what comes
// in match byte for byte. Reading the trace, an "exchange start" drops a
// frame left incomplete by a failed exchange; playing back, a new
// connection does.
//
// Answers. The notifications after a frame, up to the next frame, are its
// answer (a failed notification is played back failed). The n-th time a
// frame comes it gets the answer the n-th such frame got; past the last
// recorded one, the last again; the count runs over the whole run of the
// program, so a trace of several sessions plays back session by session.
// A frame never seen gets no answer.

#include "sim/meterlogic.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QUuid>

#include <functional>
#include <map>
#include <optional>

namespace sim {

// Cuts the chunks the central writes into frames (see above).
class FrameAssembler {
public:
    static constexpr int MaxChunk = 64;
    // The longest frame taken; a longer run of chunks without an end is
    // dropped (a line frame of the meter is at most 4096 bytes).
    static constexpr int MaxFrame = 1 << 20;

    // The frame this chunk completes, if it completes one.
    std::optional<QByteArray> Take(QByteArrayView chunk);
    void Reset() { m_partial.clear(); }

private:
    QByteArray m_partial;
};

struct RecordedNotification {
    QByteArray bytes;
    int failStatus = 0; // not 0: the notification failed with this GATT status
    int delayMs = 0;    // after the frame it answers
};

using RecordedAnswer = QList<RecordedNotification>;

// The meter as a trace recorded it.
struct RecordedMeter {
    QString name;         // empty: none recorded
    QList<QUuid> services; // empty: none recorded
    // For each frame the central wrote, the meter's answer each time it came.
    std::map<QByteArray, QList<RecordedAnswer>> answers;
    int notifications = 0; // notifications with bytes
};

// Reads a trace of either program or a saved flight record. nullopt with
// `error` ("<name>, line N: ...") when it cannot be played back: no bytes of
// the meter in it, or a chunk or notification line cut short.
std::optional<RecordedMeter> ReadTrace(QIODevice &trace, const QString &name, QString *error);
// The same from a file, or from a pipe or a device read to its end; more
// than MaxTraceBytes is refused.
inline constexpr qint64 MaxTraceBytes = qint64(1) << 30;
std::optional<RecordedMeter> LoadTrace(const QString &path, QString *error);

class ReplayMeter final : public MeterLogic {
public:
    // `keepTiming`: each notification leaves as long after its frame as it
    // did in the trace; otherwise at once.
    ReplayMeter(RecordedMeter recorded, bool keepTiming);

    QList<Reply> Receive(QByteArrayView bytes) override;
    void ResetSession() override;

    // Told about every frame the trace never saw.
    std::function<void(const QByteArray &frame)> OnUnknownFrame;

private:
    RecordedMeter m_recorded;
    bool m_keepTiming;
    FrameAssembler m_frames;
    std::map<QByteArray, int> m_served;
};

} // namespace sim
