// The virtual link's line codec and the TARVOLIN_LINK endpoint list.

#include "link/vlinkbluetoothle.h"
#include "vlink/vlinkwire.h"

#include <QTest>

using devlink::VLinkBluetoothLE;
using devlink::VLinkEndpoint;

class TestVLinkWire : public QObject {
    Q_OBJECT
private slots:
    void linesEndAtLfAndDropOneCr();
    void oversizedLineIsDroppedWhole_data();
    void oversizedLineIsDroppedWhole();
    void longRunWithoutLfCostsOnePass();
    void tokensAndRest();
    void hexEitherCaseInUpperOut();
    void uuidsCompareAsValues();
    void uuidsRefuseNonCanonicalForms();
    void statusIsDecimal();
    void endpointLists();
    void malformedEndpointLists();
};

void TestVLinkWire::linesEndAtLfAndDropOneCr()
{
    vlink::LineReader reader;
    reader.Append("ADV a b\r\nEN");
    QCOMPARE(reader.Next(), std::optional<QByteArray>("ADV a b"));
    QCOMPARE(reader.Next(), std::nullopt); // "EN" is not a line yet
    reader.Append("D\n\r\r\n\n");
    QCOMPARE(reader.Next(), std::optional<QByteArray>("END"));
    QCOMPARE(reader.Next(), std::optional<QByteArray>("\r")); // only the CR right before LF goes
    QCOMPARE(reader.Next(), std::optional<QByteArray>(""));
    QCOMPARE(reader.Next(), std::nullopt);
}

void TestVLinkWire::oversizedLineIsDroppedWhole_data()
{
    QTest::addColumn<QList<qsizetype>>("cuts"); // read sizes, repeated to the end
    QTest::newRow("one read") << QList<qsizetype>{1 << 30};
    QTest::newRow("byte by byte") << QList<qsizetype>{1};
    QTest::newRow("odd sizes") << QList<qsizetype>{7, 4093, 1};
    QTest::newRow("network-like") << QList<qsizetype>{4096};
    // Reads that end right at, before and after the length limit.
    for (qsizetype at : {vlink::MaxLineLength - 1, vlink::MaxLineLength, vlink::MaxLineLength + 1,
                         vlink::MaxLineLength + 2, vlink::MaxLineLength + 3})
        QTest::addRow("cut at %lld", static_cast<long long>(at)) << QList<qsizetype>{at, 1 << 30};
}

void TestVLinkWire::oversizedLineIsDroppedWhole()
{
    QFETCH(QList<qsizetype>, cuts);
    // A line exactly at the limit passes; one byte more and it is dropped,
    // whichever way the reads cut the stream.
    const QByteArray atLimit(vlink::MaxLineLength, 'x');
    const QByteArray overLimit(vlink::MaxLineLength + 1, 'y');
    const QByteArray stream = "A\n" + atLimit + "\n" + overLimit + "\nB\r\n" + overLimit + "z\r\nC\n";
    vlink::LineReader reader;
    QList<QByteArray> lines;
    qsizetype pos = 0;
    for (int k = 0; pos < stream.size(); ++k) {
        const qsizetype n = std::min(cuts[k % cuts.size()], stream.size() - pos);
        reader.Append(QByteArrayView(stream).sliced(pos, n));
        pos += n;
        while (auto line = reader.Next())
            lines << *line;
    }
    QCOMPARE(lines, (QList<QByteArray>{"A", atLimit, "B", "C"}));
}

void TestVLinkWire::longRunWithoutLfCostsOnePass()
{
    // 50 MB without LF in network-sized reads, then a line: each byte is
    // looked at once, so this is over in a moment.
    vlink::LineReader reader;
    const QByteArray block(4096, 'q');
    for (int k = 0; k < 50 * 256; ++k) {
        reader.Append(block);
        QCOMPARE(reader.Next(), std::nullopt);
    }
    reader.Append("\nEND\n");
    QCOMPARE(reader.Next(), std::optional<QByteArray>("END"));
}

void TestVLinkWire::tokensAndRest()
{
    const vlink::Line adv = vlink::ParseLine("ADV  Meter with  spaces ");
    QCOMPARE(adv.verb, QByteArray("ADV"));
    QCOMPARE(adv.rest, QByteArray(" Meter with  spaces "));

    const vlink::Line empty = vlink::ParseLine("ADV");
    QCOMPARE(empty.verb, QByteArray("ADV"));
    QVERIFY(empty.rest.isEmpty());

    // An empty payload may be written with or without its separator.
    QCOMPARE(vlink::ParseLine("NOTIFY u ").args, QList<QByteArray>({"u"}));
    QCOMPARE(vlink::ParseLine("NOTIFY u 0a").args, QList<QByteArray>({"u", "0a"}));
    QCOMPARE(vlink::FormatLine({"WRITTEN", "u", "0"}), QByteArray("WRITTEN u 0\n"));
}

void TestVLinkWire::hexEitherCaseInUpperOut()
{
    QCOMPARE(vlink::ParseHex("00ff7Fa0"), std::optional<QByteArray>(QByteArray("\x00\xff\x7f\xa0", 4)));
    QCOMPARE(vlink::ParseHex(""), std::optional<QByteArray>(QByteArray()));
    QCOMPARE(vlink::ParseHex("abc"), std::nullopt);
    QCOMPARE(vlink::ParseHex("0g"), std::nullopt);
    QCOMPARE(vlink::ParseHex("+1"), std::nullopt);
    QCOMPARE(vlink::FormatHex(QByteArray("\x00\xab\x1b", 3)), QByteArray("00AB1B"));
}

void TestVLinkWire::uuidsCompareAsValues()
{
    const auto plain = vlink::ParseUuid("49535343-1e4d-4bd9-ba61-23c647249616");
    const auto braced = vlink::ParseUuid("{49535343-1E4D-4BD9-BA61-23C647249616}");
    QVERIFY(plain && braced);
    QCOMPARE(*plain, *braced);
    QCOMPARE(vlink::FormatUuid(*plain), QByteArray("49535343-1E4D-4BD9-BA61-23C647249616"));
    QVERIFY(*plain != *vlink::ParseUuid("49535343-FE7D-4AE5-8FA9-9FAFD205E455"));
}

void TestVLinkWire::uuidsRefuseNonCanonicalForms()
{
    for (const char *text : {"49535343-1E4D-4BD9-BA61-23C64724961", "{49535343-1E4D-4BD9-BA61-23C647249616",
                             "495353431E4D4BD9BA6123C647249616", "49535343+1E4D-4BD9-BA61-23C647249616",
                             "4953534G-1E4D-4BD9-BA61-23C647249616", "(49535343-1E4D-4BD9-BA61-23C647249616)", ""})
        QVERIFY2(!vlink::ParseUuid(text), text);
}

void TestVLinkWire::statusIsDecimal()
{
    QCOMPARE(vlink::ParseStatus("133"), std::optional<int>(133));
    QCOMPARE(vlink::ParseStatus("0"), std::optional<int>(0));
    QCOMPARE(vlink::ParseStatus("x"), std::nullopt);
    QCOMPARE(vlink::ParseStatus(""), std::nullopt);
}

void TestVLinkWire::endpointLists()
{
    QList<VLinkEndpoint> endpoints;
    QVERIFY(VLinkBluetoothLE::ParseEndpoints("vlink:127.0.0.1:47001", &endpoints));
    QCOMPARE(endpoints, QList<VLinkEndpoint>({{"127.0.0.1", 47001}}));
    QVERIFY(VLinkBluetoothLE::ParseEndpoints("vlink:localhost:1,[::1]:65535", &endpoints));
    QCOMPARE(endpoints, QList<VLinkEndpoint>({{"localhost", 1}, {"::1", 65535}}));
}

void TestVLinkWire::malformedEndpointLists()
{
    const QList<VLinkEndpoint> before = {{"keep", 9}};
    for (const char *value : {"vlink:", "vlink:host", "vlink:host:", "vlink::47001", "vlink:h:0",
                              "vlink:h:65536", "vlink:h:-1", "vlink:h:+5", "vlink:h:12x", "vlink:h:1,",
                              "vlink:::1:5", "vlink:[::1]5", "VLINK:h:1", "tcp:h:1", "h:1"}) {
        QList<VLinkEndpoint> endpoints = before;
        QVERIFY2(!VLinkBluetoothLE::ParseEndpoints(value, &endpoints), value);
        QCOMPARE(endpoints, before);
    }
}

QTEST_GUILESS_MAIN(TestVLinkWire)
#include "tst_vlinkwire.moc"
