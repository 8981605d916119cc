// The measurement table's own costs on a full download's worth of records:
// decoding the meter's records, merging them into an empty and into a full
// table, and the CSV save next to a plain write of the same bytes; each per
// record at 1k, 8k and 65k records to show how it grows. Then the workbook
// save of the full table.

#include "data/config.h"
#include "bench/benchclock.h"
#include "protocol/records.h"
#include "sim/meterlogic.h"
#include "data/csv.h"
#include "data/filewrite.h"
#include "data/meastable.h"
#include "data/workbook.h"
#include "os/files.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>


#include <algorithm>
#include <array>
#include <functional>
#include <vector>

namespace bench {
namespace {

const QString ConfigPath = QStringLiteral(TARVOLIN_SOURCE_DIR "/resources/ZEVQ-BLE.INI");
constexpr int Sizes[] = {1000, 8000, 65535};
constexpr int Rounds = 7;

// Best of `Rounds`, in ms; `prepare` runs untimed before each round.
double bestMs(const std::function<void()> &prepare, const std::function<void()> &work)
{
    double best = 1e12;
    for (int round = 0; round < Rounds; ++round) {
        prepare();
        const qint64 start = NowNs();
        work();
        best = std::min(best, Ms(NowNs() - start));
    }
    return best;
}

struct Figures {
    double decode = 0;
    double mergeEmpty = 0;
    double mergeFull = 0;
    double csvSave = 0;
    double rawWrite = 0;     // the same bytes, written and flushed to disk
    double plainWrite = 0;   // the same bytes, left in the page cache
    double workbookSave = 0; // at 65k only: WorkbookBytes + WriteFileReplacing
};

class TableBench {
public:
    TableBench()
    {
        QString error;
        if (!data::LoadFieldList(ConfigPath, m_fields, &error))
            qFatal("%s", qPrintable(error));
        m_layout = data::RecordLayout(m_fields.items);
        m_captions = data::ShownCaptions(m_fields.items);
        QList<sim::RecordField> simLayout;
        if (!sim::LoadRecordLayout(ConfigPath, &simLayout, &error))
            qFatal("%s", qPrintable(error));
        m_meter.SetLayout(simLayout);
    }

    Figures Measure(int count)
    {
        QByteArray bytes;
        for (int number = 1; number <= count; ++number)
            bytes += m_meter.MakeRecord(number);
        const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.constData());
        const auto size = static_cast<std::size_t>(m_fields.recordSize);

        Figures f;
        QList<QStringList> batch;
        f.decode = bestMs([&] { batch.clear(); }, [&] {
            batch.reserve(count);
            for (int k = 0; k < count; ++k)
                batch.append(protocol::DecodeRecord(m_layout, {data + std::size_t(k) * size, size}));
        });

        data::MeasTable table;
        f.mergeEmpty = bestMs([&] { table.SetCaptions(m_captions); }, [&] { table.Merge(batch); });
        f.mergeFull = bestMs([] {}, [&] { table.Merge(batch); });

        const QString csv = m_dir.filePath(QStringLiteral("records.csv"));
        const QString raw = m_dir.filePath(QStringLiteral("raw.csv"));
        QByteArray written;
        f.csvSave = bestMs([] {}, [&] {
            written = data::CsvBytes(table, QLatin1Char(';'));
            QString error;
            if (!data::WriteFileReplacing(csv, written, &error))
                qFatal("%s", qPrintable(error));
        });
        // The save replaces the old file only once the new one is on disk;
        // the reference pays for the same durability.
        const auto rawWrite = [&](bool durable) {
            QFile file(raw);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(written) != written.size()
                || !file.flush() || (durable && !os::SyncToDisk(file.handle())))
                qFatal("cannot write %s", qPrintable(raw));
        };
        f.rawWrite = bestMs([] {}, [&] { rawWrite(true); });
        f.plainWrite = bestMs([] {}, [&] { rawWrite(false); });
        if (count == Sizes[2])
            f.workbookSave = WorkbookSaveMs(table);
        return f;
    }

private:
    // Best of three: a workbook save takes long enough for the clock.
    double WorkbookSaveMs(const data::MeasTable &table)
    {
        const QString path = m_dir.filePath(QStringLiteral("records.xlsx"));
        double best = 1e12;
        for (int round = 0; round < 3; ++round) {
            const qint64 start = NowNs();
            QByteArray bytes;
            QString error;
            if (!data::WorkbookBytes(table, &bytes, &error) || !data::WriteFileReplacing(path, bytes, &error))
                qFatal("%s", qPrintable(error));
            best = std::min(best, Ms(NowNs() - start));
        }
        return best;
    }

    data::FieldList m_fields;
    std::vector<protocol::RecordField> m_layout;
    QStringList m_captions;
    sim::MeterLogic m_meter;
    QTemporaryDir m_dir;
};

QString perRecord(double ms, int count)
{
    return QStringLiteral("%1 us").arg(Fixed(ms * 1000.0 / count, 2));
}

// Per-record cost at 65k against 8k: linear growth keeps it near 1, a
// quadratic one would make it 8.2. Between the two lies the step of a table
// that no longer fits the cache, up to about 3 for the cheapest figures on a
// loaded machine. (At 1k the figures are too small for the clock to judge
// by.)
void growthRow(const QString &what, const std::array<double, 3> &ms)
{
    const double factor = (ms[2] / Sizes[2]) / (ms[1] / Sizes[1]);
    Row(QStringLiteral("Growth of %1, per record at 1k / 8k / 65k").arg(what),
        QStringLiteral("%1 / %2 / %3").arg(perRecord(ms[0], Sizes[0]), perRecord(ms[1], Sizes[1]),
                                           perRecord(ms[2], Sizes[2])),
        QStringLiteral("65k/8k %1 x").arg(Fixed(factor, 2)), QStringLiteral("linear (65k/8k <= 4 x)"), factor <= 4.0);
}

// The configuration load with 500, 1k and 2k PDATA keys, once each (a slow
// load takes seconds): per key it must stay flat, as 100,000 keys are to
// load in under a second.
void configGrowthRow()
{
    QTemporaryDir dir;
    const int keys[] = {500, 1000, 2000};
    double perKeyUs[3] = {};
    for (int i = 0; i < 3; ++i) {
        const QString path = dir.filePath(QStringLiteral("keys%1.INI").arg(keys[i]));
        QFile file(path);
        QByteArray text = "[DATA]\n";
        for (int key = 1; key <= keys[i]; ++key)
            text += "PDATA" + QByteArray::number(key) + "=F" + QByteArray::number(key) + ",4\n";
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(path));
        file.close();
        data::FieldList fields;
        QString error;
        const qint64 start = NowNs();
        if (!data::LoadFieldList(path, fields, &error))
            qFatal("%s", qPrintable(error));
        const double ms = Ms(NowNs() - start);
        perKeyUs[i] = ms * 1000.0 / keys[i];
    }
    const double factor = perKeyUs[2] / perKeyUs[0];
    Row(QStringLiteral("Growth of the configuration load, per key at 500 / 1k / 2k keys"),
        QStringLiteral("%1 / %2 / %3 us").arg(Fixed(perKeyUs[0], 1), Fixed(perKeyUs[1], 1), Fixed(perKeyUs[2], 1)),
        QStringLiteral("2k/500 %1 x; 100k keys >= %2 s at the 2k rate")
            .arg(Fixed(factor, 2), Fixed(perKeyUs[2] * 0.1, 0)),
        QStringLiteral("linear (2k/500 <= 2 x)"), factor <= 2.0);
}

int run()
{
    TableBench bench;
    Figures all[3];
    for (int i = 0; i < 3; ++i)
        all[i] = bench.Measure(Sizes[i]);
    const Figures &full = all[2];
    Row(QStringLiteral("Merge 65,535 records into an empty table"), QStringLiteral("%1 ms").arg(Fixed(full.mergeEmpty)),
        QStringLiteral("decode %1 ms").arg(Fixed(full.decode)), QStringLiteral("< 300 ms"), full.mergeEmpty < 300);
    Row(QStringLiteral("Merge 65,535 records into a full table"), QStringLiteral("%1 ms").arg(Fixed(full.mergeFull)),
        QStringLiteral("decode %1 ms").arg(Fixed(full.decode)), QStringLiteral("< 300 ms"), full.mergeFull < 300);
    const double ratio = full.csvSave / full.rawWrite;
    Row(QStringLiteral("CSV save of 65,535 rows"),
        QStringLiteral("%1 ms = %2 x").arg(Fixed(full.csvSave), Fixed(ratio, 2)),
        QStringLiteral("write + fsync %1 ms (no fsync %2 ms)").arg(Fixed(full.rawWrite), Fixed(full.plainWrite)), QStringLiteral("<= 3 x, < 500 ms"),
        ratio <= 3.0 && full.csvSave < 500);
    Row(QStringLiteral("Workbook save of 65,535 rows"), QStringLiteral("%1 ms").arg(Fixed(full.workbookSave)),
        QStringLiteral("CSV save %1 ms").arg(Fixed(full.csvSave)), QStringLiteral("< 2,000 ms"),
        full.workbookSave < 2000);
    const auto series = [&](double Figures::*field) {
        return std::array<double, 3>{all[0].*field, all[1].*field, all[2].*field};
    };
    for (const auto &[name, field] : {std::pair{QStringLiteral("decode"), &Figures::decode},
                                      std::pair{QStringLiteral("merge into empty"), &Figures::mergeEmpty},
                                      std::pair{QStringLiteral("merge into full"), &Figures::mergeFull},
                                      std::pair{QStringLiteral("CSV save"), &Figures::csvSave}}) {
        growthRow(name, series(field));
    }
    configGrowthRow();
    return 0;
}

} // namespace
} // namespace bench

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    return bench::run();
}
