#pragma once
// The window's flight recorder: the events of a session kept in memory, so
// that a trace can be saved after the failure it should show has happened.
//
// It keeps the first events (how the session began: the link-up, the block
// read) and the most recent ones (how it ended), within a bound on the text
// they make when written; the events between them are counted, not kept.
// The oldest of the recent events go a page at a time, so the text kept
// lies within one page's worth of the bound.
// Events are held as the trace takes them (bytes stay bytes), which is
// cheaper to take and smaller to hold than their text.
//
// Not thread-safe: the trace (trace.h) calls it under its lock.

#include <QByteArrayView>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>

namespace protocol {

// One event as the trace keeps it.
struct TraceEvent {
    std::uint32_t ms = 0;     // since the recorder (or file) started
    std::uint8_t kind = 0;    // TraceKind (trace.h)
    std::uint8_t thread = 0;  // index into the trace's thread names
    QByteArrayView payload;   // UTF-8 text, or the bytes of a chunk or notification
};

namespace recorderdetail {
// An event as stored: ms (4 bytes), payload size (4), kind, thread, then
// the payload; packed, so read with memcpy.
inline constexpr std::int64_t StoredSize = 10;
} // namespace recorderdetail

struct RecorderLimits {
    int headEvents = 2000;               // the first events kept
    std::int64_t textBytes = 8 << 20;    // text of all events kept, 8 MiB
    std::int64_t pageBytes = 64 << 10;   // the old events go a page at a time
};

// Events in order, packed into pages; added at the back, dropped from the
// front a page at a time, so dropping costs nothing per event.
class EventQueue {
public:
    explicit EventQueue(std::int64_t pageBytes) : m_pageBytes(pageBytes) {}
    void Push(const TraceEvent &event, std::int64_t textSize)
    {
        if (!TryPush(event, textSize))
            PushOnNewPage(event, textSize);
    }
    // Adds the event if the newest page has room for it; the common case,
    // kept short because every event of a session comes this way.
    bool TryPush(const TraceEvent &event, std::int64_t textSize)
    {
        const std::int64_t need = recorderdetail::StoredSize + event.payload.size();
        Page *page = m_open;
        if (!page || page->capacity - page->end < need)
            return false;
        Store(page->data.get() + page->end, event);
        page->end += need;
        ++page->events;
        page->text += textSize;
        ++m_count;
        return true;
    }
    struct Dropped {
        std::int64_t events = 0;
        std::int64_t text = 0;
    };
    // Drops the oldest page with its events.
    Dropped DropOldest();
    std::int64_t Count() const { return m_count; }
    std::int64_t HeldBytes() const { return m_held; }
    // Calls f(const TraceEvent &) for each event, oldest first.
    template <typename F> void ForEach(F &&f) const;

private:
    static void Store(char *at, const TraceEvent &event)
    {
        const auto size = static_cast<std::uint32_t>(event.payload.size());
        std::memcpy(at, &event.ms, 4);
        std::memcpy(at + 4, &size, 4);
        at[8] = static_cast<char>(event.kind);
        at[9] = static_cast<char>(event.thread);
        CopyPayload(at + recorderdetail::StoredSize, event.payload.data(), size);
    }
    // Most events are notifications of 20 bytes or so: those are copied in
    // two overlapping moves of a fixed size, which the compiler writes out
    // in place, rather than through a call (a fifth of an event's cost).
    static void CopyPayload(char *to, const char *from, std::uint32_t size)
    {
        if (size >= 16 && size <= 32) {
            std::memcpy(to, from, 16);
            std::memcpy(to + size - 16, from + size - 16, 16);
        } else if (size >= 8 && size < 16) {
            std::memcpy(to, from, 8);
            std::memcpy(to + size - 8, from + size - 8, 8);
        } else if (size > 0) {
            std::memcpy(to, from, size);
        }
    }
    void PushOnNewPage(const TraceEvent &event, std::int64_t textSize);

    struct Page {
        std::unique_ptr<char[]> data;
        std::int64_t capacity = 0;
        std::int64_t end = 0;    // first free byte
        std::int64_t events = 0;
        std::int64_t text = 0;   // text size of its events
    };
    std::int64_t m_pageBytes;
    std::deque<Page> m_pages;
    // The newest page, pushed to: a deque's elements stay where they are as
    // it grows or shrinks at its ends.
    Page *m_open = nullptr;
    Page m_spare; // the last page dropped, used again rather than freed
    std::int64_t m_count = 0;
    std::int64_t m_held = 0;
};

class FlightRecorder {
public:
    using Limits = RecorderLimits;

    explicit FlightRecorder(Limits limits = {})
        : m_limits(limits), m_head(limits.pageBytes), m_tail(limits.pageBytes)
    {
    }

    // `textSize`: the length of the event's line as written.
    void Add(const TraceEvent &event, std::int64_t textSize)
    {
        // Once the first events are kept, most events just go on the end.
        if (m_headClosed && m_tailText + textSize <= m_limits.textBytes - m_headText
            && m_tail.TryPush(event, textSize)) {
            m_tailText += textSize;
            return;
        }
        AddSlowly(event, textSize);
    }

    // The first events, then how many were left out, then the last ones.
    template <typename Head, typename Gap, typename Tail>
    void ForEach(Head &&head, Gap &&gap, Tail &&tail) const
    {
        m_head.ForEach(head);
        if (m_leftOut > 0)
            gap(m_leftOut);
        m_tail.ForEach(tail);
    }

    std::int64_t HeadCount() const { return m_head.Count(); }
    std::int64_t TailCount() const { return m_tail.Count(); }
    std::int64_t LeftOut() const { return m_leftOut; }
    std::int64_t TextBytes() const { return m_headText + m_tailText; }
    // Memory the kept events occupy (pages allocated).
    std::int64_t HeldBytes() const { return m_head.HeldBytes() + m_tail.HeldBytes(); }

private:
    void AddSlowly(const TraceEvent &event, std::int64_t textSize);

    Limits m_limits;
    EventQueue m_head;
    EventQueue m_tail;
    bool m_headClosed = false;
    std::int64_t m_headText = 0;
    std::int64_t m_tailText = 0;
    std::int64_t m_leftOut = 0;
};

// ---- implementation of the template ------------------------------------------

template <typename F> void EventQueue::ForEach(F &&f) const
{
    for (const Page &page : m_pages) {
        std::int64_t at = 0;
        while (at < page.end) {
            const char *stored = page.data.get() + at;
            TraceEvent e;
            std::uint32_t size = 0;
            std::memcpy(&e.ms, stored, 4);
            std::memcpy(&size, stored + 4, 4);
            e.kind = static_cast<std::uint8_t>(stored[8]);
            e.thread = static_cast<std::uint8_t>(stored[9]);
            e.payload = QByteArrayView(stored + recorderdetail::StoredSize, size);
            f(e);
            at += recorderdetail::StoredSize + size;
        }
    }
}

} // namespace protocol
