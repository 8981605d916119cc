// The block's JSON document: whatever a meter holds comes back byte for
// byte, and each kind of bad document is refused where it can first be
// told: from the file alone, or against the meter's block.
#include "data/blockjson.h"
#include "protocol/blockfields.h"
#include "protocol/codepage.h"
#include "tests/support/testfiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using protocol::ParameterBlock;

namespace {

// The richer test block with `bytes` stored at `offset`.
ParameterBlock Odd(int offset, const QByteArray &bytes)
{
    ParameterBlock b = testsupport::RicherBlock();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        b[offset + int(i)] = static_cast<std::uint8_t>(bytes[i]);
    return b;
}

QByteArray WithoutHex(const QByteArray &json)
{
    QJsonObject o = QJsonDocument::fromJson(json).object();
    o.remove(QStringLiteral("hex"));
    return QJsonDocument(o).toJson();
}

// Whether the code page in force leaves byte 0x81 unassigned: the fallback
// table does, while Windows' own Windows-1252 maps it to U+0081 both ways.
bool CodePageLacks81()
{
    return protocol::ToCodePage(QStringLiteral("\u0081")) != "\x81";
}

QByteArray MapWithZeroFirst()
{
    QByteArray map = "[0";
    for (int e = 1; e < ParameterBlock::RangeMapLength; ++e)
        map += ',' + QByteArray::number(e);
    return map + ']';
}

} // namespace

class TestBlockJson : public QObject {
    Q_OBJECT
private slots:
    void whateverTheMeterHoldsComesBack_data();
    void whateverTheMeterHoldsComesBack();
    void faultsAreRefusedWhereTheyShow_data();
    void faultsAreRefusedWhereTheyShow();
    void changesLeaveOutWhatEveryWriteClears_data();
    void changesLeaveOutWhatEveryWriteClears();
};

void TestBlockJson::whateverTheMeterHoldsComesBack_data()
{
    QTest::addColumn<ParameterBlock>("block");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("shown");
    QTest::newRow("service date FF FF FF") << Odd(ParameterBlock::ServiceDate, "\xFF\xFF\xFF")
                                           << "serviceDate" << QJsonValue("2255-256-256");
    QTest::newRow("30 February") << Odd(ParameterBlock::ServiceDate, QByteArray("\x18\x01\x1D", 3))
                                 << "serviceDate" << QJsonValue("2024-02-30");
    QTest::newRow("text byte 0x81") << Odd(ParameterBlock::InfoText, QByteArray("ab\x81\0", 4))
                                    << "infoText" << QJsonValue(QStringLiteral("ab\u0081"));
    QTest::newRow("text after a zero byte") << Odd(ParameterBlock::InfoText, QByteArray("abc\0garbage", 11))
                                            << "infoText" << QJsonValue("abc");
    QTest::newRow("200 active ranges") << Odd(ParameterBlock::ActiveRangeCount, "\xC8") << "activeRangeCount"
                                       << QJsonValue(200);
    QTest::newRow("range 0 in use") << Odd(ParameterBlock::RangeMap, QByteArray(1, '\0')) << "activeRangeCount"
                                    << QJsonValue(25);
    QTest::newRow("printout flag 1") << Odd(ParameterBlock::PrintoutFlag, "\x01") << "printout" << QJsonValue(false);
}

// The document `read` prints applied back: with its hex onto any block,
// without it onto the block it came from.
void TestBlockJson::whateverTheMeterHoldsComesBack()
{
    QFETCH(ParameterBlock, block);
    QFETCH(QString, key);
    QFETCH(QJsonValue, shown);
    const QByteArray json = data::BlockToJson(block);
    QCOMPARE(QJsonDocument::fromJson(json).object().value(key), shown);
    ParameterBlock other;
    QString error;
    QVERIFY2(data::ApplyJson(json, other, &error), qPrintable(error));
    QVERIFY(std::equal(other.bytes.begin(), other.bytes.end() - 1, block.bytes.begin()));
    ParameterBlock same = block;
    QVERIFY2(data::ApplyJson(WithoutHex(json), same, &error), qPrintable(error));
    QCOMPARE(same.bytes, block.bytes);
}

void TestBlockJson::faultsAreRefusedWhereTheyShow_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("meterMap"); // applied to the richer block, else to a blank one
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<bool>("byFileAlone");
    QTest::addColumn<QList<quint16>>("serials"); // the serial numbers the file names

    const QByteArray hex = QJsonDocument::fromJson(data::BlockToJson(testsupport::RicherBlock()))
                               .object().value("hex").toString().toLatin1();
    const QString inUse = QStringLiteral("rangeMap[0]: entries in use");
    const auto row = [](const char *name, const QByteArray &json, bool meterMap, const QString &refusal,
                        bool byFileAlone, const QList<quint16> &serials) {
        QTest::newRow(name) << json << meterMap << refusal << byFileAlone << serials;
    };
    row("count against the meter's map", R"({"activeRangeCount": 13})", true, {}, false, {});
    row("count against a blank map", R"({"activeRangeCount": 13})", false, inUse, false, {});
    row("range 0 with the count", R"({"rangeMap": )" + MapWithZeroFirst() + "}", true, inUse, false, {});
    row("range 0 on the file's own block", R"({"hex": ")" + hex + R"(", "rangeMap": )" + MapWithZeroFirst() + "}",
        true, inUse, true, {});
    row("key twice", R"({"serialNumber": 5, "serialNumber": 1})", true, "the key \"serialNumber\" stands twice",
        true, {});
    row("key twice after a bad value", R"({"printout": "yes", "printout": true})", true,
        "the key \"printout\" stands twice", true, {});
    row("key twice through an escape", R"({"infoText": "a", "info\u0054ext": "a"})", true,
        "the key \"infoText\" stands twice", true, {});
    row("key twice in a nested object", R"({"meter": {"name": "a", "name": "b"}})", true,
        "the key \"name\" stands twice", true, {});
    row("same key in two objects", R"({"meter": {"name": "a", "x": {"name": "b"}}})", true, {}, false, {});
    row("count no block holds", R"({"activeRangeCount": 256})", true,
        "activeRangeCount: allowed values are the integers 0..180", true, {});
    row("count only as no change", R"({"activeRangeCount": 200})", true,
        "activeRangeCount: allowed values are the integers 0..180", false, {});
    row("a date the calendar lacks as a change", R"({"serviceDate": "2024-02-30"})", true,
        "serviceDate: allowed values are dates", false, {});
    row("a date not written as read prints it", R"({"serviceDate": "2024-2-3"})", true,
        "serviceDate: allowed values are dates", true, {});
    // Shown either way; a change only where it comes back through the field.
    row("text byte 0x81 as a change", R"({"infoText": "\u0081"})", true,
        CodePageLacks81() ? QStringLiteral("infoText: allowed values") : QString(), false, {});
    row("a text no block holds", R"({"infoText": "Ω"})", true, "infoText: allowed values", true, {});
    row("a number beyond any integer", R"({"usageCount": 1e300})", true, "usageCount: allowed values", true, {});
    row("meter member ignored, serial named", R"({"meter": 5, "serialNumber": 40213})", true, {}, false, {40213});
    row("serial through hex", R"({"hex": ")" + hex + R"("})", false, {}, false, {40213});
    row("serial named and through hex", R"({"hex": ")" + hex + R"(", "serialNumber": 1})", false, {}, false,
        {1, 40213});
}

void TestBlockJson::faultsAreRefusedWhereTheyShow()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, meterMap);
    QFETCH(QString, refusal);
    QFETCH(bool, byFileAlone);
    QFETCH(QList<quint16>, serials);
    data::BlockEdits edits;
    QString error;
    const bool parsed = edits.Parse(json, &error);
    QCOMPARE(parsed, !byFileAlone);
    if (parsed) {
        QCOMPARE(edits.SerialNumbers(), serials);
        const ParameterBlock before = meterMap ? testsupport::RicherBlock() : ParameterBlock();
        ParameterBlock block = before;
        QCOMPARE(edits.ApplyTo(block, &error), refusal.isEmpty());
        if (!refusal.isEmpty())
            QCOMPARE(block.bytes, before.bytes);
    }
    QVERIFY2(refusal.isEmpty() ? error.isEmpty() : error.startsWith(refusal), qPrintable(error));
}

void TestBlockJson::changesLeaveOutWhatEveryWriteClears_data()
{
    QTest::addColumn<ParameterBlock>("after");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("cleared");
    ParameterBlock written = testsupport::RicherBlock();
    protocol::ClearReserved(written);
    protocol::SetDownloadRange(written, 0, 0);
    QTest::newRow("a restore") << written << QStringList() << true;
    QTest::newRow("text behind the zero byte")
        << Odd(ParameterBlock::InfoText + 40, "x") << QStringList{"other bytes of the block changed"} << false;
    QTest::newRow("a new text") << Odd(ParameterBlock::InfoText, QByteArray("Kiln\0", 5))
                                << QStringList{"infoText: Sawmill Lindqvist, kiln hall 2 -> Kiln"} << false;
}

void TestBlockJson::changesLeaveOutWhatEveryWriteClears()
{
    QFETCH(ParameterBlock, after);
    QFETCH(QStringList, lines);
    QFETCH(bool, cleared);
    const ParameterBlock before = testsupport::RicherBlock();
    QCOMPARE(data::DescribeChanges(before, after), lines);
    QCOMPARE(data::ClearedBytesDiffer(before, after), cleared);
}

QTEST_APPLESS_MAIN(TestBlockJson)
#include "tst_blockjson.moc"
