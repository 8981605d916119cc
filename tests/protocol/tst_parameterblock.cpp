#include "protocol/parameterblock.h"

#include <QByteArray>
#include <QTest>

using protocol::ParameterBlock;

namespace {

QByteArray Encode(ParameterBlock &block)
{
    QByteArray text(ParameterBlock::TextSize, '\0');
    protocol::EncodeParameterBlock(block, text.data());
    return text;
}

// A block whose bytes all differ from their neighbours, so a misplaced or
// missing byte shows up.
ParameterBlock PatternBlock()
{
    ParameterBlock block;
    for (int i = 0; i < ParameterBlock::Size; ++i)
        block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return block;
}

ParameterBlock Filled(std::uint8_t value)
{
    ParameterBlock block;
    block.bytes.fill(value);
    return block;
}

int Sum(const ParameterBlock &block)
{
    int sum = 0;
    for (std::uint8_t b : block.bytes)
        sum += b;
    return sum;
}

} // namespace

class TestParameterBlock : public QObject {
    Q_OBJECT

private slots:
    void hexDigits();
    void wordFieldsTravelHighByteFirst();
    void checksumMakesTheSumZero();
    void encodeWritesUpperCaseAndIsRepeatable();
    void decodeReadsEitherCase();
    void roundTripRepairsChecksum();
    void partialDecodeStopsAtBadPair_data();
    void partialDecodeStopsAtBadPair();
    void checkedDecodeAcceptsGoodBlock();
    void checkedDecodeRefusesBadText_data();
    void checkedDecodeRefusesBadText();
};

void TestParameterBlock::hexDigits()
{
    const QByteArray digits = "0123456789ABCDEF";
    for (int v = 0; v < 16; ++v) {
        QCOMPARE(protocol::HexDigitChar(v), digits[v]);
        int upper = -1;
        int lower = -1;
        QVERIFY(protocol::HexDigitValue(digits[v], upper));
        QVERIFY(protocol::HexDigitValue(QChar::fromLatin1(digits[v]).toLower().toLatin1(), lower));
        QCOMPARE(upper, v);
        QCOMPARE(lower, v);
    }
    // The neighbours of each accepted range, and bytes with the top bit set.
    for (char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\r', static_cast<char>(0xC1)}) {
        int value = 99;
        QVERIFY2(!protocol::HexDigitValue(c, value), QByteArray(1, c).toHex().constData());
        QCOMPARE(value, 99);
    }
}

void TestParameterBlock::wordFieldsTravelHighByteFirst()
{
    ParameterBlock block;
    block.setWord(ParameterBlock::SerialNumber, 1234);
    QCOMPARE(block[0], std::uint8_t(0xD2));
    QCOMPARE(block[1], std::uint8_t(0x04));
    block.setWord(ParameterBlock::CalibrationCoefficient, 0xABCD);
    block.setWord(ParameterBlock::RangeFrom, 1);
    block.setWord(ParameterBlock::RangeTo, 0x0203);
    block[ParameterBlock::UsageCount] = 0x12; // three bytes, already high first
    block[ParameterBlock::UsageCount + 1] = 0x34;
    block[ParameterBlock::UsageCount + 2] = 0x56;
    const ParameterBlock before = block;

    const QByteArray text = Encode(block);
    QCOMPARE(text.left(14), QByteArray("04D2123456ABCD"));
    QCOMPARE(text.mid(142, 4), QByteArray("0001"));
    QCOMPARE(text.mid(146, 4), QByteArray("0203"));

    // Only the checksum may change in memory.
    for (int i = 0; i < ParameterBlock::Checksum; ++i)
        QCOMPARE(block[i], before[i]);
    QCOMPARE(block.word(ParameterBlock::SerialNumber), std::uint16_t(1234));
    QCOMPARE(block.word(ParameterBlock::RangeTo), std::uint16_t(0x0203));

    ParameterBlock decoded;
    protocol::DecodeParameterBlock(text.constData(), decoded);
    QVERIFY(decoded.bytes == block.bytes);
}

void TestParameterBlock::checksumMakesTheSumZero()
{
    ParameterBlock zero = Filled(0x80); // 256 * 0x80: a multiple of 256
    Encode(zero);
    QCOMPARE(zero[ParameterBlock::Checksum], std::uint8_t(0));

    ParameterBlock one;
    one[10] = 1;
    one[ParameterBlock::Checksum] = 0x55; // the old checksum plays no part
    const QByteArray text = Encode(one);
    QCOMPARE(one[ParameterBlock::Checksum], std::uint8_t(0xFF));
    QCOMPARE(text.right(2), QByteArray("FF"));

    ParameterBlock pattern = PatternBlock();
    Encode(pattern);
    QCOMPARE(Sum(pattern) % 256, 0);
}

void TestParameterBlock::encodeWritesUpperCaseAndIsRepeatable()
{
    ParameterBlock block = PatternBlock();
    const QByteArray first = Encode(block);
    const QByteArray second = Encode(block);
    QCOMPARE(first, second);
    QCOMPARE(first.size(), ParameterBlock::TextSize);
    for (char c : first)
        QVERIFY2((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'), first.constData());
    QCOMPARE(first.mid(2 * 100, 2), QByteArray::number(block[100], 16).toUpper().rightJustified(2, '0'));
}

void TestParameterBlock::decodeReadsEitherCase()
{
    ParameterBlock block = PatternBlock();
    const QByteArray upper = Encode(block);
    ParameterBlock fromUpper = Filled(0x11);
    ParameterBlock fromLower = Filled(0x22);
    protocol::DecodeParameterBlock(upper.constData(), fromUpper);
    protocol::DecodeParameterBlock(upper.toLower().constData(), fromLower);
    QVERIFY(fromUpper.bytes == block.bytes);
    QVERIFY(fromLower.bytes == block.bytes);
}

void TestParameterBlock::roundTripRepairsChecksum()
{
    ParameterBlock block = PatternBlock();
    const QByteArray good = Encode(block);
    QByteArray received = good.toLower();
    received[512] = good[512] == '0' ? '1' : '0'; // wrong checksum pair

    ParameterBlock decoded;
    protocol::DecodeParameterBlock(received.constData(), decoded);
    QCOMPARE(Encode(decoded), good);
}

void TestParameterBlock::partialDecodeStopsAtBadPair_data()
{
    QTest::addColumn<int>("pair");
    QTest::addColumn<int>("inPair"); // which of the two characters is bad
    QTest::newRow("first character") << 0 << 0;
    QTest::newRow("low nibble of pair 1") << 1 << 1;
    QTest::newRow("inside calibration word") << 6 << 0;
    QTest::newRow("inside range map") << 120 << 1;
    QTest::newRow("checksum pair") << 256 << 0;
}

void TestParameterBlock::partialDecodeStopsAtBadPair()
{
    QFETCH(int, pair);
    QFETCH(int, inPair);
    ParameterBlock source = PatternBlock();
    QByteArray text = Encode(source);
    text[2 * pair + inPair] = 'G';

    const ParameterBlock before = Filled(0xEE);
    ParameterBlock block = before;
    protocol::DecodeParameterBlock(text.constData(), block);

    // Bytes before the bad pair stand in text order: no pair was exchanged.
    for (int i = 0; i < pair; ++i) {
        bool ok = false;
        QCOMPARE(int(block[i]), text.mid(2 * i, 2).toInt(&ok, 16));
    }
    for (int i = pair; i < ParameterBlock::Size; ++i)
        QCOMPARE(block[i], before[i]);
    if (pair == 256) { // the "G0" case: swapped words stay high byte first
        QCOMPARE(block[0], source[1]);
        QCOMPARE(block[1], source[0]);
        QCOMPARE(block[74], source[73]);
    }
}

void TestParameterBlock::checkedDecodeAcceptsGoodBlock()
{
    ParameterBlock source = PatternBlock();
    const QByteArray text = Encode(source).toLower();
    ParameterBlock block = Filled(0x33);
    QVERIFY(protocol::DecodeCheckedParameterBlock(text.constData(), block));
    QVERIFY(block.bytes == source.bytes);
}

void TestParameterBlock::checkedDecodeRefusesBadText_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<char>("character");
    QTest::newRow("bad first digit") << 0 << 'x';
    QTest::newRow("bad last digit") << 513 << 'G';
    QTest::newRow("NUL in the middle") << 300 << '\0';
    QTest::newRow("wrong checksum") << 513 << '~'; // replaced below by a wrong digit
    QTest::newRow("changed data byte") << 200 << '~';
}

void TestParameterBlock::checkedDecodeRefusesBadText()
{
    QFETCH(int, position);
    QFETCH(char, character);
    ParameterBlock source = PatternBlock();
    QByteArray text = Encode(source);
    if (character == '~') // a good digit that breaks the sum
        character = text[position] == '5' ? '6' : '5';
    text[position] = character;

    const ParameterBlock before = Filled(0x44);
    ParameterBlock block = before;
    QVERIFY(!protocol::DecodeCheckedParameterBlock(text.constData(), block));
    QVERIFY(block.bytes == before.bytes);
}

QTEST_GUILESS_MAIN(TestParameterBlock)
#include "tst_parameterblock.moc"
