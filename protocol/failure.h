#pragma once
// Why something failed, as one small enum for the whole program. A device
// operation, the link-up and the worker's steps each say what went wrong
// where it happens; the window shows the same messages whatever the kind,
// the trace names it, and the command-line tool turns it into its exit code.

#include <QLatin1StringView>

#include <cstdint>

namespace protocol {

enum class Failure : std::uint8_t {
    None,
    NoAdapter,      // no Bluetooth LE adapter, or it is switched off
    MeterNotFound,  // the scan ended without the meter
    ConnectFailure, // the meter was seen but the link could not be made
    NotSubscribed,  // notifications of the serial characteristic refused
    Timeout,        // a write completion or a reply did not come in time
    LinkError,      // the platform reported a failed write or notification
    RefusedReply,   // a reply byte other than 6 and 27, or 27 at every try
    BadReply,       // a wrong ping echo, a block with bad digits or sum
    Interrupted,    // cancelled, or the owner went away
    OutOfMemory,    // the receive area could not be had
    BadRequest,     // nothing sent: counts, a range or lines that cannot go out
    StepFailed,     // an error raised inside a main-thread step
};

// The kind in a few words for the trace ("time-out", "link error", ...).
QLatin1StringView FailureName(Failure why);

// The result of a device operation: success, or the kind of its failure.
class [[nodiscard]] Outcome {
public:
    constexpr Outcome() = default;
    // Implicit, so that an operation can `return Failure::Timeout;`.
    constexpr Outcome(Failure why) : m_why(why) {}
    constexpr explicit operator bool() const { return m_why == Failure::None; }
    constexpr Failure why() const { return m_why; }

private:
    Failure m_why = Failure::None;
};

} // namespace protocol
