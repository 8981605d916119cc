// Linked into every test program: the timer resolution the programs keep
// from main() holds for the tests too. Without it, Windows rounds each sleep
// and timer up to 15.6 ms and the tests would time other pauses than the
// programs keep.
#include "os/clocks.h"

namespace {
const os::FineTimers fineTimers;
} // namespace
