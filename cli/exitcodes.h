#pragma once
// The tool's exit codes (also in --help and docs/cli.md), and the one table
// that turns the kind of a failure into one of them.

#include "protocol/failure.h"

namespace cli {

enum ExitCode {
    ExitDone = 0,
    ExitUsage = 1,        // bad usage or bad input file
    ExitNoAdapter = 2,    // no Bluetooth LE adapter
    ExitNotFound = 3,     // meter not found or connection failure
    ExitLost = 4,         // connection lost or transmission error
    ExitDiffers = 5,      // read-back differs
    ExitOtherMeter = 6,   // the file belongs to another meter
    ExitInterrupted = 130,
    ExitOutputFailed = 7, // the result could not be written (-o, stdout)
};

constexpr ExitCode ExitCodeFor(protocol::Failure why)
{
    using protocol::Failure;
    switch (why) {
    case Failure::None: return ExitDone;
    case Failure::NoAdapter: return ExitNoAdapter;
    case Failure::MeterNotFound:
    case Failure::ConnectFailure:
    case Failure::NotSubscribed: return ExitNotFound;
    case Failure::Timeout:
    case Failure::LinkError:
    case Failure::RefusedReply:
    case Failure::BadReply:
    case Failure::OutOfMemory:
    case Failure::BadRequest:
    case Failure::StepFailed: return ExitLost;
    case Failure::Interrupted: return ExitInterrupted;
    }
    return ExitLost;
}

} // namespace cli
