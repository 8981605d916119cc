#include "data/filewrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace data {

namespace {

// Longest file name most file systems take, in bytes.
constexpr qsizetype NameLimit = 255;
// The temporary file beside the target is named "<name>.XXXXXX".
constexpr qsizetype TemporarySuffix = 7;

bool NoRoomForTemporaryName(const QString &path)
{
    return QFile::encodeName(QFileInfo(path).fileName()).size() + TemporarySuffix > NameLimit;
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

bool Fail(const QString &path, const QString &reason, QString *error)
{
    *error = QStringLiteral("Cannot create file \"%1\". %2")
                 .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), reason);
    return false;
}

#ifdef Q_OS_UNIX
QString Reason(int code)
{
    return qt_error_string(code);
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

// The old file is written over, but only once the new content's space is
// reserved, so a full disk refuses before one old byte changes. A file
// system that copies on write may still run out while overwriting; the
// message then says the file may be incomplete.
bool WriteInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    const bool existed = QFileInfo::exists(path);
    const int fd = OpenForWriting(name, existed);
    if (fd < 0)
        return Fail(path, Reason(errno), error);
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
        return Fail(path, QStringLiteral("%1. The old file is unchanged.").arg(Reason(failed)), error);
    }
    failed = WriteAt(fd, bytes);
    if (::close(fd) != 0 && !failed)
        failed = errno;
    if (failed)
        return Fail(path, QStringLiteral("%1. The file may be incomplete.").arg(Reason(failed)), error);
    return true;
}
#else
// Without a way to reserve the space first, the old file is not touched.
bool WriteInPlace(const QString &path, const QByteArray &, QString *error)
{
    return Fail(path, QStringLiteral("No file can be made beside it. The old file is unchanged."), error);
}
#endif

bool Replace(const QString &path, const QByteArray &bytes, QString *error, bool *noFileBeside)
{
    QSaveFile file(path);
    // Unbuffered, so every write failure is seen and the new file is then
    // never committed. Qt's own fallback of writing the target directly
    // stays off: a failure there would leave the old file half written.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *noFileBeside = true;
        return Fail(path, file.errorString(), error);
    }
    if (!WriteAll(file, bytes)) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return Fail(path, reason, error);
    }
    if (!file.commit())
        return Fail(path, file.errorString(), error);
    return true;
}

} // namespace

bool WriteFileReplacing(const QString &path, const QByteArray &bytes, QString *error, InPlace inPlace)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return Fail(path, QStringLiteral("It is not a regular file."), error);
    bool noFileBeside = NoRoomForTemporaryName(path);
    if (noFileBeside) {
        Fail(path, QStringLiteral("The name leaves no room for the temporary file written beside it."), error);
    } else if (Replace(path, bytes, error, &noFileBeside)) {
        return true;
    }
    if (noFileBeside && inPlace == InPlace::Reserved)
        return WriteInPlace(path, bytes, error);
    return false;
}

} // namespace data
