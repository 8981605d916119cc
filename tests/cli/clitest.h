#pragma once
// tarvolin-cli as a script runs it: the built tool as a process against a
// simulated meter on a thread of the test, so what the meter received can be
// checked byte for byte. The tool runs on the real pauses, so each case is
// one path a user takes, with as few runs as it needs. Shared by the tool's
// test executables.

#include "data/config.h"
#include "data/csv.h"
#include "data/meastable.h"
#include "data/titem.h"
#include "protocol/records.h"
#include "sim/meterlogic.h"
#include "sim/simmeterthread.h"
#include "tests/support/testfiles.h"

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

namespace clitest {

using protocol::ParameterBlock;

inline const QString kConfig = QStringLiteral(TARVOLIN_CONFIG);
inline const QString kLost = QStringLiteral("Connection lost or unrecoverable transmission error.");

struct Result {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// The shared richer block, with records stored.
inline ParameterBlock StartBlock()
{
    ParameterBlock b = testsupport::RicherBlock();
    sim::MeterLogic::SetUsageCount(b, 3);
    sim::MeterLogic::SetChecksum(b);
    return b;
}

inline QString DateText(const ParameterBlock &b, int at)
{
    return QDate(2000 + b[at], b[at + 1] + 1, b[at + 2] + 1).toString(QStringLiteral("yyyy-MM-dd"));
}

inline bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QString AddressOf(const sim::SimMeterThread &meter)
{
    return QStringLiteral("127.0.0.1:%1").arg(meter.Port());
}

inline bool EverConnected(const sim::SimMeterThread &meter)
{
    return meter.ReceivedLines().contains("CONNECT");
}

// The meter, its folder and the tool's runs; each test class starts it in
// initTestCase (Start) and resets it in init (Reset).
class CliTest : public QObject {
protected:
    void Start()
    {
        QVERIFY(m_dir.isValid());
        QString error;
        QVERIFY2(sim::LoadRecordLayout(kConfig, &m_layout, &error), qPrintable(error));
        QVERIFY(m_meter.Start());
    }
    void Reset()
    {
        m_meter.SetFaults({});
        m_meter.SetAdvertisement({});
        m_meter.SetLayout(m_layout);
        m_meter.SetBlock(StartBlock());
    }

    void Launch(QProcess &process, const QStringList &arguments, const QStringList &environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("TARVOLIN_LINK"));
        for (const char *name : {"TARVOLIN_ADDRESS", "QT_LOGGING_RULES", "QT_LOGGING_CONF"})
            env.remove(QString::fromLatin1(name));
        for (const QString &setting : environment)
            env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(TARVOLIN_CLI),
                      QStringList{QStringLiteral("--link"), m_meter.LinkValue(), QStringLiteral("--scan-seconds"),
                                  QStringLiteral("5")}
                          + arguments);
    }

    Result Tool(const QStringList &arguments, const QStringList &environment = {})
    {
        QProcess process;
        Launch(process, arguments, environment);
        Result r;
        if (!process.waitForFinished(40000) || process.exitStatus() != QProcess::NormalExit)
            return r;
        r.code = process.exitCode();
        r.out = process.readAllStandardOutput();
        r.err = process.readAllStandardError();
        return r;
    }

    // The table after the window merged the meter's records from..to: the
    // program's own field list, the meter's own records.
    bool ExpectedTable(int from, int to, data::MeasTable &table) const
    {
        data::FieldList fields;
        QString error;
        if (!data::LoadFieldList(kConfig, fields, &error))
            return false;
        const std::vector<protocol::RecordField> layout = data::RecordLayout(fields.items);
        table.SetCaptions(data::ShownCaptions(fields.items));
        QList<QStringList> batch;
        for (int n = from; n <= to; ++n) {
            QByteArray record;
            m_meter.Run([&](sim::SimPeripheral &p) { record = p.Meter().MakeRecord(n); });
            batch << protocol::DecodeRecord(
                layout, {reinterpret_cast<const std::uint8_t *>(record.constData()), std::size_t(record.size())});
        }
        table.Merge(batch);
        return true;
    }

    // What "Save" writes as CSV after that merge.
    QByteArray ExpectedCsv(int from, int to, QChar separator, data::CsvEncoding encoding) const
    {
        data::MeasTable table;
        return ExpectedTable(from, to, table) ? data::CsvBytes(table, separator, encoding) : QByteArray();
    }
    QString Path(const QString &name) const { return m_dir.filePath(name); }

    sim::SimMeterThread m_meter;
    QList<sim::RecordField> m_layout;
    QTemporaryDir m_dir;
};

} // namespace clitest
