// The one save path of "Save defaults" and "Save": a target that can be
// written although no file can be made beside it, a failed write that
// leaves the old file alone, and the real save dialog asking about the name
// with its default extension already applied.

#include "tests/support/filesizelimit.h"
#include "tests/support/testfiles.h"
#include "tests/support/scriptedprompts.h"
#include "tests/views/pageform.h"
#include "views/savefile.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using testsupport::PageForm;
using testsupport::ScriptedPrompts;

namespace {

using testsupport::ReadAll;
using testsupport::WriteAll;

const QByteArray CsvContent = QByteArray("M\0;\0T\0\r\0\n\0", 10).repeated(20);

// One caller of the save path: "Save defaults" on a page, or a save shaped
// like "Save" (CSV, or workbook with its filter chosen). Runs it as its
// button would; returns what it writes.
struct Caller {
    QString extension;
    std::function<QByteArray()> save;
    QString filter; // chosen in the dialog; empty: the first one
};

Caller MakeCaller(const QString &which, PageForm &page)
{
    if (which == QLatin1String("templates")) {
        return {QStringLiteral("ZVQ"), [&page] {
                    QTest::mouseClick(page->Button7, Qt::LeftButton);
                    return QByteArray("\xEF\xBB\xBF");
                },
                QString()};
    }
    const bool workbook = which == QLatin1String("workbook");
    return {workbook ? QStringLiteral("xlsx") : QStringLiteral("CSV"),
            [] {
                views::FileDialogOptions options;
                options.title = QStringLiteral("Save as CSV");
                options.filter = QStringLiteral("CSV file (*.csv);;Excel workbook (*.xlsx)");
                options.defaultExtension = QStringLiteral("CSV");
                options.promptOverwrite = true;
                views::Guarded([&] { views::SaveThroughDialog(nullptr, options, [] { return CsvContent; }); });
                return CsvContent;
            },
            workbook ? QStringLiteral("Excel workbook (*.xlsx)") : QString()};
}

// Plays the user at the real save dialog: types `typed`, presses Save,
// answers the overwrite question, and gives up after a No.
class DialogUser : public QObject {
public:
    DialogUser(const QString &folder, const QString &typed, bool replace, const QString &filter = QString())
        : m_folder(folder), m_typed(typed), m_filter(filter), m_replace(replace)
    {
        connect(&m_timer, &QTimer::timeout, this, &DialogUser::Step);
        m_timer.start(20);
    }
    QString question;

private:
    void Step()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            question = box->text();
            box->button(m_replace ? QMessageBox::Yes : QMessageBox::No)->click();
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            if (!question.isEmpty()) {
                dialog->reject();
            } else if (!m_typedIn) {
                m_typedIn = true;
                dialog->setDirectory(m_folder);
                if (!m_filter.isEmpty())
                    dialog->selectNameFilter(m_filter);
                dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(m_typed);
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            }
        }
    }

    QTimer m_timer;
    QString m_folder;
    QString m_typed;
    QString m_filter;
    bool m_replace;
    bool m_typedIn = false;
};

void Callers()
{
    QTest::addColumn<QString>("caller");
    QTest::newRow("templates") << "templates";
    QTest::newRow("CSV") << "csv";
}

} // namespace

class TestSaveFile : public QObject {
    Q_OBJECT
private slots:
    void savesWhereNoFileFitsBeside_data() { Callers(); }
    void savesWhereNoFileFitsBeside()
    {
        QFETCH(QString, caller);
        QTemporaryDir dir;
        PageForm page;
        ScriptedPrompts prompts;
        Caller save = MakeCaller(caller, page);
        // 254 bytes: the name fits, the temporary name beside it cannot.
        const QString path = dir.filePath(QString(250, QLatin1Char('k')) + u'.' + save.extension);
        if (!WriteAll(path, "old"))
            QSKIP("the file system refuses long names");
        prompts.fileNames.enqueue(path);
        const QByteArray expected = save.save();
        QVERIFY2(prompts.messages.isEmpty(), qPrintable(prompts.texts().join('|')));
        QVERIFY2(ReadAll(path).startsWith(expected), ReadAll(path).left(40).constData());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
    }

    // Written in place, the save reserves the new content's space first: a
    // disk that cannot hold it refuses before the old bytes change.
    void inPlaceSaveThatCannotFitKeepsTheOldFile()
    {
        QTemporaryDir dir;
        PageForm page;
        ScriptedPrompts prompts;
        const QString path = dir.filePath(QString(250, QLatin1Char('k')) + QStringLiteral(".CSV"));
        if (!WriteAll(path, "old"))
            QSKIP("the file system refuses long names");
        prompts.fileNames.enqueue(path);
        {
            if constexpr (!testsupport::FileSizeLimit::Supported)
                QSKIP("no limit of a file's size here");
            const testsupport::FileSizeLimit limit(CsvContent.size() / 2);
            QVERIFY(limit.active());
            MakeCaller(QStringLiteral("csv"), page).save();
        }
        QCOMPARE(prompts.texts(),
                 QStringList{QStringLiteral("Cannot create file \"%1\". File too large. The old file is unchanged.")
                                 .arg(QDir::toNativeSeparators(path))});
        QCOMPARE(ReadAll(path), QByteArray("old"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
    }

    void failedSaveKeepsTheOldFile()
    {
        // The templates' own test covers "Save defaults".
        QTemporaryDir dir;
        PageForm page;
        ScriptedPrompts prompts;
        const QString path = dir.filePath(QStringLiteral("kept.csv"));
        QVERIFY(WriteAll(path, "old"));
        prompts.fileNames.enqueue(path);
        {
            if constexpr (!testsupport::FileSizeLimit::Supported)
                QSKIP("no limit of a file's size here");
            const testsupport::FileSizeLimit limit(CsvContent.size() / 2);
            QVERIFY(limit.active());
            MakeCaller(QStringLiteral("csv"), page).save();
        }
        QCOMPARE(prompts.texts(), QStringList{QStringLiteral("Cannot create file \"%1\". File too large.")
                                                  .arg(QDir::toNativeSeparators(path))});
        QCOMPARE(ReadAll(path), QByteArray("old"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"kept.csv"});
    }

    void overwriteQuestionSeesTheExtension_data()
    {
        QTest::addColumn<QString>("caller");
        QTest::addColumn<bool>("replace");
        QTest::newRow("templates, No") << "templates" << false;
        QTest::newRow("templates, Yes") << "templates" << true;
        QTest::newRow("CSV, No") << "csv" << false;
        QTest::newRow("CSV, Yes") << "csv" << true;
        QTest::newRow("workbook, Yes") << "workbook" << true;
    }
    void overwriteQuestionSeesTheExtension()
    {
        QFETCH(QString, caller);
        QFETCH(bool, replace);
        QTemporaryDir dir;
        PageForm page;
        Caller save = MakeCaller(caller, page);
        const QString existing = dir.filePath(QStringLiteral("keep.") + save.extension);
        QVERIFY(WriteAll(existing, "old"));

        DialogUser user(dir.path(), QStringLiteral("keep"), replace, save.filter);
        const QByteArray written = save.save();
        QVERIFY2(user.question.contains(QStringLiteral("keep.") + save.extension), qPrintable(user.question));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"keep." + save.extension});
        if (replace)
            QVERIFY(ReadAll(existing).startsWith(written));
        else
            QCOMPARE(ReadAll(existing), QByteArray("old"));
    }
};

QTEST_MAIN(TestSaveFile)
#include "tst_savefile.moc"
