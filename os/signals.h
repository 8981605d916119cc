#pragma once
// Ctrl+C and its kin: SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break and
// closing the console on Windows. Each only marks the program interrupted;
// the program ends its work itself, so a connected meter is told first.

namespace os {

// Marks the program interrupted on each of those; call first of all.
// A reader that went away (SIGPIPE) is then a failed write, not an end.
void CatchInterrupts();
bool Interrupted();
// Whether one came, and forgets it: the next is heard anew.
bool TakeInterrupt();

// For its lifetime, Ctrl+C ends the program at once, as by default (a
// question asked before anything is connected).
class InterruptEndsAtOnce {
public:
    InterruptEndsAtOnce();
    ~InterruptEndsAtOnce();
    InterruptEndsAtOnce(const InterruptEndsAtOnce &) = delete;
    InterruptEndsAtOnce &operator=(const InterruptEndsAtOnce &) = delete;
};

} // namespace os
