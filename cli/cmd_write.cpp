// tarvolin-cli write FILE: apply the fields FILE names to the meter's block,
// write it, read it back, and say what changed.
#include "cli/blockjson.h"
#include "cli/commands.h"

#include <QFile>
#include <QTextStream>

namespace cli {

namespace {

// The file is checked against a neutral block before anything is sent, so
// a bad file never costs a connection.
bool LoadEdits(const QString &path, QByteArray *json)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Say(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
        return false;
    }
    *json = file.read((1 << 20) + 1);
    protocol::ParameterBlock probe;
    QString error;
    if (!ApplyJson(*json, probe, &error)) {
        Say(QStringLiteral("%1: %2").arg(path, error));
        return false;
    }
    return true;
}

} // namespace

int RunWrite(const Options &options)
{
    if (options.arguments.size() != 1) {
        Say(QStringLiteral("write needs exactly one FILE"));
        return ExitUsage;
    }
    QByteArray json;
    if (!LoadEdits(options.arguments.first(), &json))
        return ExitUsage;
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (const int code = session.Connect(false))
        return code;
    const protocol::ParameterBlock before = session.View.BlocksRead.last();
    session.View.Page = before;
    QString error;
    if (!ApplyJson(json, session.View.Page, &error)) { // checked above; cannot fail here
        Say(error);
        session.Disconnect();
        return ExitUsage;
    }
    if (const int code = session.WriteBlock())
        return code;
    protocol::ParameterBlock sent = *session.View.BlockSent;
    protocol::ParameterBlock back = session.View.BlocksRead.last();
    // Compare as the meter holds them: the checksum is set on the way out.
    char scratch[protocol::ParameterBlock::TextSize];
    protocol::EncodeParameterBlock(sent, scratch);
    if (const int code = session.Disconnect())
        return code;
    QTextStream out(stdout);
    const QStringList changes = DescribeChanges(before, back);
    for (const QString &line : changes)
        out << line << '\n';
    if (changes.isEmpty())
        out << "nothing changed\n";
    if (back.bytes != sent.bytes) {
        Say(QStringLiteral("the block read back differs from the block sent"));
        return ExitDiffers;
    }
    return ExitDone;
}

} // namespace cli
