#include "cli/files.h"

#include "cli/commands.h"
#include "data/filewrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

QByteArray Native(const QString &path)
{
    return QFile::encodeName(path);
}

PathFacts::Type TypeOf(mode_t mode)
{
    if (S_ISREG(mode))
        return PathFacts::Regular;
    if (S_ISDIR(mode))
        return PathFacts::Folder;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return PathFacts::Device;
    if (S_ISFIFO(mode))
        return PathFacts::Pipe;
    return PathFacts::Other;
}

QString Key(const struct stat &st)
{
    return QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino);
}

// Which file a path names however it is spelled: device and inode where it
// exists, else its folder's real path and its name.
QString FileKey(const QString &path)
{
    struct stat st {};
    if (::stat(Native(path).constData(), &st) == 0)
        return Key(st);
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return (folder.isEmpty() ? info.absolutePath() : folder) + u'/' + info.fileName();
}

// Stdout's key where it is a file, else empty.
QString StdoutFileKey()
{
    struct stat st {};
    return ::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) ? Key(st) : QString();
}

QString Shown(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

bool InputIsNoFile(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(Native(path).constData(), &st) != 0 || S_ISREG(st.st_mode))
        return false;
    Say(QStringLiteral("\"%1\" is not a regular file; the tool reads only regular files.").arg(path));
    return true;
}

bool Failed(const QString &what, int code)
{
    Say(QStringLiteral("Cannot write to %1. %2").arg(what, qt_error_string(code)));
    return false;
}

bool Stopped()
{
    Say(QStringLiteral("interrupted"));
    return false;
}

bool WriteStdout(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    const int code = errno;
    std::clearerr(stdout);
    return Failed(QStringLiteral("stdout"), code);
}

// 0 once all is written, else errno (EINTR: interrupted).
int WriteAllTo(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (Interrupted())
                return EINTR;
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, 100);
        } else {
            return n < 0 ? errno : EIO;
        }
    }
    return 0;
}

// A device or a pipe is written as it stands, never replaced. A pipe that
// nobody reads yet is waited for, as a plain open would wait, and so is a
// full pipe, but Ctrl+C ends either wait.
bool WriteStream(const QString &path, const QByteArray &bytes)
{
    const QString what = QStringLiteral("\"%1\"").arg(path);
    int fd = -1;
    while ((fd = ::open(Native(path).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0 &&
           (errno == ENXIO || errno == EINTR)) {
        if (Interrupted())
            return Stopped();
        ::poll(nullptr, 0, 50);
    }
    if (fd < 0)
        return Failed(what, errno);
    int failed = WriteAllTo(fd, bytes);
    if (::close(fd) != 0 && !failed && errno != EINTR)
        failed = errno;
    if (failed == EINTR && Interrupted())
        return Stopped();
    return failed ? Failed(what, failed) : true;
}

// The folder a link that points at nothing would have its file made in, at
// the end of its chain of links.
QString DanglingTargetFolder(const QString &path)
{
    QFileInfo link(path);
    for (int hops = 0; hops < 40 && link.isSymLink(); ++hops)
        link = QFileInfo(link.symLinkTarget());
    return link.absolutePath();
}

} // namespace

PathFacts FactsOf(const QString &path)
{
    PathFacts facts;
    if (path.isEmpty() || path == QLatin1String("-"))
        return facts;
    struct stat st {};
    QString folder = QFileInfo(path).absolutePath();
    if (::stat(Native(path).constData(), &st) == 0) {
        facts.type = TypeOf(st.st_mode);
        struct stat out {};
        facts.sameAsStdout = ::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino;
        // A link is replaced where it points, so the new file goes there.
        folder = QFileInfo(QFileInfo(path).canonicalFilePath()).absolutePath();
        facts.fileWritable = QFileInfo(path).isWritable();
    } else if (QFileInfo(path).isSymLink()) {
        // A link to a file not yet made: the file would go where it points.
        folder = DanglingTargetFolder(path);
    }
    struct stat dir {};
    facts.folderExists = ::stat(Native(folder).constData(), &dir) == 0 && S_ISDIR(dir.st_mode);
    facts.folderWritable = facts.folderExists && ::access(Native(folder).constData(), W_OK | X_OK) == 0;
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
