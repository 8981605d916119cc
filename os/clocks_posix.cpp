#include "os/clocks.h"

namespace os {

// POSIX sleeps and timers keep to the microsecond already.
FineTimers::FineTimers() = default;
FineTimers::~FineTimers() = default;

} // namespace os
