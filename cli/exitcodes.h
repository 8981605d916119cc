#pragma once
// The tool's exit codes (also in --help and docs/cli.md).

namespace cli {

enum ExitCode {
    ExitDone = 0,
    ExitUsage = 1,        // bad usage or bad input file
    ExitNoAdapter = 2,    // no Bluetooth LE adapter
    ExitNotFound = 3,     // meter not found or connection failure
    ExitLost = 4,         // connection lost or transmission error
    ExitDiffers = 5,      // read-back differs
    ExitInterrupted = 130,
};

} // namespace cli
