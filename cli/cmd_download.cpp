// tarvolin-cli download [--from A] [--to B] [-o FILE] [--utf8]: stored
// measurements as the CSV file or the workbook that "Save" writes.
#include "cli/commands.h"
#include "cli/files.h"

#include "data/csv.h"
#include "data/platform.h"
#include "protocol/blockfields.h"
#include "protocol/downloadrange.h"
#include "data/workbook.h"
#include "os/console.h"

namespace cli {

namespace {

// As "Select range" does: the lists run 1..the last record offered, and a
// To below From is exchanged.
protocol::DownloadRange RangeOf(const Options &options, int last)
{
    return protocol::OrderedRange(options.from ? options.from : 1, options.to ? options.to : last);
}

// A range beyond the limit is refused before anything is sent.
bool Acceptable(const protocol::DownloadRange &r, qint64 recordSize)
{
    const QString refusal = protocol::DownloadRangeRefusal(r, recordSize);
    if (refusal.isEmpty())
        return true;
    Say(refusal);
    return false;
}

} // namespace

bool TableResult(const data::MeasTable &table, const Options &options, QByteArray *bytes)
{
    if (!data::IsWorkbookName(options.output)) {
        // UTF-16 is the file format; on a terminal it would show as text
        // strewn with NUL bytes, so a person reading the result gets UTF-8.
        const bool terminal = os::IsTerminal(stdout)
            && JudgeOutput(options.output, FactsOf(options.output)).kind == OutputTarget::Stdout;
        const data::CsvEncoding encoding = options.utf8 ? data::CsvEncoding::Utf8WithMark
            : terminal                                  ? data::CsvEncoding::Utf8
                                                        : data::CsvEncoding::Utf16LE;
        *bytes = data::CsvBytes(table, data::ListSeparator(), encoding);
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
    if (const int code = session.RequireShownFields())
        return code;
    if (options.from && options.to && !Acceptable(RangeOf(options, 0), session.Fields.recordSize))
        return ExitUsage;
    if (const int code = session.Connect(false))
        return code;
    const protocol::ParameterBlock block = session.View.BlocksRead.last();
    // The window offers only the records the meter says it holds.
    const int last = protocol::LastOfferedRecord(protocol::UsageCountValue(block));
    if (last <= 0 || options.from > last || options.to > last) {
        Say(last <= 0 ? QStringLiteral("the meter reports no stored measurements (usage count %1)")
                            .arg(protocol::UsageCountValue(block))
                      : QStringLiteral("the meter holds the records 1..%1").arg(last));
        const int code = session.Disconnect();
        return code ? code : ExitUsage;
    }
    const protocol::DownloadRange range = RangeOf(options, last);
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
        return ExitOutputFailed;
    return WriteResult(options.output, result) ? ExitDone : ExitOutputFailed;
}

} // namespace cli
