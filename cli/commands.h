#pragma once
// The tool's commands: one small file each.

#include "cli/session.h"

namespace cli {

int RunScan(const Options &options);
int RunRead(const Options &options);
int RunWrite(const Options &options);
int RunLive(const Options &options);
int RunDownload(const Options &options);
int RunUpload(const Options &options);

// The records of `table` as "Save" writes them: a workbook when -o names a
// .xlsx file, else the CSV file (UTF-16 LE, the regional list separator),
// or UTF-8 behind its mark with --utf8; plain UTF-8 when it goes to stdout
// and that is a terminal. False with a message said when the
// table does not fit in a workbook.
bool TableResult(const data::MeasTable &table, const Options &options, QByteArray *bytes);

// Writes `bytes` where -o says (cli/files.h): a file completely or not at
// all, a device or a pipe as a stream, stdout for no path or "-". False
// with a message said.
bool WriteResult(const QString &path, const QByteArray &bytes);

} // namespace cli
