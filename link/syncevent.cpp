#include "link/syncevent.h"

namespace devlink {

namespace {
// The worker has only three events; one mutex and condition for all of them
// is what makes waiting on two at once simple and race-free.
std::mutex &eventMutex()
{
    static std::mutex m;
    return m;
}
std::condition_variable &eventCondition()
{
    static std::condition_variable c;
    return c;
}
} // namespace

void AutoResetEvent::Signal()
{
    {
        std::lock_guard lock(eventMutex());
        m_signalled = true;
    }
    eventCondition().notify_all();
}

void AutoResetEvent::Clear()
{
    std::lock_guard lock(eventMutex());
    m_signalled = false;
}

bool AutoResetEvent::Wait(int ms)
{
    std::unique_lock lock(eventMutex());
    if (!eventCondition().wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_signalled; }))
        return false;
    m_signalled = false;
    return true;
}

int WaitForEither(AutoResetEvent &first, AutoResetEvent &second, int ms)
{
    std::unique_lock lock(eventMutex());
    const bool any = eventCondition().wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return first.m_signalled || second.m_signalled;
    });
    if (!any)
        return -1;
    if (first.m_signalled) {
        first.m_signalled = false;
        return 0;
    }
    second.m_signalled = false;
    return 1;
}

} // namespace devlink
