#include "bluezbus.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

namespace qtbletest {

QString SystemPython()
{
    if (QFileInfo::exists(QStringLiteral("/usr/bin/python3")))
        return QStringLiteral("/usr/bin/python3");
    return QStandardPaths::findExecutable(QStringLiteral("python3"));
}

QString MissingTools()
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        return QStringLiteral("dbus-daemon is not installed (Debian package dbus)");
    const QString python = SystemPython();
    if (python.isEmpty())
        return QStringLiteral("python3 is not installed");
    QProcess probe;
    probe.start(python, {QStringLiteral("-c"),
                         QStringLiteral("import dbus, dbusmock; from gi.repository import GLib")});
    if (!probe.waitForFinished(15000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        return QStringLiteral("python3-dbusmock is not installed for %1").arg(python);
    return {};
}

// --- PrivateSystemBus -----------------------------------------------------------

PrivateSystemBus::~PrivateSystemBus()
{
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }
}

bool PrivateSystemBus::Start(QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    // Anyone may own any name and talk to anyone: the mock has to own
    // org.bluez, which the distribution's system policy reserves.
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1").arg(config);
        return false;
    }
    file.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:dir=" + m_dir.path().toUtf8() + "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n");
    file.close();

    m_daemon.setProcessChannelMode(QProcess::SeparateChannels);
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                    QStringLiteral("--print-address")});
    if (!m_daemon.waitForStarted(5000)) {
        *error = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
        return false;
    }
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(5000)) {
            *error = QStringLiteral("dbus-daemon printed no address: ") +
                     QString::fromLocal8Bit(m_daemon.readAllStandardError());
            return false;
        }
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    return true;
}

// --- LineProcess ----------------------------------------------------------------

LineProcess::LineProcess()
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { Read(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_errors += m_process.readAllStandardError(); });
}

LineProcess::~LineProcess()
{
    Stop();
}

bool LineProcess::Start(const QString &program, const QStringList &arguments, const QString &ready,
                        int ms, QString *error)
{
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000)) {
        *error = QStringLiteral("%1 did not start: %2").arg(program, m_process.errorString());
        return false;
    }
    if (!QTest::qWaitFor([&] { return !Lines(ready).isEmpty() || !IsRunning(); }, ms) ||
        Lines(ready).isEmpty()) {
        *error = QStringLiteral("%1 did not get ready: %2").arg(program, Output());
        return false;
    }
    return true;
}

void LineProcess::Stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    if (m_endsWithInput)
        m_process.closeWriteChannel();
    else
        m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

void LineProcess::Read()
{
    m_pending += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_pending.left(end)).trimmed());
        m_pending.remove(0, end + 1);
    }
}

QStringList LineProcess::Lines() const
{
    return m_lines;
}

QStringList LineProcess::Lines(const QString &prefix) const
{
    QStringList found;
    for (const QString &line : m_lines)
        if (line == prefix || line.startsWith(prefix + QLatin1Char(' ')))
            found.append(line);
    return found;
}

bool LineProcess::WaitForLines(const QString &prefix, int count, int ms)
{
    return QTest::qWaitFor([&] { return Lines(prefix).size() >= count; }, ms);
}

QString LineProcess::Output() const
{
    return m_lines.join(QLatin1Char('\n')) + QLatin1Char('\n') + QString::fromLocal8Bit(m_errors);
}

// --- BluezMock --------------------------------------------------------------------

bool BluezMock::Start(const QStringList &arguments, QString *error)
{
    return LineProcess::Start(SystemPython(), QStringList{QStringLiteral(BLUEZ_MOCK_SCRIPT)} + arguments,
                              QStringLiteral("READY"), 20000, error);
}

bool BluezMock::Control(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
    ++m_controls;
    return WaitForLines(QStringLiteral("OK"), m_controls, 5000);
}

// --- SimMeter -----------------------------------------------------------------------

bool SimMeter::Start(const QStringList &arguments, QString *error)
{
#ifdef ZEVQ_SIM
    const QString program = QStringLiteral(ZEVQ_SIM);
#else
    const QString program = QStringLiteral("zevq-sim");
#endif
    const QString ready = QStringLiteral("zevq-sim listening on");
    m_endsWithInput = false;
    if (!LineProcess::Start(program, QStringList{QStringLiteral("--port"), QStringLiteral("0")} + arguments,
                            ready, 10000, error))
        return false;
    m_endpoint = Lines(ready).constFirst().section(QLatin1Char(' '), -1);
    return true;
}

} // namespace qtbletest
