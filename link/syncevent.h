#pragma once
// Auto-reset events with timed waits, and a wait on either of two events.
//
// A signal that nobody waits for is kept until the next wait takes it;
// several signals before a wait count as one.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace devlink {

class AutoResetEvent {
public:
    void Signal();
    // True when the event was signalled within `ms`; the signal is consumed.
    bool Wait(int ms);
    // Drops a signal nobody has taken yet.
    void Clear();

private:
    friend int WaitForEither(AutoResetEvent &, AutoResetEvent &, int);
    bool m_signalled = false;
};

// Returns 0 when `first` was signalled, 1 for `second`, -1 on time-out.
// When both are signalled only `first` is consumed.
int WaitForEither(AutoResetEvent &first, AutoResetEvent &second, int ms);

} // namespace devlink
