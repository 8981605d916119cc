#include "protocol/trace.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <memory>
#include <mutex>

namespace protocol {

std::atomic<bool> Trace::s_on{false};

namespace {

struct TraceFile {
    std::mutex lock;
    std::unique_ptr<QFile> file;
    QElapsedTimer clock;
};

TraceFile &traceFile()
{
    static TraceFile instance;
    return instance;
}

QString threadName()
{
    QThread *thread = QThread::currentThread();
    if (QCoreApplication *app = QCoreApplication::instance(); app && thread == app->thread())
        return QStringLiteral("main");
    const QString name = thread->objectName();
    return name.isEmpty() ? QStringLiteral("thread") : name;
}

} // namespace

bool Trace::Start(const QString &path, QString *error)
{
    Stop();
    auto file = std::make_unique<QFile>(path);
    // Unbuffered: a line is on disk as soon as it is written, so a trace
    // survives a program that is killed.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text
                    | QIODevice::Unbuffered)) {
        if (error)
            *error = file->errorString();
        return false;
    }
    TraceFile &t = traceFile();
    {
        std::lock_guard guard(t.lock);
        t.file = std::move(file);
        t.clock.start();
    }
    s_on.store(true, std::memory_order_relaxed);
    return true;
}

void Trace::Stop()
{
    s_on.store(false, std::memory_order_relaxed);
    TraceFile &t = traceFile();
    std::lock_guard guard(t.lock);
    t.file.reset();
}

void Trace::Write(const QString &event)
{
    TraceFile &t = traceFile();
    const QString who = threadName();
    std::lock_guard guard(t.lock);
    if (!t.file)
        return;
    const QString line = QStringLiteral("%1 %2 %3\n")
                             .arg(t.clock.elapsed(), 8)
                             .arg(who, -6)
                             .arg(event);
    t.file->write(line.toUtf8());
}

QString Trace::Hex(QByteArrayView bytes, int limit)
{
    const qsizetype shown = std::min<qsizetype>(bytes.size(), limit);
    QString text = QString::fromLatin1(QByteArray(bytes.data(), shown).toHex(' ').toUpper());
    if (shown < bytes.size())
        text += QStringLiteral(" … (%1 bytes)").arg(bytes.size());
    return text;
}

} // namespace protocol
