#pragma once
// What the tool says about itself (--version), and the quiet it keeps about
// the warnings of the libraries under it.

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QString>

namespace cli {

// "tarvolin-cli 2.2.0": the tool as its trace names it.
inline QString ProgramAndVersion()
{
    return QStringLiteral("tarvolin-cli %1").arg(QCoreApplication::applicationVersion());
}

// "tarvolin-cli 2.2.0 (Qt 6.4.2)": the tool's version and that of the Qt it
// runs on (which may differ from the one it was built with).
inline QString VersionText()
{
    return QStringLiteral("%1 (Qt %2)").arg(ProgramAndVersion(), QString::fromLatin1(qVersion()));
}

// Qt's Bluetooth and D-Bus layers warn on stderr about what the tool says in
// its own words (no adapter, a scan BlueZ refused), some of it through Qt's
// categories and some without one ("default"; the tool itself never warns
// there). Those warnings are left out unless the user asks for Qt's logging
// (QT_LOGGING_RULES or QT_LOGGING_CONF, which then decide alone).
inline void QuietQtLogging()
{
    if (qEnvironmentVariableIsSet("QT_LOGGING_RULES") || qEnvironmentVariableIsSet("QT_LOGGING_CONF"))
        return;
    QLoggingCategory::setFilterRules(QStringLiteral("qt.*.warning=false\ndefault.warning=false"));
}

} // namespace cli
