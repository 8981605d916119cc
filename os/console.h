#pragma once
// The console the tool may run in.

#include <cstdio>

namespace os {

// A person's terminal (a console on Windows), not a file, a pipe or the
// null device.
bool IsTerminal(std::FILE *stream);
// Bytes written to `stream` reach it unchanged (Windows would turn each
// LF into CR LF).
void WriteBinary(std::FILE *stream);

// For its lifetime, UTF-8 written to the console shows as the characters it
// encodes; the console's own code page comes back at the end.
class Utf8Console {
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console &) = delete;
    Utf8Console &operator=(const Utf8Console &) = delete;

private:
    [[maybe_unused]] unsigned m_old = 0; // only Windows has a code page to restore
};

} // namespace os
