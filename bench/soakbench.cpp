// Soak: whether memory, descriptors or threads grow over a long session and
// over hundreds of link-ups, against meters in processes of their own (so
// only the program's side is counted), through the real worker, link and
// virtual link.
//
//   bench_soak PHASE --link vlink:H:P
//
// One phase a process, so that each has its own figures (scripts/bench.sh
// soak runs the five side by side, each against a meter of its own):
//   keepalive  one session held connected, the tool's view
//   tool       link-ups and disconnects, the tool's session code
//   live       live readings, the tool's session code
//   window     link-ups and disconnects, the window's session code
//   refused    the window against a meter that answers SUBSCRIBE with an
//              error, so it repeats its link-up rounds until Cancel
// Every phase samples the resident set, the open
// descriptors (/proc/self/fd) and the threads (/proc/self/task) every so
// many iterations; growth is measured from the sample after the warm-up
// (the first tenth) to the last one. The window's flight recorder keeps the
// session's events up to its limit by design: what it holds is given beside
// the growth and taken out of it.
//
// The keep-alive phase runs in scaled time: the keep-alive interval is cut
// KeepAliveScale times (every other pause is the program's own), so two
// hours of pings (3,600) run in minutes; its rows give the real seconds too.
// The link-up phases run on the short pauses of the end-to-end tests
// (Timings::ShortPauses); only the count of link-ups matters there.

#include "app/dialogs.h"
#include "app/mainform.h"
#include "app/program.h"
#include "bench/benchclock.h"
#include "bench/benchwait.h"
#include "bench/benchview.h"
#include "cli/session.h"
#include "data/config.h"
#include "link/bt.h"
#include "link/meterlink.h"
#include "link/vlinkbluetoothle.h"
#include "protocol/meterchannel.h"
#include "protocol/timings.h"
#include "protocol/trace.h"
#include "views/widgets.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <functional>
#include <vector>

namespace bench {
namespace {

using protocol::Timings;

constexpr int KeepAliveScale = 100;
constexpr int KeepAlivePings = 3600;  // 2 h at one every 2 s
constexpr int PingsPerSample = 30;    // a sample per (scaled) minute
constexpr int LinkUps = 500;
constexpr int LiveReadings = 1000;
constexpr int RefusedRounds = 1000;
constexpr qint64 FlatKb = 1024;

QString configPath()
{
    return QStringLiteral(TARVOLIN_SOURCE_DIR "/resources/ZEVQ-BLE.INI");
}

// ---- what the process holds ------------------------------------------------

struct Sample {
    qint64 rssKb = 0;
    int descriptors = 0;
    int threads = 0;
    qint64 recorderKb = 0; // the window's flight recorder, full at 8 MiB of text
};

int entries(const char *folder)
{
    return static_cast<int>(QDir(QString::fromLatin1(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

Sample sampleNow()
{
    Sample s;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                s.rssKb = line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    // The listing itself holds one descriptor open while it reads.
    s.descriptors = entries("/proc/self/fd") - 1;
    s.threads = entries("/proc/self/task");
    s.recorderKb = protocol::Trace::RecorderState().heldBytes / 1024;
    return s;
}

QString sign(qint64 change)
{
    return change >= 0 ? QStringLiteral("+") : QString();
}

// The samples of one phase, every `every` iterations.
class Series {
public:
    Series(QString what, int every) : m_what(std::move(what)), m_every(every) {}

    void Take(int iteration)
    {
        if (iteration % m_every == 0)
            m_samples.push_back(sampleNow());
    }

    // One row: growth from the end of the warm-up to the last sample.
    void Report(const QString &reference) const
    {
        if (m_samples.size() < 2)
            qFatal("%s: too few samples", qPrintable(m_what));
        const Sample &warm = m_samples[m_samples.size() / 10];
        const Sample &last = m_samples.back();
        qint64 peak = 0;
        for (const Sample &s : m_samples)
            peak = std::max(peak, s.rssKb);
        const qint64 recorder = last.recorderKb - warm.recorderKb;
        const qint64 grown = last.rssKb - warm.rssKb - recorder;
        const int fds = last.descriptors - warm.descriptors;
        const int threads = last.threads - warm.threads;
        Row(m_what,
            QStringLiteral("RSS %1 -> %2 kB (%3%4 kB besides the recorder's +%5 kB, peak %6), fd %7%8, threads %9%10")
                .arg(warm.rssKb).arg(last.rssKb).arg(sign(grown)).arg(grown).arg(recorder).arg(peak)
                .arg(sign(fds)).arg(fds).arg(sign(threads)).arg(threads),
            QStringLiteral("%1 samples; %2").arg(m_samples.size()).arg(reference),
            QStringLiteral("< +1 MB, fd +0, threads +0"), grown < FlatKb && fds <= 0 && threads <= 0);
    }

private:
    QString m_what;
    int m_every;
    std::vector<Sample> m_samples;
};

// Runs the caller's events until `done`; fails the bench after `timeoutMs`.
void waitUntil(const std::function<bool()> &done, int timeoutMs, const char *what)
{
    if (!bench::WaitUntil(done, timeoutMs, 5))
        qFatal("%s: not within %d ms", what, timeoutMs);
}

double realSeconds(qint64 sinceNs)
{
    return double(NowNs() - sinceNs) / 1e9;
}

// ---- the tool's session ------------------------------------------------------

// The program's worker, counting the keep-alive pings it sends.
class PingCountingWorker final : public devlink::BT {
public:
    using BT::BT;
    std::atomic<int> pings{0};

protected:
    void WriteChunk(const std::uint8_t *data, int count) override
    {
        if (count == 1 && data[0] == protocol::CmdPing)
            pings.fetch_add(1, std::memory_order_relaxed);
        BT::WriteChunk(data, count);
    }
};

void soakKeepAlive(const QString &link)
{
    Timings scaled;
    scaled.requestWaitMs /= KeepAliveScale;
    protocol::UseTimings(scaled);
    data::FieldList fields;
    QString error;
    if (!data::LoadFieldList(configPath(), fields, &error))
        qFatal("%s", qPrintable(error));
    QList<devlink::VLinkEndpoint> endpoints;
    devlink::VLinkBluetoothLE::ParseEndpoints(link, &endpoints);
    BenchView view;
    devlink::MeterLink meter(std::make_unique<devlink::VLinkBluetoothLE>(endpoints), &view);
    meter.GiveUpWhenScanEnds(true);
    auto *worker = new PingCountingWorker(&meter, &view, fields.recordSize, data::RecordLayout(fields.items));
    devlink::Worker = worker;
    meter.Serve(worker);
    worker->start();
    meter.SearchAndConnect();
    waitUntil([] { return devlink::Worker->CurrentState() == devlink::Connected; }, 20000, "keep-alive connect");

    Series series(QStringLiteral("Keep-alive, one session, 2 h scaled (%1 pings)").arg(KeepAlivePings), 1);
    const qint64 started = NowNs();
    const int before = worker->pings.load();
    for (int minute = 0; minute <= KeepAlivePings / PingsPerSample; ++minute) {
        waitUntil([&] { return worker->pings.load() - before >= minute * PingsPerSample; }, 60000, "keep-alive");
        if (worker->CurrentState() != devlink::Connected)
            qFatal("keep-alive: the session ended after %d pings", worker->pings.load() - before);
        series.Take(minute);
    }
    series.Report(QStringLiteral("interval %1 ms (2000 / %2), %3 s real")
                      .arg(scaled.requestWaitMs).arg(KeepAliveScale).arg(Fixed(realSeconds(started), 0)));
    worker->Shutdown();
    protocol::UseTimings(Timings{});
}

cli::Options toolOptions(const QString &link)
{
    cli::Options options;
    options.link = link;
    options.config = configPath();
    return options;
}

void soakToolLinkUps(const QString &link)
{
    cli::Session session(toolOptions(link));
    if (session.Start() != cli::ExitDone)
        qFatal("tool: session did not start");
    Series series(QStringLiteral("Tool, %1 link-ups and disconnects").arg(LinkUps), 25);
    const qint64 started = NowNs();
    for (int k = 0; k <= LinkUps; ++k) {
        if (k > 0) {
            if (session.Connect(false) != cli::ExitDone || session.Disconnect() != cli::ExitDone)
                qFatal("tool: link-up %d failed", k);
            // The tool keeps each block it read for its command's output.
            session.View.BlocksRead.clear();
        }
        series.Take(k);
    }
    series.Report(QStringLiteral("%1 s real").arg(Fixed(realSeconds(started), 0)));
}

void soakToolLive(const QString &link)
{
    cli::Session session(toolOptions(link));
    if (session.Start() != cli::ExitDone)
        qFatal("tool: session did not start");
    Series series(QStringLiteral("Tool, %1 live readings").arg(LiveReadings), 50);
    const qint64 started = NowNs();
    for (int k = 0; k <= LiveReadings; ++k) {
        if (k > 0) {
            if (session.Connect(true) != cli::ExitDone || session.Table.IsEmpty())
                qFatal("tool: live reading %d failed", k);
            // The tool keeps its readings for its output; one run takes one.
            session.Table.SetCaptions(data::ShownCaptions(session.Fields.items));
        }
        series.Take(k);
    }
    series.Report(QStringLiteral("%1 s real").arg(Fixed(realSeconds(started), 0)));
}

// ---- the window's session ----------------------------------------------------

struct Window {
    app::Program program;
    app::TForm4 *form = nullptr;

    explicit Window(const QString &link)
    {
        if (app::StartProgram(program, link, configPath()) != 0)
            qFatal("window: start-up failed");
        form = program.mainWindow.get();
    }
    ~Window()
    {
        if (form)
            form->close();
    }
    static devlink::SessionState State()
    {
        return devlink::Worker ? devlink::Worker->CurrentState() : devlink::Idle;
    }
};

void soakWindowLinkUps(const QString &link)
{
    Window window(link);
    Series series(QStringLiteral("Window, %1 link-ups and disconnects").arg(LinkUps), 25);
    const qint64 started = NowNs();
    for (int k = 0; k <= LinkUps; ++k) {
        if (k > 0) {
            window.form->Button1->click(); // "Search and connect"
            waitUntil([] { return Window::State() == devlink::Connected; }, 20000, "window connect");
            window.form->Button1->click(); // "Disconnect"
            waitUntil([&] { return Window::State() == devlink::Idle && views::Tag(window.form->Button1) == 0; },
                      20000, "window disconnect");
        }
        series.Take(k);
    }
    series.Report(QStringLiteral("%1 s real").arg(Fixed(realSeconds(started), 0)));
}

// The meter refuses notifications: the click runs round after round until
// Cancel. Rounds are counted where the window's handler sees the meter.
void soakWindowRefused(const QString &refusing)
{
    Window window(refusing);
    devlink::MeterLink &meter = *window.form->Meter;
    int rounds = 0;
    const std::function<void()> windowHandlers = meter.AssignHandlers;
    meter.AssignHandlers = [&] {
        windowHandlers();
        auto seen = meter.vorelt->OnDiscoverLEDevice;
        meter.vorelt->OnDiscoverLEDevice = [&rounds, seen](devlink::TBluetoothLE *sender,
                                                           devlink::TBluetoothLEDevice *device, int rssi,
                                                           const QByteArray &response) {
            if (device->DeviceName() == devlink::MeterLink::MeterName)
                ++rounds;
            seen(sender, device, rssi, response);
        };
    };
    Series series(QStringLiteral("Window, %1 refused-notification rounds").arg(RefusedRounds), 50);
    series.Take(0);
    int next = 50;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        // Once the meter is seen in round n + 1, n rounds are over.
        if (rounds - 1 >= next) {
            series.Take(next);
            next += 50;
        }
        if (rounds > RefusedRounds && app::Form5->isVisible()) {
            watch.stop();
            app::Form5->Button4->click(); // Cancel
        }
    });
    watch.start(1);
    const qint64 started = NowNs();
    window.form->Button1->click();
    waitUntil([] { return Window::State() == devlink::Idle; }, 20000, "window cancel");
    series.Report(QStringLiteral("%1 rounds, %2 s real").arg(rounds - 1).arg(Fixed(realSeconds(started), 0)));
}

} // namespace
} // namespace bench

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList args = application.arguments();
    const QString phase = args.value(1);
    const qsizetype at = args.indexOf(QStringLiteral("--link"));
    const QString link = at > 0 ? args.value(at + 1) : QString();
    const QMap<QString, std::function<void(const QString &)>> phases = {
        {QStringLiteral("keepalive"), bench::soakKeepAlive},
        {QStringLiteral("tool"), bench::soakToolLinkUps},
        {QStringLiteral("live"), bench::soakToolLive},
        {QStringLiteral("window"), bench::soakWindowLinkUps},
        {QStringLiteral("refused"), bench::soakWindowRefused},
    };
    if (!phases.contains(phase) || link.isEmpty()) {
        std::fprintf(stderr, "usage: bench_soak keepalive|tool|live|window|refused --link vlink:H:P\n");
        return 2;
    }
    if (phase != QLatin1String("keepalive"))
        protocol::UseTimings(protocol::Timings::ShortPauses());
    phases[phase](link);
    return 0;
}
