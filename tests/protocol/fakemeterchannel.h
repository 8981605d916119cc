#pragma once
// A MeterChannel on a virtual clock: Sleep and WaitIoEvent move the clock and
// run whatever the scripted meter scheduled until then, so time limits are
// measured exactly and nothing really sleeps. Single-threaded: the scheduled
// actions play the main thread's link handlers.

#include "protocol/meterchannel.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <vector>

class FakeMeterChannel : public protocol::MeterChannel {
public:
    using MeterChannel::MeterChannel;

    struct Write {
        qint64 time;
        QByteArray bytes;
    };
    struct Call {
        QString name;
        qint64 time;
    };

    // ---- what the meter does ----------------------------------------------
    // Called for every write; when unset, each write completes after
    // completionDelay with writeStatus and every whole frame goes to onFrame.
    std::function<void(int index, const QByteArray &chunk)> onWrite;
    // Called once a frame is whole (a single code byte, or 17/18 up to LF),
    // at the time of its last write.
    std::function<void(const QByteArray &frame)> onFrame;
    qint64 completionDelay = 5;
    int writeStatus = 0;

    void at(qint64 delay, std::function<void()> action)
    {
        m_queue.emplace(now + delay, std::move(action));
    }
    void complete(qint64 delay, int status = 0)
    {
        at(delay, [this, status] { OnWriteCompleted(status); });
    }
    // Delivers bytes as notifications of at most pieceSize bytes, all at once.
    void notify(qint64 delay, const QByteArray &bytes, int pieceSize = 20)
    {
        for (qsizetype pos = 0; pos < bytes.size(); pos += pieceSize) {
            const QByteArray piece = bytes.mid(pos, pieceSize);
            at(delay, [this, piece] { OnNotification(piece, 0); });
        }
    }
    void notifyError(qint64 delay, int status)
    {
        at(delay, [this, status] { OnNotification(QByteArray(), status); });
    }

    // ---- what the channel did ---------------------------------------------
    qint64 now = 0;
    std::vector<Write> writes;
    std::vector<Call> calls;
    std::vector<QByteArray> frames; // whole frames, rebuilt from the writes
    std::function<void()> onCollect;
    // What the progress dialog was given as its maximum when shown.
    qint64 progressMaximum = -1;

    QStringList callNames() const
    {
        QStringList names;
        for (const Call &c : calls)
            names << c.name;
        return names;
    }
    int count(const QString &name) const { return int(callNames().count(name)); }
    QStringList lampCalls() const { return callNames().filter(QStringLiteral("SetLamps")); }
    qint64 timeOfLast(const QString &name) const
    {
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            if (it->name == name)
                return it->time;
        return -1;
    }

protected:
    void WriteChunk(const std::uint8_t *data, int count) override
    {
        const QByteArray chunk(reinterpret_cast<const char *>(data), count);
        writes.push_back({now, chunk});
        const int index = int(writes.size()) - 1;
        if (onWrite) {
            onWrite(index, chunk);
            return;
        }
        complete(completionDelay, writeStatus);
        m_pending += chunk;
        const char code = m_pending.at(0);
        const bool textFrame = code == protocol::CmdWriteParameters || code == protocol::CmdFirmwareLine;
        if (!textFrame || m_pending.endsWith('\n')) {
            frames.push_back(m_pending);
            m_pending.clear();
            if (onFrame)
                onFrame(frames.back());
        }
    }
    void Sleep(int ms) override
    {
        record(QStringLiteral("Sleep%1").arg(ms));
        runUntil(now + ms);
    }
    bool WaitIoEvent(int ms) override
    {
        record(QStringLiteral("Wait%1").arg(ms));
        const qint64 deadline = now + ms;
        while (!m_signalled && !m_queue.empty() && m_queue.begin()->first <= deadline)
            runNext();
        if (!m_signalled) {
            now = deadline;
            return false;
        }
        m_signalled = false;
        return true;
    }
    void SignalIoEvent() override { m_signalled = true; }
    void ClearIoEvent() override { m_signalled = false; }
    void SetLampsGreen() override { record(QStringLiteral("SetLampsGreen")); }
    void SetLampsBlue() override { record(QStringLiteral("SetLampsBlue")); }
    void UpdateReceiveProgress() override { record(QStringLiteral("UpdateReceiveProgress")); }
    void CollectParameterBlock() override
    {
        record(QStringLiteral("CollectParameterBlock"));
        if (onCollect)
            onCollect();
    }
    void ShowParameterBlock() override { record(QStringLiteral("ShowParameterBlock")); }
    void ShowReceiveProgress() override
    {
        record(QStringLiteral("ShowReceiveProgress"));
        progressMaximum = DownloadReplySize();
    }
    void HideReceiveProgress() override { record(QStringLiteral("HideReceiveProgress")); }
    void ShowUploadProgress() override
    {
        record(QStringLiteral("ShowUploadProgress"));
        progressMaximum = HexLines ? HexLines->size() : -1;
    }
    void StepUploadProgress() override { record(QStringLiteral("StepUploadProgress")); }
    void HideUploadProgress() override { record(QStringLiteral("HideUploadProgress")); }

private:
    void record(const QString &name) { calls.push_back({name, now}); }
    void runNext()
    {
        auto first = m_queue.begin();
        now = first->first;
        auto action = std::move(first->second);
        m_queue.erase(first);
        action();
    }
    void runUntil(qint64 time)
    {
        while (!m_queue.empty() && m_queue.begin()->first <= time)
            runNext();
        now = time;
    }

    // Equal times keep their order of scheduling.
    std::multimap<qint64, std::function<void()>> m_queue;
    bool m_signalled = false; // the auto-reset IoEvent
    QByteArray m_pending;
};
