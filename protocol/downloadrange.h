#pragma once
// Which stored records a download may ask for: the rules the window's "Read"
// button and the command-line tool's download share.

#include <QString>

namespace protocol {

// Stored records are numbered 1..usage count, but the range travels in two
// 16-bit fields: the last record offered is min(usage count, 65535). 0 or
// less: there is nothing to download.
int LastOfferedRecord(qint32 usageCount);

struct DownloadRange {
    int from = 0;
    int to = 0;
};

// The range as picked, a To below From exchanged.
DownloadRange OrderedRange(int from, int to);

// Empty when the reply for records from..to of `recordSize` bytes may be
// downloaded (MeterChannel::DownloadReplyAcceptable); otherwise the message
// that refuses it.
QString DownloadRangeRefusal(const DownloadRange &range, qint64 recordSize);

} // namespace protocol
