#include "os/console.h"

#include <unistd.h>

namespace os {

bool IsTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

void WriteBinary(std::FILE *) {}

// A POSIX terminal takes UTF-8 as the locale says; nothing to change.
Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

} // namespace os
