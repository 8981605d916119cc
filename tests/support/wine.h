#pragma once
// Whether the test runs under Wine, for the few cases where Wine does less
// than Windows: Wine's ntdll exports wine_get_version, Windows' does not.

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace testsupport {

inline bool UnderWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

} // namespace testsupport
