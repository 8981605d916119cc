#pragma once
// The tool's commands: one small file each.

#include "cli/session.h"

namespace cli {

int RunScan(const Options &options);
int RunRead(const Options &options);
int RunWrite(const Options &options);

// Writes `bytes` to `path` completely or not at all; false with a message
// said. An empty path writes to stdout.
bool WriteResult(const QString &path, const QByteArray &bytes);

} // namespace cli
