// The measurement table: merging batches by key, and the table as CSV bytes.

#include "data/csv.h"
#include "data/meastable.h"

#include <QSignalSpy>
#include <QTest>

using data::MeasTable;

namespace {

// Records "key" with the tag as their second text.
QList<QStringList> Records(const QStringList &keys, const QString &tag)
{
    QList<QStringList> records;
    for (const QString &key : keys)
        records.append({key, tag});
    return records;
}

QStringList Numbers(int from, int to)
{
    QStringList keys;
    for (int i = from; i <= to; ++i)
        keys << QString::number(i);
    return keys;
}

// Rows 1.. as "key:tag".
QStringList Shown(const MeasTable &table)
{
    QStringList rows;
    for (int r = 1; r < table.RowCount(); ++r)
        rows << table.Cell(0, r) + u':' + table.Cell(1, r);
    return rows;
}

QStringList Tagged(const QStringList &keys, const QString &tag)
{
    QStringList out;
    for (const QString &key : keys)
        out << key + u':' + tag;
    return out;
}

// UTF-16 LE written out by hand, so the expectation does not share the
// code under test.
QByteArray Utf16LE(const QString &text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

} // namespace

class TestMeasTable : public QObject {
    Q_OBJECT
private slots:
    void merge_data()
    {
        QTest::addColumn<QStringList>("table"); // merged first, tagged "o"
        QTest::addColumn<QStringList>("batch"); // tagged "n"
        QTest::addColumn<QStringList>("result");
        const QStringList ten = Numbers(1, 10);
        QTest::newRow("5, 6, 7 in place") << ten << Numbers(5, 7)
                                          << Tagged(Numbers(1, 4), "o") + Tagged(Numbers(5, 7), "n") +
                                                 Tagged(Numbers(8, 10), "o");
        QTest::newRow("2, 3 in place") << ten << Numbers(2, 3)
                                       << QStringList{"1:o"} + Tagged(Numbers(2, 3), "n") + Tagged(Numbers(4, 10), "o");
        QTest::newRow("11 appended") << ten << QStringList{"11"} << Tagged(ten, "o") + QStringList{"11:n"};
        QTest::newRow("10, 11, 12") << ten << Numbers(10, 12)
                                    << Tagged(Numbers(1, 9), "o") + Tagged(Numbers(10, 12), "n");
        QTest::newRow("into the empty table") << QStringList() << Numbers(1, 3) << Tagged(Numbers(1, 3), "n");
        QTest::newRow("key in row 4 of 9") << Numbers(1, 9) << QStringList{"4"}
                                           << Tagged(Numbers(1, 3), "o") + QStringList{"4:n"} +
                                                  Tagged(Numbers(5, 9), "o");
        QTest::newRow("3, 5 into 3, 4, 5") << Numbers(3, 5) << QStringList{"3", "5"}
                                           << QStringList{"3:n", "5:n", "4:o"};
        QTest::newRow("first key absent: nothing removed")
            << Numbers(1, 5) << QStringList{"9", "2"} << Tagged(Numbers(1, 5), "o") + QStringList{"9:n", "2:n"};
        QTest::newRow("later keys sought only further down")
            << Numbers(1, 5) << QStringList{"4", "2"}
            << QStringList{"1:o", "2:o", "3:o", "4:n", "2:n", "5:o"};
        QTest::newRow("keys are exact strings") << QStringList{"a"} << QStringList{"A"}
                                                << QStringList{"a:o", "A:n"};
        QTest::newRow("an empty first key leaves the table empty")
            << QStringList{"", "x"} << QStringList{"p"} << QStringList{"p:n", "x:o"};
        QTest::newRow("overwrite from row 1, n - 1 rows more")
            << QStringList{"", "x", "y", "z"} << QStringList{"p", "q"}
            << QStringList{"p:n", "q:n", "y:o", "z:o", ":"};
    }
    void merge()
    {
        QFETCH(QStringList, table);
        QFETCH(QStringList, batch);
        QFETCH(QStringList, result);
        MeasTable model;
        model.SetCaptions({"No.", "Value"});
        QVERIFY(model.IsEmpty());
        model.Merge(Records(table, "o"));
        const int first = model.Merge(Records(batch, "n"));
        QCOMPARE(Shown(model), result);
        // Where the window scrolls to: the row of the batch's first record.
        QCOMPARE(model.Cell(0, first) + u':' + model.Cell(1, first), batch[0] + ":n");
        QCOMPARE(model.RowTexts(0), QStringList({"No.", "Value"}));
    }

    void mergeSignalsOnce()
    {
        MeasTable model;
        model.SetCaptions({"No.", "Value"});
        model.Merge(Records(Numbers(1, 10), "o"));
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        model.Merge(Records(Numbers(10, 12), "n"));
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(inserted[0][1].toInt(), 11);
        QCOMPARE(inserted[0][2].toInt(), 12);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(reset.size(), 0);
        QCOMPARE(model.rowCount(), 13);
        QCOMPARE(model.data(model.index(12, 1)).toString(), QStringLiteral("n"));
        QCOMPARE(model.RowTexts(11), QStringList({"11", "n"}));
    }

    void csv_data()
    {
        QTest::addColumn<QList<QStringList>>("records");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QString>("text");
        QTest::newRow("semicolon") << QList<QStringList>{{"12.5", "20"}} << ";"
                                   << "Moisture;Temp\r\n12.5;20\r\n";
        QTest::newRow("comma quotes a decimal comma") << QList<QStringList>{{"12,5", "20"}} << ","
                                                      << "Moisture,Temp\r\n\"12,5\",20\r\n";
        QTest::newRow("quotes doubled, line breaks quoted, the rest as it stands")
            << QList<QStringList>{{"a\"b", "c\rd"}, {"e\nf", "g,h"}, {QString(2, QChar(0)), " ä "}} << ";"
            << QString("Moisture;Temp\r\n\"a\"\"b\";\"c\rd\"\r\n\"e\nf\";g,h\r\n") + QString(2, QChar(0)) +
                   QStringLiteral("; \u00e4 \r\n");
        QTest::newRow("empty table: the captions alone") << QList<QStringList>{} << ";" << "Moisture;Temp\r\n";
        QTest::newRow("up to the first empty key")
            << QList<QStringList>{{"1", "a"}, {"", "b"}, {"3", "c"}} << ";" << "Moisture;Temp\r\n1;a\r\n";
        QTest::newRow("an empty first key: the captions alone")
            << QList<QStringList>{{"", "a"}, {"2", "b"}} << ";" << "Moisture;Temp\r\n";
    }
    void csv()
    {
        QFETCH(QList<QStringList>, records);
        QFETCH(QString, separator);
        QFETCH(QString, text);
        MeasTable model;
        model.SetCaptions({"Moisture", "Temp"});
        model.Merge(records);
        QCOMPARE(data::CsvBytes(model, separator[0]), Utf16LE(text));
        QCOMPARE(data::CsvBytes(model, separator[0], data::CsvEncoding::Utf8WithMark),
                 "\xEF\xBB\xBF" + text.toUtf8());
    }

    // On a terminal a value cannot drive it; a file keeps the value's bytes.
    void csvOnATerminalIsPrintable()
    {
        MeasTable model;
        model.SetCaptions({"Moisture", "Temp"});
        model.Merge({{"1", "\x1b]0:x\a\r\n\u202Eab"}});
        QCOMPARE(data::CsvBytes(model, u';', data::CsvEncoding::Utf8),
                 QByteArray("Moisture;Temp\r\n1;\\x1b]0:x\\x07\\r\\n\\u202eab\r\n"));
        QCOMPARE(data::CsvBytes(model, u';', data::CsvEncoding::Utf8WithMark),
                 QByteArray("\xEF\xBB\xBFMoisture;Temp\r\n1;\"\x1b]0:x\a\r\n\xE2\x80\xAE" "ab\"\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestMeasTable)
#include "tst_meastable.moc"
