#include "os/services.h"

#include <windows.h>
#include <psapi.h>

namespace os {

namespace {

// The 8-bit code page, or 0 where the system is set to UTF-8.
UINT EightBitCodePage()
{
    const UINT page = ::GetACP();
    return page == CP_UTF8 ? 0 : page;
}

} // namespace

QChar RegionalListSeparator()
{
    wchar_t buffer[8] = {};
    if (::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SLIST, buffer, 8) > 1)
        return QChar(static_cast<char16_t>(buffer[0]));
    return {};
}

std::optional<QByteArray> ToSystemCodePage(const QString &text)
{
    const UINT page = EightBitCodePage();
    if (page == 0)
        return std::nullopt;
    if (text.isEmpty())
        return QByteArray();
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    // No best fit: a character the page lacks becomes '?', not a look-alike.
    const int size = ::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), nullptr, 0, "?", nullptr);
    QByteArray out(size, Qt::Uninitialized);
    ::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), out.data(), size, "?", nullptr);
    return out;
}

std::optional<QString> FromSystemCodePage(const QByteArray &bytes)
{
    const UINT page = EightBitCodePage();
    if (page == 0)
        return std::nullopt;
    if (bytes.isEmpty())
        return QString();
    const int size = ::MultiByteToWideChar(page, 0, bytes.constData(), int(bytes.size()), nullptr, 0);
    QString out(size, Qt::Uninitialized);
    ::MultiByteToWideChar(page, 0, bytes.constData(), int(bytes.size()), reinterpret_cast<wchar_t *>(out.data()), size);
    return out;
}

qint64 PeakMemoryBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)
        ? qint64(counters.PeakWorkingSetSize) : 0;
}

bool MessageBeep(int type)
{
    return ::MessageBeep(UINT(type)) != 0;
}

} // namespace os
