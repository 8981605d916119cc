// When a cell is a number, and the table as a workbook read back from the
// file: number cells for numbers, text for the rest, captions in row 1.

#include "data/decimal.h"
#include "data/meastable.h"
#include "data/workbook.h"
#include "tests/support/workbookpart.h"

#include <QMap>
#include <QTest>
#include <QXmlStreamReader>

namespace {

struct SheetCell {
    bool number = false;
    QString text;
    QString style;
};

// The cells of the sheet by reference ("A1"); the sheet's text cells are
// inline strings.
QMap<QString, SheetCell> Cells(const QByteArray &sheet)
{
    QMap<QString, SheetCell> cells;
    QXmlStreamReader xml(sheet);
    QString at;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("c")) {
            at = xml.attributes().value(QLatin1String("r")).toString();
            cells[at].number = xml.attributes().value(QLatin1String("t")).isEmpty();
            cells[at].style = xml.attributes().value(QLatin1String("s")).toString();
        } else if (xml.name() == QLatin1String("v") || xml.name() == QLatin1String("t")) {
            cells[at].text = xml.readElementText();
        }
    }
    return cells;
}

} // namespace

class WorkbookTest : public QObject {
    Q_OBJECT

private slots:
    void decimalNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("number");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("digits");
        QTest::newRow("point") << "11.7" << true << 11.7 << 3;
        QTest::newRow("comma, blanks") << " 9,5 " << true << 9.5 << 2;
        QTest::newRow("negative") << "-3" << true << -3.0 << 1;
        QTest::newRow("plus, padded key") << "+26    " << true << 26.0 << 2;
        QTest::newRow("grouped by blanks") << "1 234,50" << true << 1234.5 << 5;
        QTest::newRow("leading and trailing zeros") << "007.100" << true << 7.1 << 2;
        QTest::newRow("19 digits") << "1234567890123456789" << true << 1234567890123456789.0 << 19;
        QTest::newRow("date") << "01.03.2024" << false << 0.0 << 0;
        QTest::newRow("time") << "08:29:10" << false << 0.0 << 0;
        QTest::newRow("empty") << "" << false << 0.0 << 0;
        QTest::newRow("blanks only") << "   " << false << 0.0 << 0;
        QTest::newRow("exponent") << "1e5" << false << 0.0 << 0;
        QTest::newRow("no digits after the mark") << "5." << false << 0.0 << 0;
        QTest::newRow("no digits before the mark") << ",5" << false << 0.0 << 0;
        QTest::newRow("sign alone") << "-" << false << 0.0 << 0;
        QTest::newRow("word") << "Oak" << false << 0.0 << 0;
        QTest::newRow("Arabic-Indic digit") << QString(QChar(0x0663)) << false << 0.0 << 0;
        QTest::newRow("beyond a double") << "1" + QString(400, u'0') << false << 0.0 << 0;
    }
    void decimalNumber()
    {
        QFETCH(QString, text);
        QFETCH(bool, number);
        QFETCH(double, value);
        QFETCH(int, digits);
        int significant = -1;
        const std::optional<double> read = data::DecimalNumber(text, &significant);
        QCOMPARE(read.has_value(), number);
        if (number) {
            QCOMPARE(*read, value);
            QCOMPARE(significant, digits);
        }
    }

    void workbookOfASmallDownload()
    {
        data::MeasTable table;
        table.SetCaptions({QStringLiteral("No."), QStringLiteral("Date"), QStringLiteral("Moisture %"),
                           QStringLiteral("Wood species")});
        table.Merge({{QStringLiteral("1     "), QStringLiteral("01.03.2024"), QStringLiteral("11.7 "),
                      QStringLiteral("Pine  ")},
                     {QStringLiteral("2     "), QStringLiteral("01.03.2024"), QStringLiteral(" 9,5 "),
                      QStringLiteral("1234567890123456789")}});
        QByteArray bytes;
        QString error;
        QVERIFY2(data::WorkbookBytes(table, &bytes, &error), qPrintable(error));
        QVERIFY(bytes.startsWith("PK"));

        const QByteArray sheet = testsupport::WorkbookPart(bytes, QStringLiteral("xl/worksheets/sheet1.xml"));
        QVERIFY(!sheet.isEmpty());
        const QMap<QString, SheetCell> cells = Cells(sheet);
        QCOMPARE(cells.size(), 12);
        const QStringList captions{"No.", "Date", "Moisture %", "Wood species"};
        for (int c = 0; c < 4; ++c) {
            const SheetCell caption = cells.value(QChar(u'A' + c) + QStringLiteral("1"));
            QCOMPARE(caption.text, captions[c]);
            QVERIFY(!caption.number);
            QVERIFY(!caption.style.isEmpty()); // bold
        }
        QVERIFY(cells["A2"].number);
        QCOMPARE(cells["A2"].text, QStringLiteral("1"));
        QVERIFY(!cells["B2"].number);
        QCOMPARE(cells["B2"].text, QStringLiteral("01.03.2024"));
        QVERIFY(cells["C2"].number);
        QCOMPARE(cells["C2"].text.toDouble(), 11.7);
        QVERIFY(cells["C3"].number);
        QCOMPARE(cells["C3"].text.toDouble(), 9.5);
        QVERIFY(!cells["D2"].number);
        QCOMPARE(cells["D2"].text, QStringLiteral("Pine  ")); // text exactly as shown
        QVERIFY(!cells["D3"].number); // more digits than a number cell keeps
        QCOMPARE(cells["D3"].text, QStringLiteral("1234567890123456789"));
        QVERIFY(sheet.contains("state=\"frozen\""));
        QVERIFY(sheet.contains("<col "));
        QVERIFY(testsupport::WorkbookPart(bytes, QStringLiteral("xl/styles.xml")).contains("<b/>"));
    }

    // Raw record bytes may hold a zero: it must not end the cell. Other
    // control characters take the sheet's own escape, and a text that looks
    // like that escape has its underscore escaped, so it reads back as it is.
    void cellTextIsStoredAsItStands_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("stored");
        QTest::newRow("zero and escape")
            << QStringLiteral("a") + QChar(0) + QStringLiteral("b\x1b[31m") << QStringLiteral("a\u2400b_x001B_[31m");
        QTest::newRow("escape of a CR") << "a_x000D_b" << "a_x005F_x000D_b";
        QTest::newRow("escape of a letter") << "_x0041_" << "_x005F_x0041_";
        QTest::newRow("two that share an underscore") << "_x0041_x0042_" << "_x005F_x0041_x005F_x0042_";
        QTest::newRow("lower-case digits") << "_xabcd_" << "_x005F_xabcd_";
        QTest::newRow("not an escape") << "_x12_ _xABCG_ _x0041" << "_x12_ _xABCG_ _x0041";
    }
    void cellTextIsStoredAsItStands()
    {
        QFETCH(QString, text);
        QFETCH(QString, stored);
        data::MeasTable table;
        table.SetCaptions({QStringLiteral("No."), QStringLiteral("Note")});
        table.Merge({{QStringLiteral("1"), text}});
        QByteArray bytes;
        QString error;
        QVERIFY2(data::WorkbookBytes(table, &bytes, &error), qPrintable(error));
        const QByteArray sheet = testsupport::WorkbookPart(bytes, QStringLiteral("xl/worksheets/sheet1.xml"));
        QCOMPARE(Cells(sheet)["B2"].text, stored);
    }

    void cellTooLongForASheet()
    {
        data::MeasTable table;
        table.SetCaptions({QStringLiteral("No."), QStringLiteral("Note")});
        table.Merge({{QStringLiteral("1"), QString(data::WorkbookMaxCellLength + 1, u'x')}});
        QByteArray bytes;
        QString error;
        QVERIFY(!data::WorkbookBytes(table, &bytes, &error));
        QCOMPARE(error, QStringLiteral("Row 2, column 2 holds 32768 characters; a workbook cell holds at most 32767."));
        QVERIFY(bytes.isEmpty());
    }
};

QTEST_GUILESS_MAIN(WorkbookTest)
#include "tst_workbook.moc"
