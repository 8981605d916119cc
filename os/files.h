#pragma once
// Files as the operating system sees them: what a path is, which file it
// is however it is spelled, and the two ways of saving "whole or not at
// all". Paths are QStrings; on Windows they reach the system as UTF-16.

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <functional>

namespace os {

struct FileFacts {
    enum Type { Missing, Regular, Folder, Device, Pipe, Other };
    Type type = Missing;
    // Which file it is: device and inode, or volume and file index; empty
    // where the system names none (a device, a pipe, a missing path).
    QString identity;
};

// Follows links.
FileFacts FactsOfPath(const QString &path);
// What stdout was sent to.
FileFacts FactsOfStdout();
// The folder is present and takes new files.
bool FolderTakesNewFiles(const QString &folder);
// How long a file name is in the units the file system counts (bytes of
// the local encoding, or UTF-16 units on Windows).
qsizetype NameLength(const QString &fileName);
// The name that discards what is written to it.
QString NullDeviceName();
// std::fopen with a path of any characters.
std::FILE *OpenFile(const QString &path, const char *mode);
// What was written to the open file `fd` is on the disk.
bool SyncToDisk(int fd);

// Writes `bytes` to a new file beside `path`, flushed to the disk, and puts
// it in place of the old one in one step; on failure the old file is as it
// was and `*reason` says why. `*noFileBeside` is set where no file could
// be made beside the old one.
bool ReplaceWhole(const QString &path, const QByteArray &bytes, QString *reason, bool *noFileBeside);

// Writes over the file at `path` (or makes it), but only once the space for
// `bytes` is reserved, so a full disk refuses before one old byte changes.
enum class Overwrite { Written, Unchanged, Incomplete };
Overwrite WriteInPlace(const QString &path, const QByteArray &bytes, QString *reason);

// Writes `bytes` to a device or a pipe as it stands. A pipe nobody reads
// yet and a full pipe are waited for while `stop` says false.
enum class Streamed { Written, Stopped, Failed };
Streamed WriteStream(const QString &path, const QByteArray &bytes, const std::function<bool()> &stop,
                     QString *reason);

} // namespace os
