#pragma once
// Waiting on the main thread for what the worker or the link does, with the
// caller's events running meanwhile.

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

namespace bench {

// Runs the caller's events until `done` or `timeoutMs`; false on time-out.
inline bool WaitUntil(const std::function<bool()> &done, int timeoutMs, int pollMs = 1)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(pollMs);
    loop.exec();
    return done();
}

} // namespace bench
