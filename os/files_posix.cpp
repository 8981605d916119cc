#include "os/files.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {

namespace {

QByteArray Native(const QString &path)
{
    return QFile::encodeName(path);
}

FileFacts FactsOf(int statResult, const struct stat &st)
{
    FileFacts facts;
    if (statResult != 0)
        return facts;
    const mode_t mode = st.st_mode;
    facts.type = S_ISREG(mode)                      ? FileFacts::Regular
                 : S_ISDIR(mode)                    ? FileFacts::Folder
                 : S_ISCHR(mode) || S_ISBLK(mode)   ? FileFacts::Device
                 : S_ISFIFO(mode)                   ? FileFacts::Pipe
                                                    : FileFacts::Other;
    facts.identity = QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino);
    return facts;
}

// Reserves the blocks for `size` bytes from the start; 0 or the reason's
// errno. A reservation that failed half way is taken back to the old size,
// so the old bytes are all there is.
int Reserve(int fd, off_t oldSize, off_t size)
{
    if (size == 0)
        return 0;
    int failed = 0;
    do
        failed = ::posix_fallocate(fd, 0, size);
    while (failed == EINTR);
    struct stat now {};
    if (failed != 0 && ::fstat(fd, &now) == 0 && now.st_size > oldSize) {
        // Should even this fail, the reason to give is still the first.
        [[maybe_unused]] const int cut = ::ftruncate(fd, oldSize);
    }
    return failed;
}

// 0 or errno.
int WriteAt(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::pwrite(fd, bytes.constData() + done, size_t(bytes.size() - done), off_t(done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : ENOSPC;
        done += written;
    }
    if (::ftruncate(fd, off_t(bytes.size())) != 0 || ::fdatasync(fd) != 0)
        return errno;
    return 0;
}

int OpenForWriting(const QByteArray &name, bool existed)
{
    const int create = existed ? 0 : O_CREAT | O_EXCL;
    // Read access lets the C library stand in for a file system without
    // reservations (it probes the blocks); a write-only file goes without.
    int fd = ::open(name.constData(), O_RDWR | O_CLOEXEC | create, 0666);
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | create, 0666);
    return fd;
}

// A short write says nothing about why; the next attempt reports the reason.
bool WriteAll(QFileDevice &file, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

// 0 once all is written, else errno (EINTR: stopped).
int WriteAllTo(int fd, const QByteArray &bytes, const std::function<bool()> &stop)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (stop())
                return EINTR;
            pollfd ready{fd, POLLOUT, 0};
            ::poll(&ready, 1, 100);
        } else {
            return n < 0 ? errno : EIO;
        }
    }
    return 0;
}

} // namespace

FileFacts FactsOfPath(const QString &path)
{
    struct stat st {};
    return FactsOf(::stat(Native(path).constData(), &st), st);
}

FileFacts FactsOfStdout()
{
    struct stat st {};
    return FactsOf(::fstat(STDOUT_FILENO, &st), st);
}

bool FolderTakesNewFiles(const QString &folder)
{
    struct stat dir {};
    const QByteArray name = Native(folder);
    return ::stat(name.constData(), &dir) == 0 && S_ISDIR(dir.st_mode) && ::access(name.constData(), W_OK | X_OK) == 0;
}

qsizetype NameLength(const QString &fileName)
{
    return Native(fileName).size();
}

QString NullDeviceName()
{
    return QStringLiteral("/dev/null");
}

std::FILE *OpenFile(const QString &path, const char *mode)
{
    return std::fopen(Native(path).constData(), mode);
}

bool SyncToDisk(int fd)
{
    return ::fsync(fd) == 0;
}

bool ReplaceWhole(const QString &path, const QByteArray &bytes, QString *reason, bool *noFileBeside)
{
    QSaveFile file(path);
    // Unbuffered, so every write failure is seen and the new file is then
    // never committed. Qt's own fallback of writing the target directly
    // stays off: a failure there would leave the old file half written.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *noFileBeside = true;
        *reason = file.errorString();
        return false;
    }
    if (!WriteAll(file, bytes)) {
        *reason = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *reason = file.errorString();
        return false;
    }
    return true;
}

// A file system that copies on write may still run out while overwriting;
// that is Incomplete.
Overwrite WriteInPlace(const QString &path, const QByteArray &bytes, QString *reason)
{
    const QByteArray name = Native(path);
    struct stat before {};
    const bool existed = ::stat(name.constData(), &before) == 0;
    const int fd = OpenForWriting(name, existed);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return Overwrite::Unchanged;
    }
    struct stat old {};
    int failed = ::fstat(fd, &old) != 0 ? errno : 0;
    if (!failed && !S_ISREG(old.st_mode))
        failed = EINVAL;
    if (!failed)
        failed = Reserve(fd, old.st_size, off_t(bytes.size()));
    if (failed) {
        ::close(fd);
        if (!existed)
            ::unlink(name.constData());
        *reason = qt_error_string(failed);
        return Overwrite::Unchanged;
    }
    failed = WriteAt(fd, bytes);
    if (::close(fd) != 0 && !failed)
        failed = errno;
    if (failed) {
        *reason = qt_error_string(failed);
        return Overwrite::Incomplete;
    }
    return Overwrite::Written;
}

// A pipe that nobody reads yet is waited for, as a plain open would wait,
// and so is a full pipe, but `stop` ends either wait.
Streamed WriteStream(const QString &path, const QByteArray &bytes, const std::function<bool()> &stop,
                     QString *reason)
{
    int fd = -1;
    while ((fd = ::open(Native(path).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0 &&
           (errno == ENXIO || errno == EINTR)) {
        if (stop())
            return Streamed::Stopped;
        ::poll(nullptr, 0, 50);
    }
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return Streamed::Failed;
    }
    int failed = WriteAllTo(fd, bytes, stop);
    if (::close(fd) != 0 && !failed && errno != EINTR)
        failed = errno;
    if (failed == EINTR && stop())
        return Streamed::Stopped;
    if (failed)
        *reason = qt_error_string(failed);
    return failed ? Streamed::Failed : Streamed::Written;
}

} // namespace os
