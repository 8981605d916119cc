// tarvolin-cli read [-o FILE]: the meter's parameter block as JSON.
#include "data/blockjson.h"
#include "cli/commands.h"

namespace cli {

int RunRead(const Options &options)
{
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (const int code = session.Connect(false))
        return code;
    const QByteArray json = data::BlockToJson(session.View.BlocksRead.last(), session.Stamp());
    if (const int code = session.Disconnect())
        return code;
    return WriteResult(options.output, json) ? ExitDone : ExitUsage;
}

} // namespace cli
