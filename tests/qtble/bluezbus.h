#pragma once
// Test harness for the Qt Bluetooth backend without a radio: a private
// dbus-daemon standing in for the system bus, the mocked BlueZ of
// scripts/bluez_mock.py on it, and the simulated meter behind the mock.
//
// Qt connects to the system bus once per process, so a test executable sets
// the bus up before it creates its first Bluetooth object.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace qtbletest {

// The interpreter that has the distribution's python3-dbus and
// python3-dbusmock (a python3 earlier on PATH may be a private one).
QString SystemPython();

// Empty when dbus-daemon and python3-dbusmock are usable, else why not.
QString MissingTools();

// A dbus-daemon of our own, made the system bus of this process (and of the
// processes it starts) through DBUS_SYSTEM_BUS_ADDRESS.
class PrivateSystemBus {
public:
    PrivateSystemBus() = default;
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus &) = delete;
    PrivateSystemBus &operator=(const PrivateSystemBus &) = delete;

    bool Start(QString *error);
    QString Address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};

// A process that prints lines; remembers all of them.
class LineProcess {
public:
    LineProcess();
    virtual ~LineProcess();
    LineProcess(const LineProcess &) = delete;
    LineProcess &operator=(const LineProcess &) = delete;

    // Starts and waits up to `ms` for a line beginning with `ready`.
    bool Start(const QString &program, const QStringList &arguments, const QString &ready, int ms,
               QString *error);
    void Stop();
    bool IsRunning() const { return m_process.state() == QProcess::Running; }

    QStringList Lines() const;
    // Lines beginning with `prefix` (a word or several).
    QStringList Lines(const QString &prefix) const;
    // Waits, processing events, until at least `count` such lines arrived.
    bool WaitForLines(const QString &prefix, int count, int ms);
    QString Output() const; // everything, for failure messages

protected:
    QProcess m_process;
    bool m_endsWithInput = true; // else it is asked to terminate

private:
    void Read();
    QByteArray m_pending;
    QStringList m_lines;
    QByteArray m_errors;
};

// scripts/bluez_mock.py. Events arrive as lines (see the script's help).
class BluezMock : public LineProcess {
public:
    bool Start(const QStringList &arguments, QString *error);
    // Sends a control line and waits until the mock has carried it out.
    bool Control(const QString &line);

private:
    int m_controls = 0;
};

// The simulated meter program, on a free port of 127.0.0.1.
class SimMeter : public LineProcess {
public:
    bool Start(const QStringList &arguments, QString *error);
    QString Endpoint() const { return m_endpoint; }

private:
    QString m_endpoint;
};

} // namespace qtbletest
