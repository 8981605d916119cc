#include "data/filewrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

bool WriteDirectly(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) ||
        !WriteAll(file, bytes))
        return Fail(path, file.errorString(), error);
    file.close();
    if (file.error() != QFileDevice::NoError)
        return Fail(path, file.errorString(), error);
    return true;
}

} // namespace

bool WriteFileReplacing(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    // Qt falls back to writing the target directly where the folder refuses
    // new files. A name without room for the temporary suffix is the same
    // case; it shows when the new file is opened or, where the system makes
    // it unnamed first, only when it is put in place.
    file.setDirectWriteFallback(true);
    // Unbuffered, so every write failure is seen and the new file is then
    // never committed.
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (!WriteAll(file, bytes)) {
            const QString reason = file.errorString();
            // Committing a cancelled file discards the new one; where the
            // target was opened directly it only closes it, where merely
            // destroying the object could remove the target.
            file.cancelWriting();
            file.commit();
            return Fail(path, reason, error);
        }
        if (file.commit())
            return true;
    }
    if (NoRoomForTemporaryName(path))
        return WriteDirectly(path, bytes, error);
    return Fail(path, file.errorString(), error);
}

} // namespace data
