#include "protocol/failure.h"

namespace protocol {

QLatin1StringView FailureName(Failure why)
{
    switch (why) {
    case Failure::None: return QLatin1StringView("none");
    case Failure::NoAdapter: return QLatin1StringView("no adapter");
    case Failure::MeterNotFound: return QLatin1StringView("meter not found");
    case Failure::ConnectFailure: return QLatin1StringView("connection failure");
    case Failure::NotSubscribed: return QLatin1StringView("not subscribed");
    case Failure::Timeout: return QLatin1StringView("time-out");
    case Failure::LinkError: return QLatin1StringView("link error");
    case Failure::RefusedReply: return QLatin1StringView("refused reply");
    case Failure::BadReply: return QLatin1StringView("bad reply");
    case Failure::Interrupted: return QLatin1StringView("interrupted");
    case Failure::OutOfMemory: return QLatin1StringView("out of memory");
    case Failure::BadRequest: return QLatin1StringView("bad request");
    case Failure::StepFailed: return QLatin1StringView("step failed");
    }
    return QLatin1StringView("unknown");
}

} // namespace protocol
