#include "os/files.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <string>

#include <io.h>
#include <windows.h>

namespace os {

namespace {

// The path as Windows takes it: UTF-16 with backslashes.
std::wstring Wide(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString LastError()
{
    return qt_error_string(int(::GetLastError()));
}

// A named pipe is never opened to be looked at: that would take one of
// its instances from the program that waits for a writer.
bool IsPipeName(const QString &path)
{
    return QDir::toNativeSeparators(path).startsWith(QLatin1String("\\\\.\\pipe\\"), Qt::CaseInsensitive);
}

FileFacts FactsOfHandle(HANDLE handle)
{
    FileFacts facts;
    switch (::GetFileType(handle)) {
    case FILE_TYPE_CHAR:
        facts.type = FileFacts::Device;
        return facts;
    case FILE_TYPE_PIPE:
        facts.type = FileFacts::Pipe;
        return facts;
    case FILE_TYPE_DISK:
        break;
    default:
        facts.type = FileFacts::Other;
        return facts;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        facts.type = FileFacts::Other;
        return facts;
    }
    facts.type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileFacts::Folder : FileFacts::Regular;
    const quint64 index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    facts.identity = QStringLiteral("%1:%2").arg(info.dwVolumeSerialNumber).arg(index);
    return facts;
}

// Writes all of `bytes` to `handle` in pieces, so that `stop` is heard
// between them; false with GetLastError() set.
bool WriteAllTo(HANDLE handle, const QByteArray &bytes, const std::function<bool()> &stop, bool *stopped)
{
    constexpr qsizetype Piece = 64 * 1024;
    for (qsizetype done = 0; done < bytes.size();) {
        if (stop && stop()) {
            *stopped = true;
            return false;
        }
        DWORD written = 0;
        const DWORD size = DWORD(std::min(Piece, bytes.size() - done));
        if (!::WriteFile(handle, bytes.constData() + done, size, &written, nullptr))
            return false;
        if (written == 0) {
            ::SetLastError(ERROR_DISK_FULL);
            return false;
        }
        done += written;
    }
    return true;
}

bool SeekTo(HANDLE handle, qint64 offset)
{
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    return ::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN);
}

bool SizeTo(HANDLE handle, qint64 size)
{
    return SeekTo(handle, size) && ::SetEndOfFile(handle);
}

// A new file "<name>.XXXXXX" beside `path`, made for writing; the handle or
// INVALID_HANDLE_VALUE.
HANDLE MakeBeside(const QString &path, QString *made)
{
    static const char16_t letters[] = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = path + u'.';
        for (int i = 0; i < 6; ++i)
            name += QChar(letters[QRandomGenerator::global()->bounded(62)]);
        const HANDLE handle = ::CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) {
            *made = name;
            return handle;
        }
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

FileFacts FactsOfPath(const QString &path)
{
    FileFacts facts;
    if (IsPipeName(path)) {
        facts.type = FileFacts::Pipe;
        return facts;
    }
    // No access asked: enough to learn what it is, whoever holds it open.
    // Backup semantics open folders too.
    const HANDLE handle = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME)
            facts.type = FileFacts::Other;
        return facts;
    }
    facts = FactsOfHandle(handle);
    ::CloseHandle(handle);
    return facts;
}

FileFacts FactsOfStdout()
{
    const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return {};
    return FactsOfHandle(handle);
}

// Windows' access rights are lists, not bits; the one sure test is to make
// a file there, which goes again on closing.
bool FolderTakesNewFiles(const QString &folder)
{
    if (FactsOfPath(folder).type != FileFacts::Folder)
        return false;
    const QString probe = QDir(folder).filePath(
        QStringLiteral(".tarvolin-%1-%2").arg(::GetCurrentProcessId()).arg(QRandomGenerator::global()->generate()));
    const HANDLE handle = ::CreateFileW(Wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(handle);
    return true;
}

qsizetype NameLength(const QString &fileName)
{
    return fileName.size();
}

QString NullDeviceName()
{
    return QStringLiteral("NUL");
}

std::FILE *OpenFile(const QString &path, const char *mode)
{
    return ::_wfopen(Wide(path).c_str(), QString::fromLatin1(mode).toStdWString().c_str());
}

bool SyncToDisk(int fd)
{
    return ::_commit(fd) == 0;
}

// The new file is flushed to the disk before it replaces the old one, and
// the replacement itself is written through, so that a power cut leaves one
// of the two whole.
bool ReplaceWhole(const QString &path, const QByteArray &bytes, QString *reason, bool *noFileBeside)
{
    QString temporary;
    const HANDLE handle = MakeBeside(path, &temporary);
    if (handle == INVALID_HANDLE_VALUE) {
        *noFileBeside = true;
        *reason = LastError();
        return false;
    }
    bool stopped = false;
    const bool written = WriteAllTo(handle, bytes, {}, &stopped) && ::FlushFileBuffers(handle);
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    if (written && ::MoveFileExW(Wide(temporary).c_str(), Wide(path).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *reason = written ? LastError() : qt_error_string(int(error));
    ::DeleteFileW(Wide(temporary).c_str());
    return false;
}

Overwrite WriteInPlace(const QString &path, const QByteArray &bytes, QString *reason)
{
    const bool existed = FactsOfPath(path).type != FileFacts::Missing;
    const HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        existed ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *reason = LastError();
        return Overwrite::Unchanged;
    }
    LARGE_INTEGER old{};
    bool ok = ::GetFileType(handle) == FILE_TYPE_DISK && ::GetFileSizeEx(handle, &old);
    if (!ok)
        ::SetLastError(ERROR_INVALID_FUNCTION);
    // Setting the end past the old one makes the file system allocate the
    // space; a file that shrinks is cut only once the new bytes are in.
    if (ok && bytes.size() > old.QuadPart && !SizeTo(handle, bytes.size())) {
        const DWORD error = ::GetLastError();
        SizeTo(handle, old.QuadPart);
        ::SetLastError(error);
        ok = false;
    }
    if (!ok) {
        *reason = LastError();
        ::CloseHandle(handle);
        if (!existed)
            ::DeleteFileW(Wide(path).c_str());
        return Overwrite::Unchanged;
    }
    bool stopped = false;
    ok = SeekTo(handle, 0) && WriteAllTo(handle, bytes, {}, &stopped) && SizeTo(handle, bytes.size())
         && ::FlushFileBuffers(handle);
    if (!ok)
        *reason = LastError();
    ::CloseHandle(handle);
    return ok ? Overwrite::Written : Overwrite::Incomplete;
}

// A pipe's writer waits for its reader here as a plain open would; each
// piece written is a point where `stop` is heard.
Streamed WriteStream(const QString &path, const QByteArray &bytes, const std::function<bool()> &stop,
                     QString *reason)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    while ((handle = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) == INVALID_HANDLE_VALUE
           && ::GetLastError() == ERROR_PIPE_BUSY) {
        if (stop())
            return Streamed::Stopped;
        ::WaitNamedPipeW(Wide(path).c_str(), 50);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        *reason = LastError();
        return Streamed::Failed;
    }
    bool stopped = false;
    const bool written = WriteAllTo(handle, bytes, stop, &stopped);
    if (!written && !stopped)
        *reason = LastError();
    ::CloseHandle(handle);
    return written ? Streamed::Written : stopped ? Streamed::Stopped : Streamed::Failed;
}

} // namespace os
