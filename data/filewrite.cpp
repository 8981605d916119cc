#include "data/filewrite.h"

#include "os/files.h"

#include <QDir>
#include <QFileInfo>

namespace data {

namespace {

// Longest file name most file systems take, in bytes.
constexpr qsizetype NameLimit = 255;
// The temporary file beside the target is named "<name>.XXXXXX".
constexpr qsizetype TemporarySuffix = 7;

bool NoRoomForTemporaryName(const QString &path)
{
    return os::NameLength(QFileInfo(path).fileName()) + TemporarySuffix > NameLimit;
}

bool Fail(const QString &path, const QString &reason, QString *error)
{
    *error = QStringLiteral("Cannot create file \"%1\". %2")
                 .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), reason);
    return false;
}

// The old file is written over, but only once the new content's space is
// reserved, so a full disk refuses before one old byte changes.
bool WriteInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    QString reason;
    switch (os::WriteInPlace(path, bytes, &reason)) {
    case os::Overwrite::Written:
        return true;
    case os::Overwrite::Unchanged:
        return Fail(path, QStringLiteral("%1. The old file is unchanged.").arg(reason), error);
    case os::Overwrite::Incomplete:
        break;
    }
    return Fail(path, QStringLiteral("%1. The file may be incomplete.").arg(reason), error);
}

bool Replace(const QString &path, const QByteArray &bytes, QString *error, bool *noFileBeside)
{
    QString reason;
    return os::ReplaceWhole(path, bytes, &reason, noFileBeside) || Fail(path, reason, error);
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
