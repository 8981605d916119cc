#pragma once
// Every pause, time limit, try count and interval of the exchange, the worker
// and the link-up, with the values the meter and the radio need.
//
// Both programs always run on these values. Tests of logic (not of timing)
// may shorten the pauses before any worker starts, so that a connect costs
// milliseconds instead of seconds; tests that check a timing use the real
// values.

namespace protocol {

struct Timings {
    // ---- the exchange with the meter ------------------------------------
    int chunkPauseMs = 20;          // after each characteristic write
    int writeTimeoutMs = 2000;      // per write completion
    int replyTimeoutMs = 3000;      // between events while a reply arrives
    int maxSends = 4;               // sends of one frame, repeats included
    int readParametersPauseMs = 200; // between 84 and 19 when reading the block
    int closeSessionPauseMs = 500;  // after 25
    int downloadPauseMs = 500;      // between the accepted range and 2

    // ---- the worker -----------------------------------------------------
    int requestWaitMs = 2000;       // also the keep-alive interval
    int searchPollMs = 10;          // while the link-up sequence runs
    int cancelWaitMs = 100;         // for a cancel once the link went off
    int establishedPauseMs = 500;   // between link-up and the first action

    // ---- the link-up sequence -------------------------------------------
    int scanMs = 11700;
    int linkPollMs = 100;           // the sequence's waiting loops
    int servicePolls = 20;          // gives up after the 22nd poll
    int connectTries = 500;         // gives up after the 501st Connect
    int connectPauseMs = 10;
    int beforeServicesMs = 350;
    int beforeConnectMs = 350;
    int beforeNotifyMs = 500;

    // ---- the window's "Choose meter" dialog --------------------------------
    int chooseScanMs = 5000;        // one scan for the list of meters

    // The same limits with the pauses cut to a tenth; for tests of logic.
    static Timings ShortPauses();
};

// The timings in force.
const Timings &CurrentTimings();
// Replaces them; only before any worker or link-up runs (tests).
void UseTimings(const Timings &timings);

} // namespace protocol
