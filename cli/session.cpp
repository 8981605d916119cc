#include "cli/session.h"

#include "cli/about.h"
#include "link/bt.h"
#include "link/linkfactory.h"
#include "link/meterlink.h"
#include "data/printable.h"
#include "os/signals.h"
#include "protocol/trace.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>


namespace cli {

using devlink::Worker;
using protocol::Failure;

namespace {

} // namespace

void Say(const QString &text)
{
    QTextStream(stderr) << text << Qt::endl;
}

bool Interrupted()
{
    return os::Interrupted();
}

Session::Session(const Options &options) : m_options(options) {}

Session::~Session()
{
    // The worker ends first: its destruction may still switch the link off.
    if (Worker)
        Worker->Shutdown();
    m_link.reset();
}

int Session::Start()
{
    const QString config = m_options.config.isEmpty()
        ? QDir(QCoreApplication::applicationDirPath()).filePath(data::ConfigFileName)
        : m_options.config;
    if (!QFileInfo::exists(config)) {
        Say(QStringLiteral("Missing configuration file \"%1\"").arg(QDir::toNativeSeparators(config)));
        return ExitUsage;
    }
    m_configPath = config;
    QString error;
    if (!data::LoadFieldList(config, Fields, &error)) {
        // The message quotes the file's own text, which may hold anything.
        Say(data::Printable(error));
        return ExitUsage;
    }
    Table.SetCaptions(data::ShownCaptions(Fields.items));
    View.Records = &Table;
    std::unique_ptr<devlink::TBluetoothLE> component = devlink::CreateLinkComponent(m_options.link, &error);
    if (!component) {
        Say(error);
        return ExitUsage;
    }
    protocol::Trace::Describe({ProgramAndVersion(),
                               component->Describe(), QFileInfo(config).absoluteFilePath(), Fields.recordSize});
    m_link = std::make_unique<devlink::MeterLink>(std::move(component), &View);
    m_link->ScanMs = m_options.scanSeconds * 1000;
    m_link->GiveUpWhenScanEnds(true);
    m_link->Address = m_options.address;
    Worker = new devlink::BT(m_link.get(), &View, Fields.recordSize, data::RecordLayout(Fields.items));
    m_link->Serve(Worker);
    Worker->start();
    return ExitDone;
}

int Session::RequireShownFields() const
{
    if (Fields.shownCount > 0)
        return ExitDone;
    // A record without a shown field has no key and shows nothing: no
    // measurement could come of the session.
    Say(QStringLiteral("the configuration \"%1\" names no measurement field to show (section DATA, keys "
                       "PDATA1, PDATA2, ... each \"caption,width\")")
            .arg(QDir::toNativeSeparators(m_configPath)));
    return ExitUsage;
}

int Session::Connect(bool liveReading)
{
    View.TakeLiveReading = liveReading;
    const int before = Worker->RequestsServed();
    // Ctrl+C while the sequence runs: it gives up at its next check.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [this] {
        if (Interrupted())
            m_link->Abandon();
    });
    watch.start(20);
    m_link->SearchAndConnect();
    watch.stop();
    if (Interrupted())
        return Abort();
    const Failure gaveUp = m_link->LinkFailure.load();
    if (gaveUp == Failure::NoAdapter)
        return ExitCodeFor(gaveUp); // no scan ran, so nothing was posted
    if (gaveUp == Failure::MeterNotFound) {
        // A give-up without a message: the worker waits for the cancel.
        if (!WaitUntil([] {
                if (Worker->CurrentState() == devlink::Searching)
                    Worker->CancelSearch();
                return Worker->CurrentState() == devlink::Idle;
            }))
            return Abort();
        Say(m_options.address.isEmpty() ? QStringLiteral("meter not found")
                                        : QStringLiteral("meter %1 not found").arg(data::Printable(m_options.address)));
        return ExitCodeFor(gaveUp);
    }
    if (!WaitServed(before))
        return Abort();
    if (liveReading)
        return ExitCodeFor(View.FirstFailure);
    if (Worker->CurrentState() != devlink::Connected || View.BlocksRead.isEmpty())
        return Failed(ExitNotFound);
    return ExitDone;
}

int Session::WriteBlock()
{
    const qsizetype readsBefore = View.BlocksRead.size();
    const int before = Worker->RequestsServed();
    Worker->DownloadMode = false;
    Worker->RequestTransfer();
    if (!WaitServed(before))
        return Abort();
    if (Worker->CurrentState() != devlink::Connected || View.BlocksRead.size() == readsBefore)
        return Failed(ExitLost);
    return ExitDone;
}

int Session::Download(quint16 from, quint16 to)
{
    View.PageRangeFrom = from;
    View.PageRangeTo = to;
    const int before = Worker->RequestsServed();
    Worker->DownloadMode = true;
    Worker->RequestTransfer();
    const bool served = WaitServed(before);
    View.EndProgress();
    if (!served)
        return Abort();
    View.PageRangeFrom = View.PageRangeTo = 0;
    return ExitCodeFor(View.FirstFailure);
}

int Session::Upload(std::unique_ptr<QStringList> lines, const QString &fileName)
{
    const int before = Worker->RequestsServed();
    Worker->RequestUpload(std::move(lines), fileName);
    if (!WaitServed(before))
        return Abort();
    return Worker->CurrentState() == devlink::Connected ? ExitDone : Failed(ExitLost);
}

int Session::Disconnect()
{
    if (Worker->CurrentState() != devlink::Connected)
        return ExitDone;
    const int before = Worker->RequestsServed();
    Worker->RequestDisconnect();
    if (!WaitServed(before))
        return Abort();
    return ExitDone;
}

data::MeterStamp Session::Stamp() const
{
    data::MeterStamp stamp;
    if (const devlink::TBluetoothLEDevice *device = m_link ? m_link->LinkDevice : nullptr) {
        stamp.name = device->DeviceName();
        stamp.address = device->Address();
    }
    stamp.time = QDateTime::currentDateTimeUtc();
    return stamp;
}

int Session::Failed(int fallback) const
{
    return View.FirstFailure != Failure::None ? ExitCodeFor(View.FirstFailure) : fallback;
}

bool Session::WaitUntil(const std::function<bool()> &done)
{
    if (done())
        return !Interrupted();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || Interrupted())
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return !Interrupted();
}

bool Session::WaitServed(int before)
{
    return WaitUntil([before] { return Worker->RequestsServed() > before; });
}

// Ctrl+C: whatever runs ends with the link off, and a meter in session is
// told the session ends. The short exchanges (block read, parameter write,
// live reading) are let finish so that 25 can follow them; a download or an
// upload may run for minutes and is cut by switching the link off, which
// makes its exchange fail within the reply limit. A second Ctrl+C cuts
// whatever runs.
int Session::Abort()
{
    View.Quiet = true;
    os::TakeInterrupt(); // the wait below must not end at once
    m_link->Abandon();
    bool cut = false;
    WaitUntil([this, &cut] {
        if (os::TakeInterrupt())
            cut = true;
        const devlink::SessionState state = Worker->CurrentState();
        const bool longTransfer =
            state == devlink::Uploading || (state == devlink::Transferring && Worker->DownloadMode);
        switch (state) {
        case devlink::Idle:
            return true;
        case devlink::Searching:
            Worker->CancelSearch();
            break;
        case devlink::Connected:
            Worker->RequestDisconnect();
            break;
        default:
            if (cut || longTransfer)
                m_link->vorelt->SetEnabled(false);
            break;
        }
        return false;
    });
    Say(QStringLiteral("interrupted"));
    return ExitInterrupted;
}

} // namespace cli
