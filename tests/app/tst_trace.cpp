// The protocol trace: the window and the tool, reading the same meter, trace
// the same frames; a trace file that cannot be made is said and the program
// goes on.
#include "tests/support/e2e.h"

#include <QProcess>
#include <QRegularExpression>

using testsupport::EndToEnd;

namespace {

// The chunks written and the notifications received from the block request
// (19) on, in order, without keep-alive pings and their echoes. What the
// meter sends in answer to the unanswered 84 is its live reading, which
// moves on between two connections.
QStringList frames(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read ") + path};
    QStringList out;
    bool blockAsked = false;
    const QRegularExpression event(QStringLiteral("^\\s*\\d+ (\\S+)\\s+(chunk written|notification) (.*)$"));
    for (const QByteArray &line : file.readAll().split('\n')) {
        const auto m = event.match(QString::fromUtf8(line));
        if (!m.hasMatch() || m.captured(3).endsWith(QStringLiteral(": 14")))
            continue;
        const QString frame = m.captured(2) + QLatin1Char(' ') + m.captured(3);
        blockAsked = blockAsked || frame == QStringLiteral("chunk written 1: 13");
        if (m.captured(2) == QStringLiteral("chunk written") || blockAsked)
            out << frame;
    }
    return out;
}

} // namespace

class TraceTest : public QObject {
    Q_OBJECT
private slots:
    void windowAndToolTraceTheSameRead();
    void traceThatCannotBeCreatedIsSaid();
};

void TraceTest::windowAndToolTraceTheSameRead()
{
    QTemporaryDir traces;
    const QString windowTrace = traces.filePath("window.trace");
    qputenv("TARVOLIN_TRACE", windowTrace.toLocal8Bit());
    {
        EndToEnd e;
        QVERIFY(e.Start());
        QVERIFY(e.Connect());
        e.form->close(); // 25 goes out before the link goes off
        qunsetenv("TARVOLIN_TRACE");
        e.form = nullptr;

        const QString toolTrace = traces.filePath("tool.trace");
        QProcess tool;
        tool.start(QStringLiteral(TARVOLIN_CLI),
                   {"--link", e.meter.LinkValue(), "--config", e.dir.filePath("ZEVQ-BLE.INI"), "--trace", toolTrace,
                    "read"});
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 0);

        const QStringList fromWindow = frames(windowTrace);
        const QStringList fromTool = frames(toolTrace);
        // 84, 19, the 517-byte block in its notifications, 25.
        QVERIFY2(fromWindow.size() > 4, qPrintable(fromWindow.join('\n')));
        QCOMPARE(fromWindow.first(), QString("chunk written 1: 54"));
        QCOMPARE(fromWindow.last(), QString("chunk written 1: 19"));
        QCOMPARE(fromTool, fromWindow);
    }
    QFile file(windowTrace);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    // Both threads write, each line says which.
    QVERIFY(text.contains(QRegularExpression("^\\s*\\d+ main\\s+link-up stage 5$", QRegularExpression::MultilineOption)));
    QVERIFY(text.contains(QRegularExpression("^\\s*\\d+ worker\\s+exchange end: ok, received 517$",
                                             QRegularExpression::MultilineOption)));
}

void TraceTest::traceThatCannotBeCreatedIsSaid()
{
    qputenv("TARVOLIN_TRACE", "/nonexistent-folder/tarvolin.trace");
    EndToEnd e;
    QVERIFY(e.Start());
    qunsetenv("TARVOLIN_TRACE");
    QCOMPARE(e.prompts.texts().size(), 1);
    QVERIFY(e.prompts.texts().first().startsWith("Cannot create file \"/nonexistent-folder/tarvolin.trace\". "));
    QVERIFY(e.Connect()); // the program goes on, without a trace
}

QTEST_MAIN(TraceTest)
#include "tst_trace.moc"
