// Range mapping templates: the file as written, loading it back, the line
// ends and marks it must accept, and failures that must change nothing.

#include "tests/support/filesizelimit.h"
#include "tests/support/testfiles.h"
#include "tests/support/scriptedprompts.h"
#include "tests/views/pageform.h"

#include "data/templatefile.h"

#include <QBuffer>
#include <QComboBox>
#include <QFile>
#include <QFileDevice>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::PageForm;
using testsupport::ScriptedPrompts;

namespace {

using testsupport::ReadAll;
using testsupport::WriteAll;

// The 189 grid lines of rows 1..9, with `entry` giving each entry's text.
QList<QByteArray> GridLines(const std::function<QByteArray(int)> &entry)
{
    QList<QByteArray> lines;
    for (int r = 1; r <= 9; ++r) {
        lines << QByteArray::number(20 * (r - 1));
        for (int c = 1; c <= 20; ++c)
            lines << entry(20 * (r - 1) + c - 1);
    }
    return lines;
}

} // namespace

class TestTemplates : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void savedFileIsExact()
    {
        PageForm page;
        ScriptedPrompts prompts;
        page.setActiveCount(180);
        page->Button5Click();
        const QString path = m_dir.filePath("reset.zvq");
        prompts.fileNames.enqueue(path);
        QTest::mouseClick(page->Button7, Qt::LeftButton);
        QVERIFY2(prompts.messages.isEmpty(), qPrintable(prompts.texts().join('|')));

        const views::FileDialogOptions &dialog = prompts.dialogs.at(0);
        QCOMPARE(dialog.title, QStringLiteral("Save range maping template"));
        QCOMPARE(dialog.filter, QStringLiteral("ZEVQ range maping (*.zvq)"));
        QCOMPARE(dialog.defaultExtension, QStringLiteral("ZVQ"));
        QVERIFY(dialog.promptOverwrite);

        QList<QByteArray> lines{"179"};
        lines << GridLines([](int e) { return QByteArray::number(e + 1); });
        QCOMPARE(lines.size(), 190);
        QCOMPARE(ReadAll(path), "\xEF\xBB\xBF" + lines.join("\r\n") + "\r\n");
    }

    void roundTripRestoresCountAndCells()
    {
        const QString path = m_dir.filePath("round.zvq");
        PageForm source;
        {
            ScriptedPrompts prompts;
            source.setActiveCount(37);
            for (int e = 0; e < 180; ++e)
                source.setEntry(e, e % 5 == 0 ? QString() : QStringLiteral("ä%1x").arg(e));
            source.setCell(0, 4, QStringLiteral("label"));
            prompts.fileNames.enqueue(path);
            source->Button7Click();
        }
        PageForm target;
        ScriptedPrompts prompts;
        prompts.fileNames.enqueue(path);
        QTest::mouseClick(target->Button8, Qt::LeftButton);
        QVERIFY2(prompts.messages.isEmpty(), qPrintable(prompts.texts().join('|')));
        QCOMPARE(prompts.dialogs.at(0).title, QStringLiteral("Load range maping template"));
        QVERIFY(prompts.dialogs.at(0).mustExist);
        QCOMPARE(target->ComboBox10->currentIndex(), 36);
        for (int r = 1; r <= 9; ++r)
            for (int c = 0; c <= 20; ++c)
                QCOMPARE(target.cell(c, r), source.cell(c, r));
    }

    void lineEndsAndMarks_data()
    {
        QTest::addColumn<QByteArray>("bom");
        QTest::addColumn<QByteArray>("end");
        QTest::newRow("CR LF, mark") << QByteArray("\xEF\xBB\xBF") << QByteArray("\r\n");
        QTest::newRow("LF, no mark") << QByteArray() << QByteArray("\n");
        QTest::newRow("CR, no mark") << QByteArray() << QByteArray("\r");
    }
    void lineEndsAndMarks()
    {
        QFETCH(QByteArray, bom);
        QFETCH(QByteArray, end);
        QList<QByteArray> lines{"4"};
        lines << GridLines([](int e) { return e == 3 ? QByteArray() : QByteArray::number(180 - e); });
        lines.resize(30); // short file: the rest become empty cells
        const QString path = m_dir.filePath("ends.zvq");
        QVERIFY(WriteAll(path, bom + lines.join(end)));

        PageForm page;
        ScriptedPrompts prompts;
        for (int e = 0; e < 180; ++e)
            page.setEntry(e, QStringLiteral("old"));
        prompts.fileNames.enqueue(path);
        page->Button8Click();
        QCOMPARE(page->ComboBox10->currentText(), QStringLiteral("5"));
        QCOMPARE(page.entry(0), QStringLiteral("180"));
        QCOMPARE(page.entry(3), QString());
        QCOMPARE(page.entry(19), QStringLiteral("161"));
        QCOMPARE(page.cell(0, 2), QStringLiteral("20"));
        QCOMPARE(page.entry(27), QString()); // line 31 is missing
        QCOMPARE(page.entry(179), QString());
    }

    void firstLineOutsideTheListLeavesNoSelection()
    {
        const QString path = m_dir.filePath("200.zvq");
        QVERIFY(WriteAll(path, "200\r\n0\r\n5\r\n"));
        PageForm page;
        ScriptedPrompts prompts;
        prompts.fileNames.enqueue(path);
        page->Button8Click();
        QCOMPARE(page->ComboBox10->currentIndex(), -1);
        QCOMPARE(page.entry(0), QStringLiteral("5"));
        QCOMPARE(views::LookOfCell(page->StringGrid1, page->ComboBox10->currentIndex() + 1, 1, 1).text,
                 QStringLiteral("N/A"));
        QVERIFY(page->ValidateRangeMapping());
    }

    // Only the 190 lines used are read, and only so much of each: a file of
    // megabyte lines or of endless lines loads like a small one.
    void hugeFileReadsOnlyWhatIsUsed()
    {
        const QString path = m_dir.filePath("huge.zvq");
        QByteArray bytes = "24\r\n0\r\n" + QByteArray(1 << 20, '7') + "\r\n";
        for (int k = 0; k < 8; ++k)
            bytes += QByteArray(1 << 20, '\n');
        QVERIFY(WriteAll(path, bytes));
        PageForm page;
        ScriptedPrompts prompts;
        prompts.fileNames.enqueue(path);
        page->Button8Click();
        QCOMPARE(page->ComboBox10->currentIndex(), 24);
        QCOMPARE(page.entry(0).size(), 256); // the rest of that line is passed over
        QCOMPARE(page.entry(1), QString());
    }

    // An invalid byte at the end of one 64 KiB read keeps what starts the
    // next read: the line end or the character after it.
    void readsOnPastACutInvalidByte_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("lines");
        const QByteArray first(65534, 'x');
        const QString cut = QString(QChar::ReplacementCharacter);
        QTest::newRow("before a line end") << first + "\r\xE2" "\r\xC3\xA4"
                                           << QStringList{QString(256, u'x'), cut, QStringLiteral("ä")};
        QTest::newRow("before a letter") << first + "\r\xE2" "\xC3\xA4\r"
                                         << QStringList{QString(256, u'x'), cut + QStringLiteral("ä")};
    }
    void readsOnPastACutInvalidByte()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, lines);
        QBuffer file(&content);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(data::ReadTemplateLines(file), lines);
    }

    void failedLoadsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("message");
        QTest::newRow("not an integer") << QByteArray("\xEF\xBB\xBF" "ten\r\n1\r\n") << true
                                        << "'ten' is not a valid integer value.";
        QTest::newRow("empty") << QByteArray() << true << "'' is not a valid integer value.";
        QTest::newRow("missing") << QByteArray() << false << "Cannot open file \"%1\". ";
    }
    void failedLoadsChangeNothing()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, exists);
        QFETCH(QString, message);
        const QString path = m_dir.filePath(exists ? "bad.zvq" : "none.zvq");
        if (exists)
            QVERIFY(WriteAll(path, content));
        PageForm page;
        ScriptedPrompts prompts;
        page.setActiveCount(9);
        page->Button5Click();
        prompts.fileNames.enqueue(path);
        QTest::mouseClick(page->Button8, Qt::LeftButton);
        QCOMPARE(prompts.messages.size(), 1);
        if (message.contains(QLatin1String("%1")))
            message = message.arg(QDir::toNativeSeparators(path));
        QVERIFY2(prompts.messages[0].text.startsWith(message),
                 qPrintable(prompts.messages[0].text));
        QCOMPARE(page->ComboBox10->currentIndex(), 8);
        QCOMPARE(page.entry(8), QStringLiteral("9"));
        QCOMPARE(page.cell(0, 1), QStringLiteral("0"));
    }

    void failedSaveKeepsTheOldFile()
    {
        const QString path = m_dir.filePath("kept.zvq");
        const QByteArray old = "\xEF\xBB\xBF" "old template\r\n";
        QVERIFY(WriteAll(path, old));

        PageForm page;
        ScriptedPrompts prompts;
        prompts.fileNames.enqueue(path);
        {
            // The new template is larger than this; the write fails midway.
            if constexpr (!testsupport::FileSizeLimit::Supported)
                QSKIP("no limit of a file's size here");
            const testsupport::FileSizeLimit limit(100);
            QVERIFY(limit.active());
            QTest::mouseClick(page->Button7, Qt::LeftButton);
        }
        QCOMPARE(prompts.messages.size(), 1);
        QVERIFY2(prompts.messages[0].text.startsWith(
                     QStringLiteral("Cannot create file \"%1\". ").arg(QDir::toNativeSeparators(path))),
                 qPrintable(prompts.messages[0].text));
        QCOMPARE(ReadAll(path), old);
        QCOMPARE(QDir(m_dir.path()).entryList({"kept.zvq*"}, QDir::Files), QStringList{"kept.zvq"});
    }
};

QTEST_MAIN(TestTemplates)
#include "tst_templates.moc"
