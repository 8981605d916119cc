#pragma once
// One clock for every stamp of the benches, whichever thread takes it, and
// the row format the bench script gathers into its table.

#include <QString>
#include <QTextStream>

#include <chrono>

namespace bench {

inline qint64 NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double Ms(qint64 ns)
{
    return double(ns) / 1e6;
}

// One row of the table: what was measured, the figure, the reference taken
// in the same run, the goal and whether the figure meets it. Fields are
// separated by '|'; scripts/bench.sh lines them up.
inline void Row(const QString &what, const QString &figure, const QString &reference, const QString &goal,
                bool met)
{
    QTextStream(stdout) << "ROW|" << what << '|' << figure << '|' << reference << '|' << goal << '|'
                        << (met ? "PASS" : "MISS") << Qt::endl;
}

// A row without a goal of its own (a reference, a growth step).
inline void Info(const QString &what, const QString &figure, const QString &reference)
{
    QTextStream(stdout) << "ROW|" << what << '|' << figure << '|' << reference << "|-|-" << Qt::endl;
}

inline QString Fixed(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

} // namespace bench
