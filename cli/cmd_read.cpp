// tarvolin-cli read [-o FILE]: the meter's parameter block as JSON.
#include "data/blockjson.h"
#include "cli/commands.h"

namespace cli {

int RunRead(const Options &options)
{
    // "read backup.json" would print the block and create nothing: a file
    // is named with -o.
    if (!options.arguments.isEmpty()) {
        Say(QStringLiteral("read takes no arguments; -o FILE writes the block to FILE"));
        return ExitUsage;
    }
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (const int code = session.Connect(false))
        return code;
    const QByteArray json = data::BlockToJson(session.View.BlocksRead.last(), session.Stamp());
    if (const int code = session.Disconnect())
        return code;
    return WriteResult(options.output, json) ? ExitDone : ExitOutputFailed;
}

} // namespace cli
