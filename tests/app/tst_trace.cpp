// The protocol trace: the window and the tool, reading the same meter, trace
// the same frames; a trace file that cannot be made is said and the program
// goes on.
#include "sim/replay.h"
#include "tests/support/e2e.h"

#include "views/widgets.h"

#include <QAction>
#include <QLabel>
#include <QMenu>

#include <QProcess>
#include <QSysInfo>
#include <QRegularExpression>

using testsupport::EndToEnd;
using testsupport::PickFromStatusMenu;

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
    void statusMenuSavesTheFlightRecord();
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

void TraceTest::statusMenuSavesTheFlightRecord()
{
    EndToEnd e; // no TARVOLIN_TRACE: the recorder runs all the same
    QVERIFY(e.Start());
    QVERIFY(e.Connect());
    QTest::mouseClick(e.form->Button2, Qt::LeftButton); // "Send parameters"
    QVERIFY(e.meter.WaitForCommand(sim::CodeReadParameters, 2, 10000));
    QVERIFY(e.WaitForState(devlink::Connected, 10000));

    // As while a dialog of the worker is up: the controls are disabled,
    // the menu is there.
    e.form->SetMainWindowEnabled(false);
    const QString path = e.dir.filePath("support.txt");
    e.prompts.fileNames.enqueue(path);
    PickFromStatusMenu(e.form, e.form->Label13, QStringLiteral("Save protocol trace..."));
    e.form->SetMainWindowEnabled(true);
    QCOMPARE(e.prompts.dialogs.size(), 1);
    QCOMPARE(e.prompts.dialogs[0].title, QString("Save protocol trace"));
    QCOMPARE(e.prompts.dialogs[0].filter, QString("Trace file (*.txt)"));
    QCOMPARE(e.prompts.dialogs[0].defaultExtension, QString("txt"));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY(text.startsWith("# Tarvolin protocol trace\n# program: Tarvolin 2.2\n"));
    QVERIFY(text.contains(QStringLiteral("\n# link: virtual link to 127.0.0.1:%1\n").arg(e.meter.Port())));
    QVERIFY(text.contains(QStringLiteral("\n# configuration: %1, record size ").arg(e.dir.filePath("ZEVQ-BLE.INI"))));
    // The frame of "Send parameters", every byte, and the meter's 6 after it.
    QByteArray sent;
    for (const QByteArray &frame : e.meter.Frames())
        if (frame.startsWith(char(sim::CodeWriteParameters)))
            sent = frame;
    QCOMPARE(sent.size(), 517);
    QString error;
    const std::optional<sim::RecordedMeter> recorded = sim::LoadTrace(path, &error);
    QVERIFY2(recorded, qPrintable(error));
    QCOMPARE(recorded->answers.count(sent), std::size_t(1));
    QCOMPARE(recorded->answers.at(sent).first().first().bytes, QByteArray("\x06"));

    PickFromStatusMenu(e.form, e.form->Shape1, QStringLiteral("About Tarvolin..."));
    QCOMPARE(e.prompts.messages.size(), 1);
    const testsupport::RecordedMessage about = e.prompts.messages[0];
    QCOMPARE(about.caption, QString("About Tarvolin"));
    for (const QString &part : {QStringLiteral("Tarvolin 2.2"), QStringLiteral("Qt %1").arg(qVersion()),
                                QSysInfo::prettyProductName(), QStringLiteral("virtual link to 127.0.0.1"),
                                e.dir.filePath("ZEVQ-BLE.INI")})
        QVERIFY2(about.text.contains(part), qPrintable(about.text));
    QCOMPARE(e.State(), devlink::Connected); // the menu changed nothing
}

QTEST_MAIN(TraceTest)
#include "tst_trace.moc"
