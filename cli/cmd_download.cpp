// tarvolin-cli download [--from A] [--to B] [-o FILE] [--utf8]: stored
// measurements as the CSV file or the workbook that "Save" writes.
#include "cli/blockjson.h"
#include "cli/commands.h"

#include "data/platform.h"
#include "protocol/meterchannel.h"
#include "data/csv.h"
#include "data/workbook.h"

#include <utility>

namespace cli {

namespace {

struct Range {
    int from = 0;
    int to = 0;
};

// As "Select range" does: the lists run 1..min(usage, 65535) and a To
// below From is exchanged.
Range RangeOf(const Options &options, int usage)
{
    Range r{options.from ? options.from : 1, options.to ? options.to : std::min(usage, 65535)};
    if (r.to < r.from)
        std::swap(r.from, r.to);
    return r;
}

// The whole reply is held in memory: a range beyond the limit is refused
// before anything is sent.
bool Acceptable(const Range &r, qint64 recordSize)
{
    const qint64 reply = protocol::MeterChannel::DownloadReplySize(quint16(r.from), quint16(r.to), recordSize);
    if (protocol::MeterChannel::DownloadReplyAcceptable(reply))
        return true;
    Say(QStringLiteral("The range %1..%2 would be %3 bytes; choose at most %4 bytes of records.")
            .arg(r.from).arg(r.to).arg(reply).arg(protocol::MeterChannel::MaxDownloadBytes));
    return false;
}

} // namespace

bool TableResult(const data::MeasTable &table, const Options &options, QByteArray *bytes)
{
    if (!data::IsWorkbookName(options.output)) {
        *bytes = data::CsvBytes(table, data::ListSeparator(),
                                options.utf8 ? data::CsvEncoding::Utf8WithMark : data::CsvEncoding::Utf16LE);
        return true;
    }
    QString error;
    if (data::WorkbookBytes(table, bytes, &error))
        return true;
    Say(error);
    return false;
}

int RunDownload(const Options &options)
{
    if (!options.arguments.isEmpty()) {
        Say(QStringLiteral("download takes no arguments; the range is --from A --to B"));
        return ExitUsage;
    }
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (options.from && options.to && !Acceptable(RangeOf(options, 0), session.Fields.recordSize))
        return ExitUsage;
    if (const int code = session.Connect(false))
        return code;
    const protocol::ParameterBlock block = session.View.BlocksRead.last();
    // The window offers only the records the meter says it holds.
    const int last = std::min(BlockUsageCount(block), 65535);
    if (last <= 0 || options.from > last || options.to > last) {
        Say(last <= 0 ? QStringLiteral("the meter reports no stored measurements (usage count %1)")
                            .arg(BlockUsageCount(block))
                      : QStringLiteral("the meter holds the records 1..%1").arg(last));
        const int code = session.Disconnect();
        return code ? code : ExitUsage;
    }
    const Range range = RangeOf(options, last);
    if (!Acceptable(range, session.Fields.recordSize)) {
        const int code = session.Disconnect();
        return code ? code : ExitUsage;
    }
    // The request frame carries the page: the block as read, range aside.
    session.View.Page = block;
    if (const int code = session.Download(quint16(range.from), quint16(range.to)))
        return code;
    QByteArray result;
    if (!TableResult(session.Table, options, &result))
        return ExitUsage;
    return WriteResult(options.output, result) ? ExitDone : ExitUsage;
}

} // namespace cli
