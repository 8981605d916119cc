// tarvolin-cli read [-o FILE]: the meter's parameter block as JSON.
#include "cli/blockjson.h"
#include "cli/commands.h"

namespace cli {

int RunRead(const Options &options)
{
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (const int code = session.Connect(false))
        return code;
    const QByteArray json = BlockToJson(session.View.BlocksRead.last());
    if (const int code = session.Disconnect())
        return code;
    return WriteResult(options.output, json) ? ExitDone : ExitOutputFailed;
}

} // namespace cli
