#pragma once
// While it lives, no file this process writes can grow past a few bytes: a
// write failure that happens whoever runs the test (folder permissions do
// not stop root).

#include <QtGlobal>

#ifndef Q_OS_WIN
#include <sys/resource.h>

#include <csignal>
#endif

namespace testsupport {

#ifdef Q_OS_WIN
// Windows limits no file's size per process; the tests that need it skip.
class FileSizeLimit {
public:
    static constexpr bool Supported = false;
    explicit FileSizeLimit(qint64) {}
    bool active() const { return false; }
};
#else
class FileSizeLimit {
public:
    static constexpr bool Supported = true;
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        // Past the limit a write fails with EFBIG instead of ending the process.
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool active() const { return m_active; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_active = false;
};
#endif

} // namespace testsupport
