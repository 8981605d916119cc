#include "os/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace os {

// _isatty says yes to every character device, the null device too; only a
// console has a console mode.
bool IsTerminal(std::FILE *stream)
{
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

void WriteBinary(std::FILE *stream)
{
    std::fflush(stream);
    ::_setmode(::_fileno(stream), _O_BINARY);
}

Utf8Console::Utf8Console() : m_old(::GetConsoleOutputCP())
{
    if (m_old != 0)
        ::SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console()
{
    if (m_old != 0)
        ::SetConsoleOutputCP(m_old);
}

} // namespace os
