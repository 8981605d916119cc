// Start-up: the configuration file, the field list, the grids and lists the
// window builds from it, and the ways start-up refuses to go on.
#include "data/config.h"
#include "app/mainform.h"
#include "data/platform.h"
#include "app/program.h"
#include "link/bt.h"
#include "tests/support/scriptedprompts.h"
#include "data/meastable.h"
#include "views/gridsizing.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::ScriptedPrompts;

namespace {

QString writeFile(const QTemporaryDir &dir, const QByteArray &content, const QString &name = "ZEVQ-BLE.INI")
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    return path;
}

} // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void init() { data::SetClock({}); }
    void profileReaderMatchesWindowsRules();
    void profileReaderReadsUtf16AndBom();
    void fieldListStopsAtFirstGap();
    void fieldListNamesAndWidths();
    void fieldListRefusesBadWidths_data();
    void fieldListRefusesBadWidths();
    void missingConfigurationEndsWithCode1();
    void badWidthEndsWithCode1();
    void unknownLinkSettingEndsWithCode1();
    void gridsAndListsAfterStart();
    void columnWidthsInTheFontInUse_data();
    void columnWidthsInTheFontInUse();
    void yearListInYear2000();
};

void StartupTest::profileReaderMatchesWindowsRules()
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, "[other]\nPDATA1=No\n[ data ]\n  pdata1 =  \"Temp,5\"  \r\nPDATA2='x'\nPDATA3=\"a'\n");
    QCOMPARE(data::ReadProfileString(path, "DATA", "PDATA1"), QString("Temp,5"));
    QCOMPARE(data::ReadProfileString(path, "DATA", "PDATA2"), QString("x"));
    QCOMPARE(data::ReadProfileString(path, "DATA", "PDATA3"), QString("\"a'"));
    QCOMPARE(data::ReadProfileString(path, "DATA", "PDATA4", "dflt"), QString("dflt"));
    QCOMPARE(data::ReadProfileString(dir.filePath("none.ini"), "DATA", "PDATA1"), QString());
    const QString longValue(2000, QChar('w'));
    const QString longPath = writeFile(dir, "[DATA]\nPDATA1=" + longValue.toUtf8() + "\n", "long.ini");
    QCOMPARE(data::ReadProfileString(longPath, "DATA", "PDATA1").size(), 1022);
}

void StartupTest::profileReaderReadsUtf16AndBom()
{
    QTemporaryDir dir;
    // A lone surrogate (a stray byte pair) must not hide the keys after it.
    const QString text = "[DATA]\r\n" + QString(QChar(0xDAFE)) + "\r\nPDATA1=Feuchte \u00e4,5\r\n";
    QByteArray utf16("\xFF\xFE", 2);
    for (QChar c : text) {
        utf16.append(char(c.unicode() & 0xFF));
        utf16.append(char(c.unicode() >> 8));
    }
    QCOMPARE(data::ReadProfileString(writeFile(dir, utf16, "a.ini"), "DATA", "PDATA1"),
             QString("Feuchte \u00e4,5"));
    QCOMPARE(data::ReadProfileString(writeFile(dir, "\xEF\xBB\xBF" + text.toUtf8(), "b.ini"), "DATA", "PDATA1"),
             QString("Feuchte \u00e4,5"));
}

void StartupTest::fieldListStopsAtFirstGap()
{
    QTemporaryDir dir;
    data::FieldList fields;
    QString error;
    QVERIFY(data::LoadFieldList(writeFile(dir, "[DATA]\nPDATA1=A,1\nPDATA2=B,2\nPDATA4=D,4\n", "gap.ini"), fields, &error));
    QCOMPARE(fields.items.size(), std::size_t(2));
    QVERIFY(data::LoadFieldList(writeFile(dir, "[DATA]\nPDATA1=A,1\nPDATA2=\nPDATA3=C,3\n", "empty.ini"), fields, &error));
    QCOMPARE(fields.items.size(), std::size_t(1));
    QVERIFY(data::LoadFieldList(writeFile(dir, "[DATA]\n", "none.ini"), fields, &error));
    QCOMPARE(fields.items.size(), std::size_t(0));
    QCOMPARE(fields.recordSize, 0);
    // A file of 100,000 keys is read once, not once per key.
    QByteArray many = "[DATA]\n";
    for (int n = 1; n <= 100000; ++n)
        many += "PDATA" + QByteArray::number(n) + "=F,1\n";
    QVERIFY(data::LoadFieldList(writeFile(dir, many, "many.ini"), fields, &error));
    QCOMPARE(fields.items.size(), std::size_t(100000));
}

void StartupTest::fieldListNamesAndWidths()
{
    QTemporaryDir dir;
    data::FieldList fields;
    QString error;
    QVERIFY(data::LoadFieldList(writeFile(dir, "[DATA]\nPDATA1=Temp\nPDATA2=,4\nPDATA3=\"  ,4\"\nPDATA4=Wood species,20\n"),
                               fields, &error));
    QCOMPARE(fields.items.size(), std::size_t(4));
    QCOMPARE(fields.items[0]->Name, QString("Temp"));
    QCOMPARE(fields.items[0]->Width, 0);
    QVERIFY(fields.items[0]->IsShown());
    QVERIFY(!fields.items[1]->IsShown());
    QCOMPARE(fields.items[2]->Name, QString("  "));
    QVERIFY(!fields.items[2]->IsShown());
    QCOMPARE(fields.shownCount, 2);
    QCOMPARE(fields.recordSize, 11 + 15 + 15 + 31);
}

void StartupTest::fieldListRefusesBadWidths_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not an integer") << QByteArray("Temp,5x") << QString("'5x' is not a valid integer value");
    // The reason travels as a C string and ends at the zero byte; the
    // refusal and the key are what count.
    QTest::newRow("zero byte") << QByteArray("Temp,5\0x", 8) << QString("PDATA2");
    QTest::newRow("second comma") << QByteArray("Temp,5,2") << QString("'5,2' is not a valid integer value");
    QTest::newRow("negative") << QByteArray("Temp,-5") << QString("negative");
    QTest::newRow("overflow") << QByteArray("Temp,2147483640") << QString("record size");
    // No reply could ever carry such a record; the grids would overflow
    // sizing it.
    QTest::newRow("beyond any reply") << QByteArray("No.,357913942") << QString("record size");
}

void StartupTest::fieldListRefusesBadWidths()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    data::FieldList fields;
    QString error;
    QVERIFY(!data::LoadFieldList(writeFile(dir, "[DATA]\nPDATA1=A,1\nPDATA2=" + value + "\n"), fields, &error));
    QVERIFY2(error.contains("PDATA2") && error.contains(QString::fromUtf8(value)), qPrintable(error));
    QVERIFY2(error.contains(reason, Qt::CaseInsensitive), qPrintable(error));
    QVERIFY(fields.items.empty());
}

void StartupTest::missingConfigurationEndsWithCode1()
{
    ScriptedPrompts prompts;
    QTemporaryDir dir;
    app::Program program;
    QCOMPARE(app::StartProgram(program, "vlink:127.0.0.1:1", dir.filePath("ZEVQ-BLE.INI")), 1);
    QCOMPARE(prompts.texts(), QStringList{"Missing configuration file"});
    QCOMPARE(prompts.messages[0].caption, QString("Error"));
    QCOMPARE(prompts.messages[0].icon, views::MessageIcon::Error);
    QVERIFY(!program.mainWindow->isVisible());
    QVERIFY(devlink::Worker == nullptr);
}

void StartupTest::badWidthEndsWithCode1()
{
    ScriptedPrompts prompts;
    QTemporaryDir dir;
    app::Program program;
    QCOMPARE(app::StartProgram(program, "vlink:127.0.0.1:1", writeFile(dir, "[DATA]\nPDATA1=Temp,abc\n")), 1);
    QCOMPARE(prompts.messages.size(), 1);
    QCOMPARE(prompts.messages[0].caption, QString("Error"));
    QVERIFY(prompts.messages[0].text.contains("PDATA1"));
    QVERIFY(!program.mainWindow->isVisible());
    QVERIFY(devlink::Worker == nullptr);
}

void StartupTest::unknownLinkSettingEndsWithCode1()
{
    ScriptedPrompts prompts;
    QTemporaryDir dir;
    app::Program program;
    QCOMPARE(app::StartProgram(program, "serial:COM3", writeFile(dir, "[DATA]\n")), 1);
    QCOMPARE(prompts.texts(), QStringList{"Unknown TARVOLIN_LINK value: serial:COM3"});
    QCOMPARE(prompts.messages[0].caption, QString("Error"));
}

void StartupTest::gridsAndListsAfterStart()
{
    ScriptedPrompts prompts;
    data::SetClock([] { return QDateTime(QDate(2024, 4, 30), QTime(12, 0), Qt::UTC); });
    QTemporaryDir dir;
    app::Program program;
    QCOMPARE(app::StartProgram(program, "vlink:127.0.0.1:1",
                               writeFile(dir, "[DATA]\nPDATA1=Moisture,5\nPDATA2=,4\nPDATA3=Wood species,20\nPDATA4=Temp\n")),
             0);
    app::TForm4 &form = *program.mainWindow;
    QCOMPARE(form.RecordSize, 16 + 15 + 31 + 11);
    QCOMPARE(form.Measurements->ColumnCount(), 3);
    QCOMPARE(form.Measurements->RowCount(), 2);
    QCOMPARE(form.current->rowCount(), 3);
    QCOMPARE(form.Measurements->Cell(1, 0), QString("Wood species"));
    QCOMPARE(form.current->item(2, 0)->text(), QString("Temp"));

    QCOMPARE(form.StringGrid1->item(0, 11)->text(), QString("0"));
    QCOMPARE(form.StringGrid1->item(9, 0)->text(), QString("160"));
    QCOMPARE(form.ComboBox4->count(), 25);
    QCOMPARE(form.ComboBox4->currentText(), QString("2024"));
    QCOMPARE(form.ComboBox5->currentText(), QString("4"));
    QCOMPARE(form.ComboBox6->count(), 30);
    QCOMPARE(form.ComboBox6->currentText(), QString("30"));
    QCOMPARE(form.ComboBox10->currentText(), QString("1"));
    QCOMPARE(form.Edit1->text(), QString("0"));
    QVERIFY(!form.Edit1->isEnabled());
    QVERIFY(devlink::Worker != nullptr);
    QVERIFY(devlink::Worker->isRunning());
    form.close();
    QVERIFY(devlink::Worker == nullptr);
    QVERIFY(prompts.messages.isEmpty());
}

void StartupTest::columnWidthsInTheFontInUse_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QList<int>>("measChars");
    QTest::addColumn<int>("namesChars");
    QTest::addColumn<int>("valuesChars");
    QTest::newRow("hidden field, no width") << QByteArray("PDATA1=Moisture,5\nPDATA2=,4\nPDATA3=Wood species,20\nPDATA4=Temp\n")
                                            << QList<int>{8, 20, 7} << 13 << 21;
    QTest::newRow("sample") << QByteArray("PDATA1=No.,6\nPDATA2=Date,10\nPDATA3=Time,8\nPDATA4=,4\n"
                                          "PDATA5=Moisture %,5\nPDATA6=Temp. C,5\nPDATA7=Wood species,20\n")
                            << QList<int>{7, 10, 8, 10, 7, 20} << 13 << 21;
    QTest::newRow("wide field") << QByteArray("PDATA1=Note,300\n") << QList<int>{300} << 5 << 301;
    QTest::newRow("no fields") << QByteArray() << QList<int>{} << 1 << 1;
}

// The sizes count characters as wide as the grid's digit zero; at 6 pixels,
// the character of the 8-point font they were made for, they are the sizes
// the grids always had.
void StartupTest::columnWidthsInTheFontInUse()
{
    QFETCH(QByteArray, config);
    QFETCH(QList<int>, measChars);
    QFETCH(int, namesChars);
    QFETCH(int, valuesChars);
    ScriptedPrompts prompts;
    QTemporaryDir dir;
    app::Program program;
    QCOMPARE(app::StartProgram(program, "vlink:127.0.0.1:1", writeFile(dir, "[DATA]\n" + config)), 0);
    app::TForm4 &form = *program.mainWindow;
    const int unit = views::CharacterWidth(form.meas->fontMetrics());
    QCOMPARE(views::CharacterWidth(form.current->fontMetrics()), unit);
    for (int k = 0; k < measChars.size(); ++k)
        QCOMPARE(form.meas->columnWidth(k), measChars[k] * unit);
    QCOMPARE(form.current->columnWidth(0), namesChars * unit);
    QCOMPARE(form.current->columnWidth(1), valuesChars * unit);

    std::vector<const data::TItem *> shown;
    for (const auto &item : form.ItemList)
        if (item->IsShown())
            shown.push_back(item.get());
    const views::MeasurementGridWidths original = views::MeasurementGridWidthsFor(shown, 6);
    QCOMPARE(int(original.meas.size()), measChars.size());
    for (int k = 0; k < measChars.size(); ++k)
        QCOMPARE(original.meas[std::size_t(k)], measChars[k] * 6);
    QCOMPARE(original.currentNames, namesChars * 6);
    QCOMPARE(original.currentValues, valuesChars * 6);
    form.close();
}

void StartupTest::yearListInYear2000()
{
    ScriptedPrompts prompts;
    data::SetClock([] { return QDateTime(QDate(2000, 2, 10), QTime(12, 0), Qt::UTC); });
    QTemporaryDir dir;
    app::Program program;
    QCOMPARE(app::StartProgram(program, "vlink:127.0.0.1:1", writeFile(dir, "[DATA]\n")), 0);
    QCOMPARE(program.mainWindow->ComboBox1->count(), 1);
    QCOMPARE(program.mainWindow->ComboBox1->itemText(0), QString("2000"));
    QCOMPARE(program.mainWindow->ComboBox3->count(), 29);
    QCOMPARE(program.mainWindow->Measurements->ColumnCount(), 1);
    program.mainWindow->close();
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
