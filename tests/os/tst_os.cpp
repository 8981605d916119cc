// The operating-system layer's behaviours that differ between POSIX and
// Windows, with names that are not ASCII.
#include "os/console.h"
#include "os/files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kName = QStringLiteral("Meßwerte-測定");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestOs : public QObject {
    Q_OBJECT

private slots:
    // Two spellings of one file share the system's identity; two files,
    // however alike, do not (Windows' st_ino is 0 for every file).
    void sameFile_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("same");
        QTest::newRow("itself") << "a.csv" << "a.csv" << true;
        QTest::newRow("another spelling") << "a.csv" << "./sub/../a.csv" << true;
        QTest::newRow("two files") << "a.csv" << "b.csv" << false;
        QTest::newRow("a file and its folder") << "a.csv" << "." << false;
    }
    void sameFile()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, same);
        QTemporaryDir dir;
        const QDir base(dir.filePath(kName));
        QVERIFY(QDir().mkpath(base.filePath(QStringLiteral("sub"))));
        QVERIFY(put(base.filePath(QStringLiteral("a.csv")), "same"));
        QVERIFY(put(base.filePath(QStringLiteral("b.csv")), "same"));
        const os::FileFacts one = os::FactsOfPath(base.filePath(first));
        const os::FileFacts two = os::FactsOfPath(base.filePath(second));
        QCOMPARE(one.type, os::FileFacts::Regular);
        QVERIFY(!one.identity.isEmpty());
        QCOMPARE(one.identity == two.identity, same);
    }

    // What a path is.
    void typeOfPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("type");
        QTest::newRow("file") << "a.csv" << int(os::FileFacts::Regular);
        QTest::newRow("folder") << "." << int(os::FileFacts::Folder);
        QTest::newRow("missing") << "none.csv" << int(os::FileFacts::Missing);
        QTest::newRow("in a missing folder") << "none/a.csv" << int(os::FileFacts::Missing);
        QTest::newRow("null device") << os::NullDeviceName() << int(os::FileFacts::Device);
    }
    void typeOfPath()
    {
        QFETCH(QString, path);
        QFETCH(int, type);
        QTemporaryDir dir;
        const QDir base(dir.filePath(kName));
        QVERIFY(base.mkpath(QStringLiteral(".")));
        QVERIFY(put(base.filePath(QStringLiteral("a.csv")), "x"));
        const QString full = path == os::NullDeviceName() ? path : base.filePath(path);
        QCOMPARE(int(os::FactsOfPath(full).type), type);
        QCOMPARE(os::FolderTakesNewFiles(full), type == os::FileFacts::Folder);
    }

    // Neither a file nor the null device is a terminal (Windows' _isatty
    // says yes to the null device).
    void terminalOrNot_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("file") << kName;
        QTest::newRow("null device") << os::NullDeviceName();
    }
    void terminalOrNot()
    {
        QFETCH(QString, path);
        QTemporaryDir dir;
        const QString full = path == os::NullDeviceName() ? path : dir.filePath(path);
        const std::unique_ptr<std::FILE, int (*)(std::FILE *)> stream(os::OpenFile(full, "wb"), std::fclose);
        QVERIFY(stream);
        QVERIFY(!os::IsTerminal(stream.get()));
    }

    // Both ways of saving leave the new bytes and nothing beside them, over
    // a longer, a shorter or no old file; a save that cannot be made leaves
    // the old file as it was.
    void save_data()
    {
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<QByteArray>("old"); // "-": no old file
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray longer(100000, 'L');
        for (const bool inPlace : {false, true}) {
            const char *way = inPlace ? "in place" : "beside";
            QTest::addRow("%s, no old file", way) << inPlace << QByteArray("-") << QByteArray("new");
            QTest::addRow("%s, over a longer one", way) << inPlace << longer << QByteArray("new");
            QTest::addRow("%s, over a shorter one", way) << inPlace << QByteArray("old") << longer;
            QTest::addRow("%s, nothing", way) << inPlace << QByteArray("old") << QByteArray();
        }
    }
    void save()
    {
        QFETCH(bool, inPlace);
        QFETCH(QByteArray, old);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath(kName + QStringLiteral(".csv"));
        if (old != "-")
            QVERIFY(put(path, old));
        QString reason;
        bool noFileBeside = false;
        if (inPlace)
            QCOMPARE(os::WriteInPlace(path, bytes, &reason), os::Overwrite::Written);
        else
            QVERIFY2(os::ReplaceWhole(path, bytes, &reason, &noFileBeside), qPrintable(reason));
        QCOMPARE(readAll(path), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{kName + QStringLiteral(".csv")});
    }
    void saveThatCannotBeMade()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("none/") + kName);
        QString reason;
        bool noFileBeside = false;
        QVERIFY(!os::ReplaceWhole(path, "new", &reason, &noFileBeside));
        QVERIFY(noFileBeside);
        QVERIFY(!reason.isEmpty());
        reason.clear();
        QCOMPARE(os::WriteInPlace(path, "new", &reason), os::Overwrite::Unchanged);
        QVERIFY(!reason.isEmpty());
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestOs)
#include "tst_os.moc"
