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
    //
    // Except the pause between 84 and 19: the meter answers 84 during it,
    // and the answer is dropped only because the block read starts after
    // it. The wait for 84's write may end at once on a signal left from the
    // session before, so on a loaded machine the answer came after a cut
    // pause, landed in the block's reply (596 bytes for 517) and made the
    // read fail after its 3 s time-out.
    t.chunkPauseMs = 2;
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
