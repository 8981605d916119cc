// tarvolin-cli: the meter from scripts, with the window's link-up, worker
// and exchanges, so its bytes on the link are the window's bytes.
#include "cli/about.h"
#include "cli/commands.h"
#include "cli/files.h"
#include "cli/help.h"
#include "protocol/trace.h"

#include "os/clocks.h"
#include "os/console.h"
#include "os/signals.h"

#include <QCoreApplication>
#include <QTextStream>

namespace cli {

namespace {

struct Command {
    const char *name;
    int (*run)(const Options &);
};

const Command kCommands[] = {
    {"scan", RunScan},
    {"read", RunRead},
    {"write", RunWrite},
    {"live", RunLive},
    {"download", RunDownload},
    {"upload", RunUpload},
};

bool takeNumber(const QString &text, int low, int high, int *out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return false;
    *out = value;
    return true;
}

// False with a message when the words are off.
bool parse(const QStringList &args, Options *o, bool *help)
{
    o->link = qEnvironmentVariable("TARVOLIN_LINK");
    o->address = qEnvironmentVariable("TARVOLIN_ADDRESS");
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        const auto value = [&](QString *out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        QString v;
        if (a == QStringLiteral("-h") || a == QStringLiteral("--help")) {
            *help = true;
        } else if (a == QStringLiteral("--link")) {
            if (!value(&o->link))
                return false;
        } else if (a == QStringLiteral("--config")) {
            if (!value(&o->config))
                return false;
        } else if (a == QStringLiteral("--trace")) {
            if (!value(&o->trace))
                return false;
        } else if (a == QStringLiteral("-o") || a == QStringLiteral("--output")) {
            if (!value(&o->output))
                return false;
        } else if (a == QStringLiteral("--scan-seconds")) {
            if (!value(&v) || !takeNumber(v, 1, 3600, &o->scanSeconds))
                return false;
        } else if (a == QStringLiteral("--from")) {
            if (!value(&v) || !takeNumber(v, 1, 65535, &o->from))
                return false;
        } else if (a == QStringLiteral("--to")) {
            if (!value(&v) || !takeNumber(v, 1, 65535, &o->to))
                return false;
        } else if (a == QStringLiteral("--address")) {
            if (!value(&o->address))
                return false;
        } else if (a == QStringLiteral("--json")) {
            o->json = true;
        } else if (a == QStringLiteral("--version")) {
            o->version = true;
        } else if (a == QStringLiteral("--utf8")) {
            o->utf8 = true;
        } else if (a == QStringLiteral("--yes")) {
            o->yes = true;
        } else if (a == QStringLiteral("--other-meter")) {
            o->otherMeter = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return false;
        } else if (o->command.isEmpty()) {
            o->command = a;
        } else {
            o->arguments << a;
        }
    }
    return true;
}

} // namespace

int Main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvolin-cli"));
    QCoreApplication::setApplicationVersion(protocol::Trace::BuildVersion());
    QuietQtLogging();
    Options options;
    bool help = false;
    if (!parse(QCoreApplication::arguments(), &options, &help)) {
        Say(QStringLiteral("Bad usage; see tarvolin-cli --help"));
        return ExitUsage;
    }
    if (options.version && !help) {
        QTextStream(stdout) << VersionText() << '\n';
        return ExitDone;
    }
    if (help || options.command.isEmpty()) {
        QTextStream(help ? stdout : stderr) << HelpText;
        return help ? ExitDone : ExitUsage;
    }
    const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                      [&](const Command &c) { return options.command == QLatin1String(c.name); });
    if (command == std::end(kCommands)) {
        Say(QStringLiteral("Unknown command \"%1\"; see tarvolin-cli --help").arg(options.command));
        return ExitUsage;
    }
    if (const int code = CheckFiles(options))
        return code;
    if (Interrupted())
        return ExitInterrupted;

    if (!options.trace.isEmpty()) {
        QString error;
        if (!protocol::Trace::Start(options.trace, &error))
            Say(QStringLiteral("Cannot create file \"%1\". %2").arg(options.trace, error));
    }
    const int code = command->run(options);
    protocol::Trace::Stop();
    // The command's own result stands; support must still learn that the
    // trace they will be sent has a gap.
    if (const QString traceError = protocol::Trace::FileError(); !traceError.isEmpty())
        Say(traceError + (traceError.endsWith(QLatin1Char('.')) ? QStringLiteral(" ") : QStringLiteral(". "))
            + QStringLiteral("The trace ends there."));
    return Interrupted() ? ExitInterrupted : code;
}

} // namespace cli

int main(int argc, char *argv[])
{
    // First of all, so that SIGTERM during the start also ends with 130. A
    // reader that went away is then a result that could not be written
    // (7), reported as such, not a silent end by signal.
    os::CatchInterrupts();
    // The protocol's pauses keep their lengths; text reaches a console as
    // the characters it is.
    const os::FineTimers timers;
    const os::Utf8Console console;
    // Everything the tool prints on stdout (JSON, CSV, summaries) is the
    // same bytes on every system: LF ends a line, never CR LF.
    os::WriteBinary(stdout);
    return cli::Main(argc, argv);
}
