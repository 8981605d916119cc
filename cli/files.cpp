#include "cli/files.h"

#include "cli/commands.h"
#include "data/filewrite.h"
#include "os/console.h"
#include "os/files.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

namespace cli {

namespace {

PathFacts::Type TypeOf(os::FileFacts::Type type)
{
    switch (type) {
    case os::FileFacts::Missing:
        return PathFacts::Missing;
    case os::FileFacts::Regular:
        return PathFacts::Regular;
    case os::FileFacts::Folder:
        return PathFacts::Folder;
    case os::FileFacts::Device:
        return PathFacts::Device;
    case os::FileFacts::Pipe:
        return PathFacts::Pipe;
    case os::FileFacts::Other:
        break;
    }
    return PathFacts::Other;
}

// Which file a path names however it is spelled: the system's identity
// where it exists, else its folder's real path and its name.
QString FileKey(const QString &path)
{
    if (const QString identity = os::FactsOfPath(path).identity; !identity.isEmpty())
        return identity;
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return (folder.isEmpty() ? info.absolutePath() : folder) + u'/' + info.fileName();
}

// Stdout's key where it is a file, else empty.
QString StdoutFileKey()
{
    const os::FileFacts out = os::FactsOfStdout();
    return out.type == os::FileFacts::Regular ? out.identity : QString();
}

QString Shown(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

bool InputIsNoFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    const os::FileFacts::Type type = os::FactsOfPath(path).type;
    if (type == os::FileFacts::Missing || type == os::FileFacts::Regular)
        return false;
    Say(QStringLiteral("\"%1\" is not a regular file; the tool reads only regular files.").arg(path));
    return true;
}

bool Failed(const QString &what, const QString &reason)
{
    Say(QStringLiteral("Cannot write to %1. %2").arg(what, reason));
    return false;
}

bool Stopped()
{
    Say(QStringLiteral("interrupted"));
    return false;
}

bool WriteStdout(const QByteArray &bytes)
{
    os::WriteBinary(stdout);
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    const int code = errno;
    std::clearerr(stdout);
    return Failed(QStringLiteral("stdout"), qt_error_string(code));
}

// A device or a pipe is written as it stands, never replaced; Ctrl+C ends
// a wait for its reader.
bool WriteStream(const QString &path, const QByteArray &bytes)
{
    QString reason;
    switch (os::WriteStream(path, bytes, Interrupted, &reason)) {
    case os::Streamed::Written:
        return true;
    case os::Streamed::Stopped:
        return Stopped();
    case os::Streamed::Failed:
        break;
    }
    return Failed(QStringLiteral("\"%1\"").arg(path), reason);
}

} // namespace

PathFacts FactsOf(const QString &path)
{
    PathFacts facts;
    if (path.isEmpty() || path == QLatin1String("-"))
        return facts;
    QString folder = QFileInfo(path).absolutePath();
    const os::FileFacts file = os::FactsOfPath(path);
    if (file.type != os::FileFacts::Missing) {
        facts.type = TypeOf(file.type);
        facts.sameAsStdout = !file.identity.isEmpty() && os::FactsOfStdout().identity == file.identity;
        // A link is replaced where it points, so the new file goes there.
        folder = QFileInfo(QFileInfo(path).canonicalFilePath()).absolutePath();
    }
    facts.folderExists = os::FactsOfPath(folder).type == os::FileFacts::Folder;
    facts.folderWritable = facts.folderExists && os::FolderTakesNewFiles(folder);
    return facts;
}

int CheckFiles(const Options &options)
{
    const bool readsFile = options.command == QLatin1String("write") || options.command == QLatin1String("upload");
    if (InputIsNoFile(options.config) || (readsFile && InputIsNoFile(options.arguments.value(0))))
        return ExitUsage;
    if (options.output.isEmpty())
        return ExitDone;
    const OutputTarget target = JudgeOutput(options.output, FactsOf(options.output));
    if (target.kind == OutputTarget::Refused) {
        Say(QStringLiteral("Cannot create file \"%1\". %2").arg(Shown(options.output), target.reason));
        return ExitOutputFailed;
    }
    const QString outputKey = target.kind == OutputTarget::File     ? FileKey(options.output)
                              : target.kind == OutputTarget::Stdout ? StdoutFileKey()
                                                                    : QString();
    if (!options.trace.isEmpty() && !outputKey.isEmpty() && outputKey == FileKey(options.trace)) {
        Say(QStringLiteral("-o and --trace name the same file \"%1\"; the result would replace the trace.")
                .arg(Shown(options.trace)));
        return ExitUsage;
    }
    return ExitDone;
}

bool WriteResult(const QString &path, const QByteArray &bytes)
{
    // Judged again: the file system may have changed during the session.
    const OutputTarget target = JudgeOutput(path, FactsOf(path));
    QString error;
    switch (target.kind) {
    case OutputTarget::Stdout:
        return WriteStdout(bytes);
    case OutputTarget::Stream:
        return WriteStream(path, bytes);
    case OutputTarget::File:
        if (data::WriteFileReplacing(path, bytes, &error))
            return true;
        break;
    case OutputTarget::Refused:
        error = QStringLiteral("Cannot create file \"%1\". %2").arg(Shown(path), target.reason);
        break;
    }
    Say(error);
    return false;
}

} // namespace cli
