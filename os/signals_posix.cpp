#include "os/signals.h"

#include <atomic>
#include <signal.h>

namespace os {

namespace {

std::atomic<bool> g_interrupted{false};
// What SIGINT did before an InterruptEndsAtOnce.
void (*g_previous)(int) = SIG_DFL;

extern "C" void onSignal(int)
{
    g_interrupted.store(true);
}

} // namespace

void CatchInterrupts()
{
    ::signal(SIGINT, onSignal);
    ::signal(SIGTERM, onSignal);
    ::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted()
{
    return g_interrupted.load();
}

bool TakeInterrupt()
{
    return g_interrupted.exchange(false);
}

InterruptEndsAtOnce::InterruptEndsAtOnce()
{
    g_previous = ::signal(SIGINT, SIG_DFL);
}

InterruptEndsAtOnce::~InterruptEndsAtOnce()
{
    ::signal(SIGINT, g_previous);
}

} // namespace os
