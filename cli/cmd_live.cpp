// tarvolin-cli live [-o FILE]: the meter's current measurement, as the
// caption line and one record line of the CSV that download writes (or a
// workbook of them).
#include "cli/commands.h"

namespace cli {

int RunLive(const Options &options)
{
    if (!options.arguments.isEmpty()) {
        Say(QStringLiteral("live takes no arguments"));
        return ExitUsage;
    }
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (const int code = session.RequireShownFields())
        return code;
    if (const int code = session.Connect(true))
        return code;
    // The window stays silent when the meter sends no reading; a script
    // must not take that for a measurement.
    if (session.Table.IsEmpty()) {
        Say(QStringLiteral("the meter sent no measurement"));
        session.SayRecordMisfit();
        return ExitLost;
    }
    QByteArray result;
    if (!TableResult(session.Table, options, &result))
        return ExitOutputFailed;
    return WriteResult(options.output, result) ? ExitDone : ExitOutputFailed;
}

} // namespace cli
