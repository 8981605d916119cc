#pragma once
// Runs a function on the main thread when poked from any thread.
//
// The poke carries no data: whatever the function needs travels under the
// poking side's own lock. That keeps every hand-over between our threads
// visible to thread checkers, which cannot see inside Qt's event queue.

#include <QObject>

#include <functional>

namespace devlink {

class MainThreadPoke final : public QObject {
    Q_OBJECT
public:
    // Created on the thread that is to run `onPoke`.
    explicit MainThreadPoke(std::function<void()> onPoke) : m_onPoke(std::move(onPoke)) {}
    // Any thread; `onPoke` runs once per poke, from that thread's event loop.
    void Poke();

private slots:
    void Run() { m_onPoke(); }

private:
    std::function<void()> m_onPoke;
};

} // namespace devlink
