#include "os/services.h"

#include <sys/resource.h>

namespace os {

QChar RegionalListSeparator()
{
    return {};
}

std::optional<QByteArray> ToSystemCodePage(const QString &)
{
    return std::nullopt;
}

std::optional<QString> FromSystemCodePage(const QByteArray &)
{
    return std::nullopt;
}

qint64 PeakMemoryBytes()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

bool MessageBeep(int)
{
    return false;
}

} // namespace os
