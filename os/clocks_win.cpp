#include "os/clocks.h"

#include <windows.h>
#include <timeapi.h>

namespace os {

FineTimers::FineTimers()
{
    ::timeBeginPeriod(1);
}

FineTimers::~FineTimers()
{
    ::timeEndPeriod(1);
}

} // namespace os
