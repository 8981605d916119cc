// tarvolin-cli upload FILE.HEX [--yes]: firmware from an Intel HEX file,
// with the window's checks and its confirmation.
#include "cli/commands.h"

#include "os/console.h"
#include "os/signals.h"
#include "protocol/hexfile.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

namespace cli {

namespace {

// "Confirm upload" on the terminal. Nothing is connected yet, so Ctrl+C
// during the question may end the tool at once.
bool Confirm(const QString &fullPath)
{
    if (!os::IsTerminal(stdin)) {
        Say(QStringLiteral("no terminal to confirm the upload on; give --yes"));
        return false;
    }
    QTextStream(stderr) << "Data file: " << fullPath << "\nUpload? [y/N] " << Qt::flush;
    char answer[16] = {};
    bool read = false;
    {
        const os::InterruptEndsAtOnce atOnce;
        read = std::fgets(answer, sizeof answer, stdin) != nullptr;
    }
    const bool yes = read && (answer[0] == 'y' || answer[0] == 'Y');
    if (!yes)
        Say(QStringLiteral("upload cancelled"));
    return yes;
}

} // namespace

int RunUpload(const Options &options)
{
    if (options.arguments.size() != 1) {
        Say(QStringLiteral("upload needs exactly one FILE.HEX"));
        return ExitUsage;
    }
    const QString fullPath = QDir::toNativeSeparators(QFileInfo(options.arguments.first()).absoluteFilePath());
    QString error;
    std::optional<QStringList> lines = protocol::ReadHexFile(fullPath, &error);
    if (!lines) {
        Say(error);
        return ExitUsage;
    }
    if (!protocol::ValidateHexFile(*lines)) {
        Say(QStringLiteral("Invalid INHX32 file"));
        return ExitUsage;
    }
    // The meter never receives the first and the last line.
    lines->removeFirst();
    lines->removeLast();
    if (!options.yes && !Confirm(fullPath))
        return ExitUsage;
    Session session(options);
    if (const int code = session.Start())
        return code;
    if (const int code = session.Connect(false))
        return code;
    if (const int code = session.Upload(std::make_unique<QStringList>(std::move(*lines)), fullPath))
        return code;
    return session.Disconnect();
}

} // namespace cli
