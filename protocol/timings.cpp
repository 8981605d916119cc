#include "protocol/timings.h"

namespace protocol {

namespace {
Timings g_timings;
}

Timings Timings::ShortPauses()
{
    Timings t;
    // Limits (time-outs, tries, the keep-alive) stay as they are: they decide
    // outcomes. Only the fixed pauses shrink.
    t.chunkPauseMs = 2;
    t.readParametersPauseMs = 20;
    t.closeSessionPauseMs = 50;
    t.downloadPauseMs = 50;
    t.establishedPauseMs = 50;
    t.beforeServicesMs = 35;
    t.beforeConnectMs = 35;
    t.beforeNotifyMs = 50;
    // The polls come ten times as often; their count grows to match, so
    // the wait for the serial service still ends after 2.2 s.
    t.linkPollMs = 10;
    t.servicePolls = 10 * (t.servicePolls + 2) - 2;
    return t;
}

const Timings &CurrentTimings()
{
    return g_timings;
}

void UseTimings(const Timings &timings)
{
    g_timings = timings;
}

} // namespace protocol
