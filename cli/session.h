#pragma once
// One run of the tool against the meter: the configuration, the link, the
// worker and the tool's view, and the waits between them. Each command is a
// few calls on this class.

#include "data/config.h"
#include "cli/cliview.h"
#include "cli/exitcodes.h"
#include "data/meastable.h"
#include "data/blockjson.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace devlink {
class MeterLink;
}

namespace cli {

struct Options {
    QString command;
    QStringList arguments;    // what follows the command
    QString link;             // --link, else TARVOLIN_LINK, else the real stack
    QString config;           // --config, else "ZEVQ-BLE.INI" beside the tool
    QString trace;            // --trace
    int scanSeconds = 12;     // --scan-seconds
    QString output;           // -o
    bool utf8 = false;        // --utf8
    bool yes = false;         // --yes
    int from = 0;             // --from (0: not given)
    int to = 0;               // --to
    QString address;          // --address, else TARVOLIN_ADDRESS: the one meter to connect to
    bool json = false;        // --json (scan)
    bool version = false;     // --version
    bool otherMeter = false;  // --other-meter
};

// Messages of the tool itself (the worker's go through CliView).
void Say(const QString &text);

// True once Ctrl+C or its kin arrived (os::CatchInterrupts).
bool Interrupted();

class Session {
public:
    explicit Session(const Options &options);
    ~Session();

    // Reads the configuration and sets up link and worker; ExitDone or the
    // code to end with (the reason has been said).
    int Start();
    // ExitDone when the configuration names a field to show; otherwise the
    // code to end with (the reason has been said). For the commands that
    // fetch measurements, before they connect.
    int RequireShownFields() const;
    // Finds the meter and connects. With `liveReading` false it returns
    // connected with the block read; with true it returns after the one
    // reading, the link already closed.
    int Connect(bool liveReading);
    // Writes View.Page as "Send parameters" does and reads it back.
    int WriteBlock();
    // Downloads records `from`..`to` into Table; the session ends with it.
    int Download(quint16 from, quint16 to);
    int Upload(std::unique_ptr<QStringList> lines, const QString &fileName);
    // Closes the session (25) if it is connected; the link goes off.
    int Disconnect();
    // The meter connected to, and the time now (UTC).
    data::MeterStamp Stamp() const;

    CliView View;
    data::MeasTable Table;
    data::FieldList Fields;

private:
    int Failed(int fallback) const;
    // Waits, processing events, until `done`; false when interrupted.
    bool WaitUntil(const std::function<bool()> &done);
    bool WaitServed(int before);
    int Abort();

    Options m_options;
    QString m_configPath;
    std::unique_ptr<devlink::MeterLink> m_link;
};

} // namespace cli
