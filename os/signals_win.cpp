#include "os/signals.h"

#include <atomic>
#include <cstdlib>
#include <windows.h>

namespace os {

namespace {

std::atomic<bool> g_interrupted{false};
// Set once the program has ended its work (at exit).
HANDLE g_ended = nullptr;

void markEnded()
{
    ::SetEvent(g_ended);
}

// Runs on a thread of its own. Windows ends the program as soon as this
// returns from a closing console, so it waits for the program to end its
// work first; the system allows about five seconds.
BOOL WINAPI onControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_interrupted.store(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        g_interrupted.store(true);
        ::WaitForSingleObject(g_ended, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

// No SIGPIPE on Windows: a reader that went away fails the write.
void CatchInterrupts()
{
    if (!g_ended) {
        g_ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atexit(markEnded);
    }
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

bool Interrupted()
{
    return g_interrupted.load();
}

bool TakeInterrupt()
{
    return g_interrupted.exchange(false);
}

// Without the program's handler, Windows' own ends the program on Ctrl+C.
InterruptEndsAtOnce::InterruptEndsAtOnce()
{
    ::SetConsoleCtrlHandler(onControl, FALSE);
}

InterruptEndsAtOnce::~InterruptEndsAtOnce()
{
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

} // namespace os
