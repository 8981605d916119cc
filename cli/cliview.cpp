#include "cli/cliview.h"

#include "data/meastable.h"
#include "os/console.h"
#include "protocol/blockfields.h"

#include <QTextStream>

#include <cstdio>

namespace cli {

namespace {

void say(const QString &text)
{
    QTextStream(stderr) << text << Qt::endl;
}

} // namespace

CliView::CliView() : m_terminal(os::IsTerminal(stderr)) {}

void CliView::OpenSearchDialog()
{
    if (!Quiet)
        say(QStringLiteral("Searching for the meter..."));
}

void CliView::OpenWaitDialog()
{
    if (!Quiet)
        say(QStringLiteral("Meter found; establishing the connection..."));
}

void CliView::Tell(const QString &message, protocol::Failure why)
{
    if (FirstFailure == protocol::Failure::None)
        FirstFailure = why;
    EndProgress();
    if (!Quiet)
        say(message);
}

void CliView::PageToBlock(protocol::ParameterBlock &block)
{
    // As the window's copy of its page: the five bytes after the dates are
    // cleared, the range says what is asked for (0..0 writes parameters).
    block = Page;
    protocol::ClearReserved(block);
    protocol::SetDownloadRange(block, PageRangeFrom, PageRangeTo);
    BlockSent = block;
}

void CliView::BlockToPage(protocol::ParameterBlock &block)
{
    BlocksRead.append(block);
}

void CliView::MergeBatch(const QList<QStringList> &batch)
{
    // The records of a finished download: every byte came.
    if (m_barAwaitingRecords) {
        DrawBar(m_barMaximum, true);
        EndProgress();
    }
    if (Records)
        Records->Merge(batch);
}

// ---- progress on stderr ---------------------------------------------------

void CliView::OpenReceiveProgress(qint64 maximum)
{
    m_barLabel = QStringLiteral("Receiving data");
    m_barMaximum = maximum;
    m_barPosition = 0;
    m_barClock.start();
    DrawBar(0);
}

void CliView::ReceiveProgress(int received, bool uploading)
{
    if (!uploading)
        DrawBar(received);
}

// A reply can overtake the waits that report progress, so the bar may not
// have seen the last bytes: the line stays open until the records arrive
// (MergeBatch fills it) or the command ends it.
void CliView::CloseReceiveProgress()
{
    DrawBar(m_barPosition, true);
    m_barAwaitingRecords = m_barShown;
}

void CliView::NameUpload(const QString &fileName)
{
    m_barLabel = QStringLiteral("Uploading file: ") + fileName;
}

void CliView::OpenUploadProgress(int lines)
{
    Connected = false; // the window shows its disconnected display meanwhile
    m_barMaximum = lines;
    m_barPosition = 0;
    m_barClock.start();
    DrawBar(0);
}

void CliView::UploadProgressStep()
{
    DrawBar(m_barPosition + 1);
}

void CliView::CloseUploadProgress()
{
    EndProgress();
    Connected = true;
}

void CliView::DrawBar(qint64 position, bool force)
{
    m_barPosition = position;
    if (!m_terminal || Quiet || m_barMaximum <= 0)
        return;
    // A terminal is slow next to the link: redraw at most every 100 ms.
    if (!force && m_barShown && position < m_barMaximum && m_barClock.elapsed() < 100)
        return;
    m_barClock.restart();
    constexpr int width = 30;
    const int filled = static_cast<int>(width * std::min(position, m_barMaximum) / m_barMaximum);
    std::fprintf(stderr, "\r%s [%s%s] %lld/%lld", qPrintable(m_barLabel),
                 QByteArray(filled, '#').constData(), QByteArray(width - filled, ' ').constData(),
                 static_cast<long long>(position), static_cast<long long>(m_barMaximum));
    std::fflush(stderr);
    m_barShown = true;
}

void CliView::EndProgress()
{
    if (m_barShown) {
        std::fputc('\n', stderr);
        m_barShown = false;
    }
    m_barAwaitingRecords = false;
    m_barMaximum = 0;
}

} // namespace cli
