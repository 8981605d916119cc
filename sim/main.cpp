// zevq-sim: the simulated moisture meter as a program, reachable over the
// virtual link (docs/vlink.md).

#include "data/config.h"
#include "os/clocks.h"
#include "sim/replay.h"
#include "sim/simperipheral.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

struct Option {
    QString name;
    QString description;
    QString value; // empty: a switch
};

const QList<Option> Options = {
    {"port", "TCP port on 127.0.0.1 (default 47001; 0 picks a free one).", "port"},
    {"config", "Configuration file laying out the records (section DATA, PDATA1=caption,width ...); "
               "default: ZEVQ-BLE.INI beside the program, as the programs find theirs, else a built-in layout.", "file"},
    {"name", "Advertised name (default Vorelt-ZEVQ25k).", "name"},
    {"notify-size", "Bytes per notification (default 20).", "bytes"},
    {"mtu", "Same as --notify-size.", "bytes"},
    {"serial", "Serial number in the block.", "number"},
    {"usage-count", "Usage count in the block (= number of stored records).", "count"},
    {"records", "Number of stored records (sets the usage count).", "count"},
    {"info", "Information text in the block (at most 45 bytes).", "text"},
    {"no-serial-service", "Advertise without the serial service.", {}},
    {"no-characteristic", "Advertise the serial service without its characteristic.", {}},
    {"repeat", "Answer the next N parameter writes / firmware lines with 27 first.", "N"},
    {"wrong-byte", "Replace a reply byte: CMD:OFFSET:VALUE[:TIMES] (CMD -1 = any, OFFSET -1 = last).", "values"},
    {"drop-byte", "Drop a reply byte: CMD:OFFSET[:TIMES].", "values"},
    {"add-byte", "Insert a reply byte: CMD:OFFSET:VALUE[:TIMES] (OFFSET -1 = after the last).", "values"},
    {"fw-repeat", "Answer firmware line LINE with 27 N times before taking it: LINE:N.", "values"},
    {"fw-wrong-reply", "Answer firmware line LINE with VALUE: LINE:VALUE.", "values"},
    {"fw-silence", "Leave firmware line LINE unanswered.", "LINE"},
    {"fw-drop", "End the connection when firmware line LINE arrives.", "LINE"},
    {"reply-before-written", "Send each reply before the write completion.", {}},
    {"fail-writes", "Fail the next N writes (-1 all): N[:STATUS], status default 133.", "values"},
    {"fail-notifications", "Fail the next N notifications (-1 all): N[:STATUS].", "values"},
    {"pings", "Answer only the first N pings.", "N"},
    {"delay", "Delay replies: MS[:CMD].", "values"},
    {"refuse-connect", "Never answer CONNECT.", {}},
    {"subscribe-status", "Answer SUBSCRIBE with this GATT status.", "status"},
    {"ignore-subscribe", "Never answer SUBSCRIBE.", {}},
    {"close-after", "Close a connection after N received bytes.", "N"},
    {"rssi", "Advertise this signal strength in dBm (-127..20).", "dBm"},
    {"replay", "Play the meter a protocol trace recorded (a trace file or a saved flight record).", "trace"},
    {"replay-timing", "With --replay: answer as late after each frame as the meter did.", {}},
};

// "a:b:c" -> integers; nullopt unless there are min..max of them.
std::optional<QList<int>> Numbers(const QString &text, int min, int max)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() < min || parts.size() > max)
        return std::nullopt;
    QList<int> numbers;
    for (const QString &part : parts) {
        bool ok = false;
        numbers.append(part.toInt(&ok, 10));
        if (!ok)
            return std::nullopt;
    }
    return numbers;
}

[[noreturn]] void Fail(const QString &message)
{
    QTextStream(stderr) << "zevq-sim: " << message << '\n';
    std::exit(2);
}

QList<int> Required(const QCommandLineParser &parser, const QString &name, int min, int max)
{
    const std::optional<QList<int>> numbers = Numbers(parser.value(name), min, max);
    if (!numbers)
        Fail(QStringLiteral("bad value for --%1: %2").arg(name, parser.value(name)));
    return *numbers;
}

void ApplyBlockOptions(const QCommandLineParser &parser, sim::MeterLogic &meter)
{
    protocol::ParameterBlock block = meter.MeterBlock();
    if (parser.isSet("serial")) {
        const int serial = Required(parser, "serial", 1, 1).front();
        block[protocol::ParameterBlock::SerialNumber] = static_cast<std::uint8_t>(serial & 0xFF);
        block[protocol::ParameterBlock::SerialNumber + 1] = static_cast<std::uint8_t>((serial >> 8) & 0xFF);
    }
    for (const char *name : {"usage-count", "records"}) {
        if (parser.isSet(name))
            sim::MeterLogic::SetUsageCount(block, Required(parser, name, 1, 1).front());
    }
    if (parser.isSet("info")) {
        const QByteArray text = parser.value("info").toLatin1().left(protocol::ParameterBlock::InfoTextLength);
        auto begin = block.bytes.begin() + protocol::ParameterBlock::InfoText;
        std::fill(begin, begin + protocol::ParameterBlock::InfoTextLength, 0);
        std::copy(text.begin(), text.end(), begin);
    }
    meter.SetBlock(block);
}

void AddReplyFault(const QCommandLineParser &parser, const QString &name, sim::ReplyFault::Kind kind,
                   sim::MeterFaults &faults)
{
    if (!parser.isSet(name))
        return;
    const int fields = kind != sim::ReplyFault::DropByte ? 3 : 2;
    const QList<int> n = Required(parser, name, fields, fields + 1);
    const int value = fields == 3 ? n[2] : 0;
    faults.replyFaults.append({kind, n[0], n[1], static_cast<std::uint8_t>(value), n.value(fields, -1)});
}

// Each option may be given more than once, one line each time.
void AddFirmwareFaults(const QCommandLineParser &parser, sim::MeterFaults &faults)
{
    const struct {
        const char *name;
        sim::FirmwareFault::Kind kind;
        int fields;
    } options[] = {
        {"fw-repeat", sim::FirmwareFault::Repeat, 2},
        {"fw-wrong-reply", sim::FirmwareFault::WrongReply, 2},
        {"fw-silence", sim::FirmwareFault::Silence, 1},
        {"fw-drop", sim::FirmwareFault::Drop, 1},
    };
    for (const auto &option : options) {
        for (const QString &text : parser.values(option.name)) {
            const std::optional<QList<int>> n = Numbers(text, option.fields, option.fields);
            if (!n || n->front() < 1)
                Fail(QStringLiteral("bad value for --%1: %2").arg(option.name, text));
            sim::FirmwareFault fault{option.kind, n->front(), 1, 0};
            if (option.kind == sim::FirmwareFault::Repeat)
                fault.times = n->at(1);
            else if (option.kind == sim::FirmwareFault::WrongReply)
                fault.value = static_cast<std::uint8_t>(n->at(1));
            faults.firmwareFaults.append(fault);
        }
    }
}

void ApplyFaultOptions(const QCommandLineParser &parser, sim::MeterFaults &faults)
{
    auto single = [&](const char *name, auto &field) {
        if (parser.isSet(name))
            field = Required(parser, name, 1, 1).front();
    };
    single("notify-size", faults.notifySize);
    single("mtu", faults.notifySize);
    single("repeat", faults.repeatReplies);
    single("pings", faults.pingsToAnswer);
    single("subscribe-status", faults.subscribeStatus);
    single("close-after", faults.closeAfterBytes);
    AddReplyFault(parser, "wrong-byte", sim::ReplyFault::WrongByte, faults);
    AddReplyFault(parser, "drop-byte", sim::ReplyFault::DropByte, faults);
    AddReplyFault(parser, "add-byte", sim::ReplyFault::AddByte, faults);
    AddFirmwareFaults(parser, faults);
    if (parser.isSet("fail-writes")) {
        const QList<int> n = Required(parser, "fail-writes", 1, 2);
        faults.writeFailCount = n[0];
        faults.writeFailStatus = n.value(1, 133);
    }
    if (parser.isSet("fail-notifications")) {
        const QList<int> n = Required(parser, "fail-notifications", 1, 2);
        faults.notifyFailCount = n[0];
        faults.notifyFailStatus = n.value(1, 133);
    }
    if (parser.isSet("delay")) {
        const QList<int> n = Required(parser, "delay", 1, 2);
        faults.replyDelayMs = n[0];
        faults.delayCommand = n.value(1, -1);
    }
    faults.replyBeforeWritten = parser.isSet("reply-before-written");
    faults.refuseConnect = parser.isSet("refuse-connect");
    faults.ignoreSubscribe = parser.isSet("ignore-subscribe");
    if (faults.notifySize < 1)
        Fail(QStringLiteral("the notification size must be at least 1"));
}

// The meter of a trace instead of the simulated one.
void UseReplay(const QCommandLineParser &parser, sim::SimPeripheral &peripheral)
{
    // The trace's answers are played as they were recorded: nothing of the
    // meter's own block or records would show.
    for (const char *name : {"config", "serial", "usage-count", "records", "info"}) {
        if (parser.isSet(name))
            Fail(QStringLiteral("--%1 has no meaning with --replay").arg(QLatin1String(name)));
    }
    QString error;
    std::optional<sim::RecordedMeter> recorded = sim::LoadTrace(parser.value("replay"), &error);
    if (!recorded)
        Fail(QStringLiteral("cannot replay %1").arg(error));
    if (!recorded->name.isEmpty())
        peripheral.advertisement.name = recorded->name;
    if (!recorded->services.isEmpty()) {
        peripheral.advertisement.services = sim::Advertisement::Listed;
        peripheral.advertisement.listed = recorded->services;
    }
    QTextStream(stderr) << "zevq-sim: playing back " << parser.value("replay") << ": \""
                        << peripheral.advertisement.name << "\", " << recorded->answers.size()
                        << " different frames, " << recorded->notifications << " notifications" << Qt::endl;
    auto meter = std::make_unique<sim::ReplayMeter>(std::move(*recorded), parser.isSet("replay-timing"));
    meter->OnUnknownFrame = [](const QByteArray &frame) {
        QTextStream(stderr) << "zevq-sim: a frame the trace never saw, not answered: "
                            << frame.toHex(' ').toUpper() << Qt::endl;
    };
    peripheral.UseMeter(std::move(meter));
}

} // namespace

int main(int argc, char *argv[])
{
    // The meter's pauses keep their lengths.
    const os::FineTimers timers;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zevq-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated moisture meter on the virtual link."));
    parser.addHelpOption();
    for (const Option &option : Options)
        parser.addOption(QCommandLineOption(option.name, option.description, option.value));
    parser.process(app);

    sim::SimPeripheral peripheral;
    if (parser.isSet("replay"))
        UseReplay(parser, peripheral);
    else if (parser.isSet("replay-timing"))
        Fail(QStringLiteral("--replay-timing needs --replay"));
    sim::MeterLogic &meter = peripheral.Meter();
    // Installed beside the programs, the meter lays out its records as they
    // read them; the built-in layout is only for a meter without a file.
    const QString besideUs = QDir(QCoreApplication::applicationDirPath()).filePath(data::ConfigFileName);
    const QString config = parser.isSet("config") ? parser.value("config")
        : parser.isSet("replay")                  ? QString()
        : QFileInfo::exists(besideUs)             ? besideUs
                                                  : QString();
    if (!config.isEmpty()) {
        QList<sim::RecordField> layout;
        QString error;
        if (!sim::LoadRecordLayout(config, &layout, &error))
            Fail(error);
        meter.SetLayout(layout);
    }
    if (parser.isSet("name"))
        peripheral.advertisement.name = parser.value("name"); // also over a recorded one
    if (parser.isSet("no-serial-service"))
        peripheral.advertisement.services = sim::Advertisement::NoSerialService;
    else if (parser.isSet("no-characteristic"))
        peripheral.advertisement.services = sim::Advertisement::ServiceWithoutCharacteristic;
    if (parser.isSet("rssi")) {
        const int rssi = Required(parser, "rssi", 1, 1).front();
        if (rssi < -127 || rssi > 20)
            Fail(QStringLiteral("bad value for --rssi: %1").arg(rssi));
        peripheral.advertisement.rssi = rssi;
    }
    ApplyBlockOptions(parser, meter);
    ApplyFaultOptions(parser, meter.faults);

    int port = sim::DefaultPort;
    if (parser.isSet("port")) {
        port = Required(parser, "port", 1, 1).front();
        if (port < 0 || port > 65535)
            Fail(QStringLiteral("bad port %1").arg(port));
    }
    if (!peripheral.Listen(static_cast<quint16>(port)))
        Fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(peripheral.ErrorString()));
    std::printf("zevq-sim listening on 127.0.0.1:%u\n", static_cast<unsigned>(peripheral.Port()));
    std::fflush(stdout);
    return app.exec();
}
