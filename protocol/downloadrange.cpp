#include "protocol/downloadrange.h"

#include "protocol/meterchannel.h"

#include <algorithm>
#include <utility>

namespace protocol {

int LastOfferedRecord(qint32 usageCount)
{
    return std::min(usageCount, 65535);
}

DownloadRange OrderedRange(int from, int to)
{
    if (to < from)
        std::swap(from, to);
    return {from, to};
}

QString DownloadRangeRefusal(const DownloadRange &range, qint64 recordSize)
{
    // The whole reply is held in memory, so its size is judged before
    // anything is sent.
    const qint64 reply =
        MeterChannel::DownloadReplySize(quint16(range.from), quint16(range.to), recordSize);
    if (MeterChannel::DownloadReplyAcceptable(reply))
        return {};
    return QStringLiteral("The range %1..%2 would be %3 bytes; choose at most %4 bytes of records.")
        .arg(range.from)
        .arg(range.to)
        .arg(reply)
        .arg(MeterChannel::MaxDownloadBytes);
}

} // namespace protocol
