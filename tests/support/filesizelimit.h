#pragma once
// While it lives, no file this process writes can grow past a few bytes: a
// write failure that happens whoever runs the test (folder permissions do
// not stop root).

#include <sys/resource.h>

#include <csignal>

namespace testsupport {

class FileSizeLimit {
public:
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

} // namespace testsupport
