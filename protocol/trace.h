#pragma once
// The protocol trace: one line per event of a session, for support when a
// link misbehaves in the field. Off unless a program switches it on
// (TARVOLIN_TRACE=FILE for the window, --trace FILE for the tool).
//
// A line: milliseconds since the trace started (monotonic clock), the thread
// ("main", "worker" or the thread's name), the event. Bytes are written as
// hexadecimal. Any thread may write; lines never interleave.
//
// While off, a call costs one relaxed atomic load: the text of an event is
// built only when the trace is on.

#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <cstdint>

namespace protocol {

class Trace {
public:
    // Opens (truncates) `path`. False with the reason in `error` when the
    // file cannot be created; the trace then stays off.
    static bool Start(const QString &path, QString *error);
    static void Stop();
    static bool On() { return s_on.load(std::memory_order_relaxed); }

    // `make` returns the event's text; it runs only while the trace is on.
    template <typename F> static void Note(F &&make)
    {
        if (On())
            Write(make());
    }

    // "0A 1B ..." with at most `limit` bytes shown, then "… (N bytes)".
    static QString Hex(QByteArrayView bytes, int limit = 600);

private:
    static void Write(const QString &event);
    static std::atomic<bool> s_on;
};

} // namespace protocol
