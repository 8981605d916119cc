#pragma once
// The protocol trace: one line per event of a session, for support when a
// link misbehaves in the field. Two places take the events, fed by the same
// calls: a file (TARVOLIN_TRACE=FILE for the window, --trace FILE for the
// tool) and the window's flight recorder in memory (flightrecorder.h), which
// writes nothing until the user saves it.
//
// A trace begins with header lines, each starting with "# ", that say what
// made it (program, Qt, system, link, configuration, start time). Then one
// line per event: milliseconds since the trace started (monotonic clock),
// the thread ("main", "worker" or the thread's name), the event. Bytes are
// written as hexadecimal, every one of them: a trace can be played back as
// a meter (zevq-sim --replay), so nothing is ever shortened. Any thread may
// write; lines never interleave.
//
// While neither the file nor the recorder is on, a call costs one relaxed
// atomic load: the text of an event is built only when the trace is on, and
// bytes are kept as bytes until they are written out.

#include "protocol/flightrecorder.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>

namespace protocol {

// What made a trace, for its header.
struct TraceOrigin {
    QString program;    // "Tarvolin 2.2", "tarvolin-cli 2.2.0"
    QString link;       // the link in use (TBluetoothLE::Describe)
    QString configPath; // the configuration file
    int recordSize = 0; // from the configuration file
    QString meter;      // the address the link is pinned to; empty: any meter
};

// Events that carry the bytes of the link as they are.
enum class TraceKind : std::uint8_t {
    Text,         // any other event: its text
    ChunkWritten, // "chunk written N: HEX"
    ChunkDropped, // "chunk dropped, link off: HEX"
    Notification, // "notification N: HEX"
};

// How big the recorder is and how much it holds.
struct RecorderFigures {
    std::int64_t headEvents = 0;
    std::int64_t tailEvents = 0;
    std::int64_t leftOut = 0;
    std::int64_t textBytes = 0;
    std::int64_t heldBytes = 0;
};

class Trace {
public:
    // Every header line begins with this, and no event line does.
    static constexpr char HeaderPrefix[] = "# ";
    // The version of the build, "2.2.0".
    static QString BuildVersion();

    // Opens (truncates) `path`. False with the reason in `error` when the
    // file cannot be created; the file trace then stays off. The header is
    // written once the origin is described (Describe), or before the first
    // event if that comes first.
    static bool Start(const QString &path, QString *error);
    static void Stop();
    // Why the file trace stopped short since Start ("Cannot write to file
    // "<path>". <reason>"), or empty: a write that fails (a full disk) ends
    // the file trace, and the recorder, if on, notes it as an event.
    static QString FileError();

    // The flight recorder: always on in the window. Starting it again
    // starts it empty.
    static void StartRecorder(FlightRecorder::Limits limits = {});
    static void StopRecorder();
    // Stops taking events into the recorder, or takes them again, keeping
    // what it holds: how the download bench compares the recorder on and
    // off within one download.
    static void PauseRecorder(bool paused);
    // The header and every event the recorder kept, as a trace file holds
    // them; empty while the recorder is off.
    static QByteArray Recorded();
    static RecorderFigures RecorderState();

    // Says what makes the trace; may be said again when more is known (the
    // adapter once a scan ran). A file's header, once written, stays.
    static void Describe(const TraceOrigin &origin);
    // The header lines for `origin` and a trace started at `startUtc`.
    static QStringList Header(const TraceOrigin &origin, const QDateTime &startUtc);

    static bool On() { return s_on.load(std::memory_order_relaxed); }

    // `make` returns the event's text; it runs only while the trace is on.
    template <typename F> static void Note(F &&make)
    {
        if (On())
            WriteText(make());
    }
    // An event with the link's bytes: kept as bytes, written out in full.
    static void NoteBytes(TraceKind kind, QByteArrayView bytes)
    {
        if (On())
            WriteBytes(kind, bytes);
    }

private:
    static void WriteText(const QString &event);
    static void WriteBytes(TraceKind kind, QByteArrayView bytes);
    static std::atomic<bool> s_on;
};

} // namespace protocol
