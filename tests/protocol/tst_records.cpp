#include "protocol/records.h"

#include <QTest>

#include <limits>
#include <vector>

using protocol::RecordField;

namespace {

// "s5 h4 s20": shown width 5, hidden width 4, shown width 20.
std::vector<RecordField> Layout(const QString &text)
{
    std::vector<RecordField> layout;
    for (const QString &field : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        layout.push_back({field.mid(1).toInt(), field.startsWith(QLatin1Char('s'))});
    return layout;
}

// One slot per value: 9 filler bytes, the value, 2 filler bytes. The filler
// holds bytes that would show up if a boundary were off by one.
QByteArray Record(const QList<QByteArray> &values)
{
    QByteArray record;
    for (const QByteArray &value : values)
        record += QByteArray(9, '<') + value + QByteArray(2, '>');
    return record;
}

QStringList Decode(const QString &layout, const QByteArray &record)
{
    const auto fields = Layout(layout);
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(record.constData());
    return protocol::DecodeRecord(fields, {bytes, std::size_t(record.size())});
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT

private slots:
    void decodesShownFields_data();
    void decodesShownFields();
    void zeroKeysCompareEqual();
    void recordBytes_data();
    void recordBytes();
    void judgesTheBytesOfAFailedFetch_data();
    void judgesTheBytesOfAFailedFetch();
};

void TestRecords::decodesShownFields_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("62-byte example")
        << "s5 h4 s20" << Record({"12.5%", "SKIP", "Spruce              "})
        << QStringList{"12.5%", "Spruce              "};
    QTest::newRow("width 0") << "s0 s3" << Record({"", "abc"}) << QStringList{"", "abc"};
    QTest::newRow("zero bytes kept")
        << "s4" << Record({QByteArray(4, '\0')}) << QStringList{QString(4, QChar(0))};
    QTest::newRow("two-byte letter") << "s2" << Record({"\xc3\xa4"}) << QStringList{QStringLiteral("\u00e4")};
    QTest::newRow("malformed UTF-8") << "s3" << Record({"a\xff" "b"}) << QStringList{QStringLiteral("a\ufffdb")};
    QTest::newRow("nothing trimmed")
        << "s7" << Record({"\xef\xbb\xbf x \t"}) << QStringList{QStringLiteral("\ufeff x \t")};
    QTest::newRow("sequence cut at a value's end")
        << "s1 s1" << Record({"\xc3", "\xa4"}) << QStringList{QStringLiteral("\ufffd"), QStringLiteral("\ufffd")};
    QTest::newRow("no shown field") << "h3 h1" << Record({"abc", "d"}) << QStringList{};
    QTest::newRow("short record cut at its end") << "s3 s4 s1" << Record({"abc", "defg"}).left(25) << QStringList{"abc", "de", ""};
}

void TestRecords::decodesShownFields()
{
    QFETCH(QString, layout);
    QFETCH(QByteArray, record);
    QFETCH(QStringList, texts);
    QCOMPARE(Decode(layout, record), texts);
}

void TestRecords::zeroKeysCompareEqual()
{
    const QByteArray record = Record({QByteArray(3, '\0'), "x"});
    const QStringList first = Decode("s3 s1", record);
    const QStringList second = Decode("s3 h1", record);
    QCOMPARE(first.first().size(), 3);
    QVERIFY(first.first() == second.first());
}

void TestRecords::recordBytes_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<qint64>("bytes");
    const QString widest = QString::number(std::numeric_limits<qint32>::max());
    QTest::newRow("example") << "s5 h4 s20" << qint64(62);
    QTest::newRow("empty") << "" << qint64(0);
    QTest::newRow("beyond 32 bits")
        << "s" + widest + " h" + widest << 2 * (qint64(std::numeric_limits<qint32>::max()) + 11);
}

void TestRecords::recordBytes()
{
    QFETCH(QString, layout);
    QFETCH(qint64, bytes);
    QCOMPARE(protocol::RecordBytes(Layout(layout)), bytes);
}

void TestRecords::judgesTheBytesOfAFailedFetch_data()
{
    using protocol::Failure;
    using protocol::RecordFit;
    QTest::addColumn<Failure>("why");
    QTest::addColumn<qint64>("records");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<RecordFit>("fit");
    // Records of 135 bytes asked for.
    QTest::newRow("3 records of 131") << Failure::Timeout << qint64(3) << qint64(393) << RecordFit::OtherRecordSize;
    QTest::newRow("3 records of 139") << Failure::Timeout << qint64(3) << qint64(417) << RecordFit::OtherRecordSize;
    QTest::newRow("one live reading") << Failure::Timeout << qint64(1) << qint64(131) << RecordFit::OtherRecordSize;
    QTest::newRow("cut short") << Failure::Timeout << qint64(3) << qint64(404) << RecordFit::FewerBytes;
    QTest::newRow("area overrun") << Failure::LinkError << qint64(3) << qint64(407) << RecordFit::MoreBytes;
    QTest::newRow("link lost halfway") << Failure::LinkError << qint64(3) << qint64(270) << RecordFit::NothingToSay;
    QTest::newRow("link lost mid-record") << Failure::LinkError << qint64(3) << qint64(300) << RecordFit::NothingToSay;
    QTest::newRow("all came") << Failure::LinkError << qint64(3) << qint64(405) << RecordFit::NothingToSay;
    QTest::newRow("nothing came") << Failure::Timeout << qint64(3) << qint64(0) << RecordFit::NothingToSay;
    QTest::newRow("cancelled") << Failure::Interrupted << qint64(3) << qint64(393) << RecordFit::NothingToSay;
    QTest::newRow("no records asked") << Failure::Timeout << qint64(0) << qint64(7) << RecordFit::NothingToSay;
}

void TestRecords::judgesTheBytesOfAFailedFetch()
{
    QFETCH(protocol::Failure, why);
    QFETCH(qint64, records);
    QFETCH(qint64, received);
    QFETCH(protocol::RecordFit, fit);
    const protocol::FetchSizes sizes{135, records, received};
    QCOMPARE(protocol::JudgeRecordFit(why, sizes), fit);
    // A line exactly when there is something to say, naming both sides.
    const QString text = protocol::RecordMisfitText(why, sizes, QStringLiteral("/etc/x.ini"));
    QCOMPARE(text.isEmpty(), fit == protocol::RecordFit::NothingToSay);
    if (fit == protocol::RecordFit::FewerBytes)
        QCOMPARE(text, QStringLiteral("The meter sent 404 bytes, fewer than the 405 that the configuration "
                                      "\"/etc/x.ini\" lays out for 3 records of 135 bytes. The configuration "
                                      "must match the meter's firmware."));
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
