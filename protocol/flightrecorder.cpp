#include "protocol/flightrecorder.h"

#include <algorithm>

namespace protocol {

using recorderdetail::StoredSize;

void EventQueue::PushOnNewPage(const TraceEvent &event, std::int64_t textSize)
{
    const std::int64_t need = StoredSize + event.payload.size();
    Page page;
    if (m_spare.data && m_spare.capacity >= need) {
        page = std::move(m_spare);
        m_spare = {};
    } else {
        page.capacity = std::max(m_pageBytes, need);
        // Not cleared: every byte read is written first.
        page.data = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(page.capacity));
        m_held += page.capacity;
    }
    page.end = page.events = page.text = 0;
    m_pages.push_back(std::move(page));
    m_open = &m_pages.back();
    TryPush(event, textSize);
}

EventQueue::Dropped EventQueue::DropOldest()
{
    if (m_pages.empty())
        return {};
    Page page = std::move(m_pages.front());
    m_pages.pop_front();
    if (m_pages.empty())
        m_open = nullptr;
    const Dropped dropped{page.events, page.text};
    m_count -= page.events;
    // One page is kept for the next push; a larger one, made for a single
    // large event, is not worth keeping.
    if (!m_spare.data && page.capacity == m_pageBytes) {
        m_spare = std::move(page);
    } else {
        m_held -= page.capacity;
    }
    return dropped;
}

void FlightRecorder::AddSlowly(const TraceEvent &event, std::int64_t textSize)
{
    // The head keeps at most half the text, so a run of huge first events
    // cannot leave no room for the last ones.
    if (!m_headClosed) {
        if (m_head.Count() < m_limits.headEvents && m_headText + textSize <= m_limits.textBytes / 2) {
            m_head.Push(event, textSize);
            m_headText += textSize;
            return;
        }
        m_headClosed = true;
    }
    const std::int64_t room = m_limits.textBytes - m_headText;
    if (textSize > room) {
        ++m_leftOut; // larger than all the room there is
        return;
    }
    while (m_tailText + textSize > room) {
        const EventQueue::Dropped dropped = m_tail.DropOldest();
        m_tailText -= dropped.text;
        m_leftOut += dropped.events;
    }
    m_tail.Push(event, textSize);
    m_tailText += textSize;
}

} // namespace protocol
