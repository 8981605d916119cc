// Where the tool's results go and what ends it: -o to files, devices and
// pipes, a full disk, signals.

#include "tests/cli/clitest.h"

#include "cli/files.h"
#include "sim/meterlogic.h"
#include "data/csv.h"
#include "tests/support/hexrecords.h"
#include "tests/support/testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace clitest;

class TestCliFiles : public CliTest {
    Q_OBJECT
private slots:
    void initTestCase() { Start(); }
    void init() { Reset(); }
    void outputTargetJudging_data();
    void outputTargetJudging();
    void fullDiskKeepsTheOldFile();
    void linkIntoAMissingFolderIsRefusedBeforeConnecting();
    void outputToAPipeIsAStream_data();
    void outputToAPipeIsAStream();
    void signalsEndTheToolAtOnce();
    void terminalGetsUtf8_data();
    void terminalGetsUtf8();
    void fileNameInTheQuestionCannotDriveTheTerminal();
};

void TestCliFiles::outputTargetJudging_data()
{
    using F = cli::PathFacts;
    using T = cli::OutputTarget;
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("sameAsStdout");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<bool>("fileWritable");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no -o") << "" << int(F::Missing) << false << false << false << true << int(T::Stdout) << "";
    QTest::newRow("-") << "-" << int(F::Missing) << false << false << false << true << int(T::Stdout) << "";
    QTest::newRow("/dev/stdout, a pipe")
        << "/dev/stdout" << int(F::Pipe) << true << true << false << true << int(T::Stdout) << "";
    QTest::newRow("stdout's file") << "log" << int(F::Regular) << true << true << true << true << int(T::Stdout) << "";
    QTest::newRow("device") << "x" << int(F::Device) << false << true << false << true << int(T::Stream) << "";
    QTest::newRow("pipe") << "p" << int(F::Pipe) << false << true << false << true << int(T::Stream) << "";
    QTest::newRow("folder") << "/tmp" << int(F::Folder) << false << true << true << true << int(T::Refused)
                            << "It is a folder.";
    QTest::newRow("socket") << "s" << int(F::Other) << false << true << true << true << int(T::Refused)
                            << "It is neither a file nor a device nor a pipe.";
    QTest::newRow("trailing slash") << "out/" << int(F::Missing) << false << true << true << true << int(T::Refused)
                                    << "It names a folder.";
    QTest::newRow("no folder") << "no/x" << int(F::Missing) << false << false << false << true << int(T::Refused)
                               << "Its folder does not exist.";
    QTest::newRow("closed folder") << "x" << int(F::Regular) << false << true << false << true << int(T::Refused)
                                   << "Its folder takes no new files.";
    QTest::newRow("old file") << "x" << int(F::Regular) << false << true << true << true << int(T::File) << "";
    QTest::newRow("read-only file") << "x" << int(F::Regular) << false << true << true << false << int(T::Refused)
                                    << "The file is read-only.";
    QTest::newRow("new file") << "x" << int(F::Missing) << false << true << true << true << int(T::File) << "";
}

void TestCliFiles::outputTargetJudging()
{
    QFETCH(QString, path);
    QFETCH(int, type);
    QFETCH(bool, sameAsStdout);
    QFETCH(bool, folderExists);
    QFETCH(bool, folderWritable);
    QFETCH(bool, fileWritable);
    QFETCH(int, kind);
    QFETCH(QString, reason);
    const cli::OutputTarget target =
        cli::JudgeOutput(path, {cli::PathFacts::Type(type), sameAsStdout, folderExists, folderWritable, fileWritable});
    QCOMPARE(int(target.kind), kind);
    QCOMPARE(target.reason, reason);
}

// A link whose file would go into a folder that is not there: the result
// could never be written, so nothing is connected for it.
void TestCliFiles::linkIntoAMissingFolderIsRefusedBeforeConnecting()
{
    const QString link = Path(QStringLiteral("dangling.csv"));
    QVERIFY(QFile::link(Path(QStringLiteral("gone/records.csv")), link));
    const qsizetype linesBefore = m_meter.ReceivedLines().size();
    const Result r = Tool({QStringLiteral("download"), QStringLiteral("-o"), link});
    QCOMPARE(r.code, 7);
    QVERIFY2(r.err.contains("Its folder does not exist."), r.err.constData());
    QCOMPARE(m_meter.ReceivedLines().size(), linesBefore);
}

// First as the report found it: a disk of one page whose folder takes no
// new files while the old file is writable (refused before connecting),
// then the folder open and the disk full (the download runs, the result
// cannot be written). The old file survives both, exit 7 each time. The
// tool runs in a mount namespace of its own (inside a user namespace where
// the test is not root) as root without a single capability, so the
// folder's mode binds it as it binds any user.
void TestCliFiles::fullDiskKeepsTheOldFile()
{
    ParameterBlock block = StartBlock();
    sim::MeterLogic::SetUsageCount(block, 60); // some 7 KB of CSV, more than the disk holds
    sim::MeterLogic::SetChecksum(block);
    m_meter.SetBlock(block);
    const QString script = QStringLiteral(R"(d=$1; out=$2; shift 2
mount -t tmpfs -o size=4k,mode=0555 tmpfs "$d" || exit 97
printf old >"$d/records.csv"
run() {
  setpriv --inh-caps=-all --bounding-set=-all -- "$@" download -o "$d/records.csv" 2>"$out/err$n"
  echo $? >"$out/code$n"; cat "$d/records.csv" >"$out/after$n"; ls -A "$d" >"$out/list$n"
}
n=1; run "$@"
chmod 0755 "$d"
n=2; run "$@"
)");
    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("disk")));
    QStringList arguments{QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private")};
    if (::geteuid() != 0)
        arguments = QStringList{QStringLiteral("--user"), QStringLiteral("--map-root-user")} + arguments;
    arguments << QStringLiteral("sh") << QStringLiteral("-c") << script << QStringLiteral("sh")
              << work.filePath(QStringLiteral("disk")) << work.path() << QStringLiteral(TARVOLIN_CLI)
              << QStringLiteral("--link") << m_meter.LinkValue() << QStringLiteral("--scan-seconds")
              << QStringLiteral("5");
    const auto connects = [this] { return m_meter.ReceivedLines().count("CONNECT"); };
    const qsizetype connectsBefore = connects();
    QProcess process;
    process.start(QStringLiteral("unshare"), arguments);
    QVERIFY(process.waitForFinished(60000));
    const auto result = [&](const char *name) { return testsupport::ReadAll(work.filePath(QLatin1String(name))); };
    if (process.exitCode() != 0 || result("code1").isEmpty())
        QSKIP(qPrintable(QStringLiteral("no small disk of our own here (needs unshare and tmpfs): ")
                         + QString::fromLocal8Bit(process.readAllStandardError())));
    QCOMPARE(result("code1"), QByteArray("7\n"));
    QVERIFY2(result("err1").contains("Its folder takes no new files."), result("err1").constData());
    QCOMPARE(result("after1"), QByteArray("old"));
    QCOMPARE(result("code2"), QByteArray("7\n"));
    QVERIFY2(result("err2").contains("No space left on device"), result("err2").constData());
    QCOMPARE(result("after2"), QByteArray("old"));
    QCOMPARE(result("list2"), QByteArray("records.csv\n"));
    QCOMPARE(connects() - connectsBefore, 1); // the first run never connected
}

// A pipe given as -o, and /dev/stdout into the pipe the test reads, get the
// result as a stream; the pipe is still a pipe.
void TestCliFiles::outputToAPipeIsAStream_data()
{
    QTest::addColumn<bool>("namedPipe");
    QTest::newRow("named pipe") << true;
    QTest::newRow("/dev/stdout into a pipe") << false;
}

void TestCliFiles::outputToAPipeIsAStream()
{
    QFETCH(bool, namedPipe);
    const QString fifo = Path(QStringLiteral("pipe"));
    QFile::remove(fifo);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // The test reads what the tool wrote once it is done: the result fits
    // the pipe's buffer.
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    const Result r = Tool({QStringLiteral("read"), QStringLiteral("-o"), namedPipe ? fifo : QStringLiteral("/dev/stdout")});
    QByteArray piped(1 << 16, '\0');
    const ssize_t n = ::read(reader, piped.data(), size_t(piped.size()));
    ::close(reader);
    piped.resize(std::max<ssize_t>(n, 0));
    QCOMPARE(r.code, 0);
    const QByteArray json = namedPipe ? piped : r.out;
    QVERIFY2(QJsonDocument::fromJson(json).object().value("serialNumber").toInt() == 40213, json.left(80).constData());
    QVERIFY((namedPipe ? r.out : piped).isEmpty());
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(fifo).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
}

// A FIFO as --config is refused before it is opened (opening it waited for
// a writer, deaf to signals); SIGTERM as soon as the tool listens for it,
// in the middle of its start, ends it with 130.
void TestCliFiles::signalsEndTheToolAtOnce()
{
    const QString fifo = Path(QStringLiteral("config-pipe"));
    QFile::remove(fifo);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const Result refused = Tool({QStringLiteral("--config"), fifo, QStringLiteral("read")});
    QCOMPARE(refused.code, 1);
    QVERIFY2(refused.err.contains("is not a regular file"), refused.err.constData());

    QProcess process;
    Launch(process, {QStringLiteral("read")});
    QVERIFY(process.waitForStarted(10000));
    QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
    const auto catchesTerm = [&] {
        if (!status.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = status.readAll();
        status.close();
        const qsizetype at = text.indexOf("SigCgt:");
        return at >= 0 && (text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed().toULongLong(nullptr, 16) &
                           (1ULL << (SIGTERM - 1)));
    };
    QDeadlineTimer deadline(10000);
    while (!catchesTerm() && !deadline.hasExpired())
        QThread::msleep(1);
    QVERIFY(!deadline.hasExpired());
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 130);
}

// The table on a terminal is UTF-8, whichever way stdout is named; the
// file format's UTF-16 would show strewn with NUL bytes.
void TestCliFiles::terminalGetsUtf8_data()
{
    QTest::addColumn<QStringList>("output");
    QTest::newRow("no -o") << QStringList{};
    QTest::newRow("-o -") << QStringList{QStringLiteral("-o"), QStringLiteral("-")};
    QTest::newRow("-o /dev/stdout") << QStringList{QStringLiteral("-o"), QStringLiteral("/dev/stdout")};
}

void TestCliFiles::terminalGetsUtf8()
{
    QFETCH(QStringList, output);
    int terminal = -1;
    int tool = -1;
    QVERIFY(::openpty(&terminal, &tool, nullptr, nullptr, nullptr) == 0);
    QProcess process;
    process.setChildProcessModifier([tool] { ::dup2(tool, STDOUT_FILENO); });
    Launch(process, QStringList{QStringLiteral("download"), QStringLiteral("--to"), QStringLiteral("2")} + output,
           {QStringLiteral("LC_ALL=C")});
    QVERIFY(process.waitForFinished(40000));
    ::close(tool);
    QCOMPARE(process.exitCode(), 0);
    QByteArray shown;
    char chunk[4096];
    for (ssize_t n; (n = ::read(terminal, chunk, sizeof chunk)) > 0;)
        shown.append(chunk, n);
    ::close(terminal);
    shown.replace("\r\n", "\n"); // the terminal's own line ends
    QCOMPARE(shown, ExpectedCsv(1, 2, QLatin1Char(','), data::CsvEncoding::Utf8));
}

// "Data file: ..." is what the technician confirms: a file name that holds
// an escape sequence must not rewrite it on the terminal.
void TestCliFiles::fileNameInTheQuestionCannotDriveTheTerminal()
{
    const QString path = Path(QStringLiteral("fw\x1b[2K\rok.hex"));
    QVERIFY(WriteFile(path, testsupport::SixLineFirmware().join("\r\n")));
    int terminal = -1;
    int tool = -1;
    QVERIFY(::openpty(&terminal, &tool, nullptr, nullptr, nullptr) == 0);
    QVERIFY(::write(terminal, "n\n", 2) == 2);
    QProcess process;
    process.setChildProcessModifier([tool] { ::dup2(tool, STDIN_FILENO); });
    Launch(process, {QStringLiteral("upload"), path});
    QVERIFY(process.waitForFinished(40000));
    ::close(tool);
    ::close(terminal);
    QCOMPARE(process.exitCode(), 1);
    const QByteArray said = process.readAllStandardError();
    QVERIFY2(said.contains("fw\\x1b[2K\\rok.hex\nUpload? [y/N] "), said.constData());
    QVERIFY(!said.contains('\x1b'));
    QVERIFY(said.contains("upload cancelled"));
}

QTEST_GUILESS_MAIN(TestCliFiles)
#include "tst_cli_files.moc"
