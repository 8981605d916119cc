#include "protocol/flightrecorder.h"

#include <algorithm>
#include <cstring>

namespace protocol {

namespace {

// Most events are a few dozen bytes: a page holds a couple of thousand, and
// the page freed by the oldest events is the one the newest go to next.
constexpr std::int64_t PageSize = 64 * 1024;

} // namespace

namespace recorderdetail {

Stored ReadStored(const char *at)
{
    Stored s{};
    std::memcpy(&s.ms, at, 4);
    std::memcpy(&s.size, at + 4, 4);
    std::memcpy(&s.textSize, at + 8, 4);
    s.kind = static_cast<std::uint8_t>(at[12]);
    s.thread = static_cast<std::uint8_t>(at[13]);
    return s;
}

} // namespace recorderdetail

using recorderdetail::StoredSize;

void EventQueue::Push(const TraceEvent &event, std::int64_t textSize)
{
    const std::int64_t need = StoredSize + event.payload.size();
    if (m_pages.empty() || m_pages.back().capacity - m_pages.back().end < need) {
        // A page emptied at the front is used again rather than freed.
        if (m_pages.size() > 1 && m_pages.front().begin == m_pages.front().end
            && m_pages.front().capacity >= need) {
            Page page = std::move(m_pages.front());
            m_pages.pop_front();
            page.begin = page.end = 0;
            m_pages.push_back(std::move(page));
        } else {
            Page page;
            page.capacity = std::max(PageSize, need);
            page.data = std::make_unique<char[]>(static_cast<std::size_t>(page.capacity));
            m_held += page.capacity;
            m_pages.push_back(std::move(page));
        }
    }
    Page &page = m_pages.back();
    char *at = page.data.get() + page.end;
    const auto size = static_cast<std::uint32_t>(event.payload.size());
    const auto text = static_cast<std::uint32_t>(textSize);
    std::memcpy(at, &event.ms, 4);
    std::memcpy(at + 4, &size, 4);
    std::memcpy(at + 8, &text, 4);
    at[12] = static_cast<char>(event.kind);
    at[13] = static_cast<char>(event.thread);
    if (size > 0)
        std::memcpy(at + StoredSize, event.payload.data(), size);
    page.end += need;
    ++m_count;
}

std::int64_t EventQueue::Pop()
{
    // Pages emptied earlier are kept for reuse; skip to the first with events.
    auto page = std::find_if(m_pages.begin(), m_pages.end(), [](const Page &p) { return p.begin < p.end; });
    if (page == m_pages.end())
        return 0;
    const recorderdetail::Stored s = recorderdetail::ReadStored(page->data.get() + page->begin);
    page->begin += StoredSize + s.size;
    --m_count;
    // At most one empty page is kept in front for reuse; older ones go.
    while (m_pages.size() > 1 && m_pages[0].begin == m_pages[0].end && m_pages[1].begin == m_pages[1].end) {
        m_held -= m_pages.front().capacity;
        m_pages.pop_front();
    }
    return s.textSize;
}

void FlightRecorder::Add(const TraceEvent &event, std::int64_t textSize)
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
        m_tailText -= m_tail.Pop();
        ++m_leftOut;
    }
    m_tail.Push(event, textSize);
    m_tailText += textSize;
}

} // namespace protocol
