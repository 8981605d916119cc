// Cold start to the main window painted, as a whole process: this program
// starts itself again, which builds the program's windows exactly as its
// entry does and reports when the main window is first painted. The
// reference is a bare Qt program that paints one empty window.
//
//   bench_startup                  the table rows (runs the child modes)
//   bench_startup window CONFIG    child: the program's start-up
//   bench_startup bare             child: an empty window

#include "app/mainform.h"
#include "app/program.h"
#include "bench/benchclock.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <optional>

namespace bench {
namespace {

const QString SampleConfig = QStringLiteral(TARVOLIN_SOURCE_DIR "/resources/ZEVQ-BLE.INI");
constexpr int ChildLimitMs = 20000;
constexpr int ManyKeys = 100000;

// Ends the child at the first paint of `window` (or one of its controls),
// printing the time since the parent started it.
class FirstPaint final : public QObject {
public:
    QWidget *window = nullptr;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const auto *widget = qobject_cast<QWidget *>(watched);
        if (event->type() == QEvent::Paint && !m_done && widget && window && widget->window() == window) {
            m_done = true;
            const qint64 started = qEnvironmentVariable("BENCH_T0_NS").toLongLong();
            std::printf("%.1f\n", Ms(NowNs() - started));
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_done = false;
};

int runChild(int argc, char *argv[], const QString &mode, const QString &config)
{
    QApplication application(argc, argv);
    FirstPaint watch;
    app::Program program;
    QWidget bare;
    if (mode == QLatin1String("bare")) {
        watch.window = &bare;
        application.installEventFilter(&watch);
        bare.resize(400, 300);
        bare.show();
    } else {
        // StartProgram shows the window; it is painted once events run.
        application.installEventFilter(&watch);
        if (app::StartProgram(program, qEnvironmentVariable("TARVOLIN_LINK"), config) != 0)
            return 1;
        watch.window = program.mainWindow.get();
    }
    return application.exec();
}

// Milliseconds the child reported, or nullopt when it did not finish in time.
std::optional<double> timeChild(const QStringList &arguments)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("BENCH_T0_NS"), QString::number(NowNs()));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(ChildLimitMs)) {
        child.kill();
        child.waitForFinished();
        return std::nullopt;
    }
    bool ok = false;
    const double ms = child.readAllStandardOutput().trimmed().toDouble(&ok);
    if (!ok)
        return std::nullopt;
    return ms;
}

// Best of three cold starts.
std::optional<double> bestStart(const QStringList &arguments, int rounds = 3)
{
    std::optional<double> best;
    for (int round = 0; round < rounds; ++round) {
        const std::optional<double> ms = timeChild(arguments);
        if (!ms)
            return std::nullopt;
        best = best ? std::min(*best, *ms) : *ms;
    }
    return best;
}

QString msText(const std::optional<double> &ms)
{
    return ms ? QStringLiteral("%1 ms").arg(Fixed(*ms)) : QStringLiteral("> %1 s, stopped").arg(ChildLimitMs / 1000);
}

int runParent(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const std::optional<double> bare = bestStart({QStringLiteral("bare")});
    const std::optional<double> window = bestStart({QStringLiteral("window"), SampleConfig});
    Row(QStringLiteral("Cold start to the window shown"), msText(window),
        QStringLiteral("empty Qt window %1").arg(msText(bare)), QStringLiteral("< 300 ms"), window && *window < 300);

    QTemporaryDir dir;
    const QString many = dir.filePath(QStringLiteral("ZEVQ-BLE.INI"));
    QFile file(many);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(many));
    QByteArray text = "[DATA]\n";
    for (int key = 1; key <= ManyKeys; ++key)
        text += "PDATA" + QByteArray::number(key) + "=F" + QByteArray::number(key) + ",4\n";
    file.write(text);
    file.close();
    const std::optional<double> slow = bestStart({QStringLiteral("window"), many}, 1);
    Row(QStringLiteral("Start-up with 100,000 PDATA keys"), msText(slow),
        QStringLiteral("sample file %1").arg(msText(window)), QStringLiteral("load < 1 s"), slow && *slow < 1000);
    return 0;
}

} // namespace
} // namespace bench

int main(int argc, char *argv[])
{
    const QString mode = argc >= 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("bare") || (mode == QLatin1String("window") && argc >= 3))
        return bench::runChild(argc, argv, mode, QString::fromLocal8Bit(argv[2 < argc ? 2 : 1]));
    return bench::runParent(argc, argv);
}
