// tarvolin-cli write FILE: apply the fields FILE names to the meter's block,
// write it, read it back, and say what changed.
#include "data/blockjson.h"
#include "cli/commands.h"
#include "protocol/printable.h"

#include <QFile>
#include <QTextStream>

namespace cli {

namespace {

using protocol::ParameterBlock;

// What the file alone shows is refused before anything is sent, so a bad
// file never costs a connection.
bool LoadEdits(const QString &path, data::BlockEdits *edits)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Say(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray json = file.read(data::MaxBlockJsonBytes + 1); // one byte more shows it is too large
    QString error;
    if (!edits->Parse(json, &error)) {
        Say(QStringLiteral("%1: %2").arg(path, error));
        return false;
    }
    return true;
}

// A backup restored onto another meter would give it a foreign serial
// number and calibration, so a file naming another serial number (in
// serialNumber or in the block of its hex) is written only when the user
// says so.
bool BelongsHere(const QString &path, const data::BlockEdits &edits, quint16 connected, const Options &options)
{
    for (const quint16 own : edits.SerialNumbers()) {
        if (own == connected || options.otherMeter)
            continue;
        Say(QStringLiteral("%1 holds the settings of meter %2; the connected meter is %3. Nothing was written. "
                           "Use --other-meter to write them anyway.")
                .arg(path).arg(own).arg(connected));
        return false;
    }
    return true;
}

// Ends a session in which nothing was written: the meter is told (25) and
// the link goes off.
int EndUnwritten(Session &session, int code)
{
    if (const int closed = session.Disconnect())
        return closed;
    return code;
}

void PrintChanges(const ParameterBlock &before, const ParameterBlock &back)
{
    QTextStream out(stdout);
    const QStringList changes = data::DescribeChanges(before, back);
    for (const QString &line : changes)
        out << protocol::Printable(line) << '\n'; // a text from the meter may hold escapes
    if (changes.isEmpty())
        out << "nothing changed\n";
    out.flush();
    if (data::ClearedBytesDiffer(before, back))
        Say(QStringLiteral("Every write clears the download range and the five bytes after the dates; "
                           "the meter held other values there."));
}

} // namespace

int RunWrite(const Options &options)
{
    if (options.arguments.size() != 1) {
        Say(QStringLiteral("write needs exactly one FILE"));
        return ExitUsage;
    }
    const QString path = options.arguments.first();
    data::BlockEdits edits;
    if (!LoadEdits(path, &edits))
        return ExitUsage;
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (const int code = session.Connect(false))
        return code;
    const ParameterBlock before = session.View.BlocksRead.last();
    if (!BelongsHere(path, edits, before.word(ParameterBlock::SerialNumber), options))
        return EndUnwritten(session, ExitOtherMeter);
    // What the file changes is checked against the meter's block.
    session.View.Page = before;
    QString error;
    if (!edits.ApplyTo(session.View.Page, &error)) {
        Say(QStringLiteral("%1: %2").arg(path, error));
        return EndUnwritten(session, ExitUsage);
    }
    if (const int code = session.WriteBlock())
        return code;
    ParameterBlock sent = *session.View.BlockSent;
    const ParameterBlock back = session.View.BlocksRead.last();
    // Compare as the meter holds them: the checksum is set on the way out.
    char scratch[ParameterBlock::TextSize];
    protocol::EncodeParameterBlock(sent, scratch);
    if (const int code = session.Disconnect())
        return code;
    PrintChanges(before, back);
    if (back.bytes != sent.bytes) {
        Say(QStringLiteral("the block read back differs from the block sent"));
        return ExitDiffers;
    }
    return ExitDone;
}

} // namespace cli
