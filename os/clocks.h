#pragma once
// The system's timers.

namespace os {

// For its lifetime, sleeps and timers keep to the millisecond: Windows
// otherwise rounds each up to 15.6 ms, and a 20 ms pause of the protocol
// lasts about 31. Nothing to do on POSIX.
class FineTimers {
public:
    FineTimers();
    ~FineTimers();
    FineTimers(const FineTimers &) = delete;
    FineTimers &operator=(const FineTimers &) = delete;
};

} // namespace os
