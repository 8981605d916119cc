// Each field of the parameter block through its accessors: which bytes stand
// for which value, what a write stores and that it stores nothing else; the
// validity rules; and the download range rules.

#include "protocol/blockfields.h"
#include "protocol/codepage.h"
#include "protocol/downloadrange.h"

#include <QPoint>
#include <QTest>

#include <functional>
#include <map>
#include <optional>

using protocol::ParameterBlock;

namespace {

// One field as the table sees it: where its bytes start, its value read
// from the block, and its value written into it.
struct Accessor {
    int offset;
    std::function<QVariant(const ParameterBlock &)> read;
    std::function<void(ParameterBlock &, const QVariant &)> write;
};

const std::map<QString, Accessor> &Accessors()
{
    using namespace protocol;
    static const std::map<QString, Accessor> table{
        {"serialNumber",
         {ParameterBlock::SerialNumber, [](auto &b) { return QVariant(int(b.word(ParameterBlock::SerialNumber))); },
          [](auto &b, auto &v) { b.setWord(ParameterBlock::SerialNumber, LowWord(v.toLongLong())); }}},
        {"calibrationCoefficient",
         {ParameterBlock::CalibrationCoefficient,
          [](auto &b) { return QVariant(int(b.word(ParameterBlock::CalibrationCoefficient))); },
          [](auto &b, auto &v) { b.setWord(ParameterBlock::CalibrationCoefficient, LowWord(v.toLongLong())); }}},
        {"usageCount",
         {ParameterBlock::UsageCount, [](auto &b) { return QVariant(int(UsageCountValue(b))); },
          [](auto &b, auto &v) { SetUsageCount(b, v.toLongLong()); }}},
        {"date",
         {ParameterBlock::ServiceDate, [](auto &b) { return QVariant(DateAt(b, ParameterBlock::ServiceDate).Calendar()); },
          [](auto &b, auto &v) { SetDateAt(b, ParameterBlock::ServiceDate, DateBytes::Of(v.toDate())); }}},
        {"dateUnset",
         {ParameterBlock::ManufactureDate,
          [](auto &b) { return QVariant(DateAt(b, ParameterBlock::ManufactureDate).IsUnset()); }, nullptr}},
        {"printout",
         {ParameterBlock::PrintoutFlag, [](auto &b) { return QVariant(PrintoutOn(b)); },
          [](auto &b, auto &v) { SetPrintout(b, v.toBool()); }}},
        {"infoText",
         {ParameterBlock::InfoText, [](auto &b) { return QVariant(InfoTextValue(b)); },
          [](auto &b, auto &v) { SetInfoTextValue(b, v.toString()); }}},
        {"infoTextBytes",
         {ParameterBlock::InfoText, [](auto &b) { return QVariant(InfoTextBytes(b)); },
          [](auto &b, auto &v) { SetInfoTextBytes(b, v.toByteArray()); }}},
        {"clearReserved", {ParameterBlock::ReservedCleared, nullptr, [](auto &b, auto &) { ClearReserved(b); }}},
        {"downloadRange",
         {ParameterBlock::RangeFrom,
          [](auto &b) {
              return QVariant(QPoint(b.word(ParameterBlock::RangeFrom), b.word(ParameterBlock::RangeTo)));
          },
          [](auto &b, auto &v) { SetDownloadRange(b, v.toPoint().x(), v.toPoint().y()); }}},
        // The item of the list "1".."180" that shows the count, and back.
        {"activeRangeItem",
         {ParameterBlock::ActiveRangeCount, [](auto &b) { return QVariant(ActiveRangeItem(b)); },
          [](auto &b, auto &v) { SetActiveRangeCount(b, ActiveRangeCountOfItem(v.toInt())); }}},
        {"activeEntries",
         {ParameterBlock::ActiveRangeCount, [](auto &b) { return QVariant(ActiveEntryCount(b)); }, nullptr}},
        {"lastRangeMapEntry",
         {ParameterBlock::RangeMap + 179, [](auto &b) { return QVariant(int(RangeMapEntry(b, 179))); },
          [](auto &b, auto &v) { SetRangeMapEntry(b, 179, v.toLongLong()); }}},
    };
    return table;
}

// Every byte set and none zero, so a byte written by mistake shows.
ParameterBlock PatternBlock()
{
    ParameterBlock block;
    for (int i = 0; i < ParameterBlock::Size; ++i)
        block[i] = static_cast<std::uint8_t>(0xA0 + i % 7);
    return block;
}

QByteArray Padded(const QByteArray &text)
{
    return text + QByteArray(ParameterBlock::InfoTextLength - text.size(), '\0');
}

enum Way { Both, ReadOnly, WriteOnly };

// A byte the code page in force has no character for, as the character of
// the same value; none where every byte has one (Windows' own 1252 gives
// its five unassigned bytes the control characters of the same value).
std::optional<QChar> LackedByte()
{
    for (int b = 0x80; b <= 0xFF; ++b) {
        const QByteArray byte(1, static_cast<char>(b));
        const QString read = protocol::FromCodePage(byte);
        if (read == QString(QChar(b)) && protocol::ToCodePage(read) != byte)
            return QChar(b);
    }
    return std::nullopt;
}

} // namespace

class TestBlockFields : public QObject {
    Q_OBJECT

private slots:
    void fieldRules_data();
    void fieldRules();
    void validity_data();
    void validity();
    void downloadRange_data();
    void downloadRange();
};

void TestBlockFields::fieldRules_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QByteArray>("stored"); // the bytes from the field's offset on
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("way");

    const auto row = [](const char *name, const char *field, const QByteArray &stored, const QVariant &value,
                        Way way = Both) {
        QTest::newRow(name) << QString::fromLatin1(field) << stored << value << int(way);
    };
    const auto hex = [](const char *digits) { return QByteArray::fromHex(digits); };

    row("serial low byte first", "serialNumber", hex("D204"), 1234);
    row("serial keeps the low 16 bits", "serialNumber", hex("7011"), 70000, WriteOnly);
    row("calibration", "calibrationCoefficient", hex("409C"), 40000);

    row("usage high byte first", "usageCount", hex("012345"), 74565);
    row("usage 2^23 is negative", "usageCount", hex("800000"), -8388608);
    row("usage all ones is -1", "usageCount", hex("FFFFFF"), -1);
    row("usage largest", "usageCount", hex("7FFFFF"), 8388607);
    row("usage keeps the low 24 bits", "usageCount", hex("000005"), (1 << 24) + 5, WriteOnly);

    row("date 29 February 2024", "date", hex("18011C"), QDate(2024, 2, 29));
    row("date 1 January 2000", "date", hex("000000"), QDate(2000, 1, 1));
    row("date 29 February 2023 is none", "date", hex("17011C"), QDate(), ReadOnly);
    row("date month byte 12 is none", "date", hex("170C00"), QDate(), ReadOnly);
    row("date all ones is none", "date", hex("FFFFFF"), QDate(), ReadOnly);
    row("date year keeps its low byte", "date", hex("2C0000"), QDate(2300, 1, 1), WriteOnly);
    row("three zero bytes are unset", "dateUnset", hex("000000"), true, ReadOnly);
    row("a zero year alone is set", "dateUnset", hex("000001"), false, ReadOnly);

    row("printout FF is on", "printout", hex("FF"), true);
    row("printout 00 is off", "printout", hex("00"), false);
    row("printout 01 is off", "printout", hex("01"), false, ReadOnly);

    row("info text padded", "infoText", Padded("Site 4"), QStringLiteral("Site 4"));
    row("info text through the code page", "infoText", Padded("Buk \xE4 \x80"), QStringLiteral("Buk ä €"));
    row("info text of 45", "infoText", QByteArray(45, 'Z'), QString(45, QLatin1Char('Z')));
    row("info text of 45 without zero byte", "infoText", QByteArray(45, 'Z') + 'Q', QString(45, QLatin1Char('Z')),
        ReadOnly); // the next field is not part of it
    row("info text ends at the first zero byte", "infoText", Padded(QByteArray("abc\0garbage", 11)),
        QStringLiteral("abc"), ReadOnly);
    row("info text cut to 45 bytes", "infoText", QByteArray(45, 'Z'), QString(50, QLatin1Char('Z')), WriteOnly);
    row("info text character outside the code page", "infoText", Padded("?a"), QStringLiteral("Ωa"), WriteOnly);
    const QByteArray odd = Padded(QByteArray("abc\0garbage\x81", 12));
    row("info text bytes as stored", "infoTextBytes", odd, odd);

    // Bytes 16..20 cleared, byte 21 and on kept.
    row("reserved bytes cleared", "clearReserved", hex("0000000000A0A1A2A3"), QVariant(), WriteOnly);

    row("range low byte first", "downloadRange", hex("02010403"), QPoint(0x0102, 0x0304));
    row("range keeps the low 16 bits", "downloadRange", hex("0100FFFF"), QPoint(0x10001, -1), WriteOnly);

    row("count 0: no item", "activeRangeItem", hex("00"), -1);
    row("count 25: item 24", "activeRangeItem", hex("19"), 24);
    row("count 180: last item", "activeRangeItem", hex("B4"), 179);
    row("count 200 shows the last item", "activeRangeItem", hex("C8"), 179, ReadOnly);
    row("count keeps its low byte", "activeRangeItem", hex("00"), 255, WriteOnly);
    row("count 200: 180 entries in use", "activeEntries", hex("C8"), 180, ReadOnly);
    row("count 0: no entry in use", "activeEntries", hex("00"), 0, ReadOnly);

    row("range map entry", "lastRangeMapEntry", hex("B4"), 180);
    row("range map entry 300 keeps its low byte", "lastRangeMapEntry", hex("2C"), 300, WriteOnly);
}

void TestBlockFields::fieldRules()
{
    QFETCH(QString, field);
    QFETCH(QByteArray, stored);
    QFETCH(QVariant, value);
    QFETCH(int, way);
    const Accessor &accessor = Accessors().at(field);
    const ParameterBlock pattern = PatternBlock();

    if (way != WriteOnly) {
        ParameterBlock block = pattern;
        for (qsizetype i = 0; i < stored.size(); ++i)
            block[accessor.offset + int(i)] = static_cast<std::uint8_t>(stored[i]);
        QCOMPARE(accessor.read(block), value);
    }
    if (way != ReadOnly) {
        ParameterBlock block = pattern;
        accessor.write(block, value);
        for (int i = 0; i < ParameterBlock::Size; ++i) {
            const int at = i - accessor.offset;
            const bool inField = at >= 0 && at < stored.size();
            QCOMPARE(int(block[i]), inField ? int(std::uint8_t(stored[at])) : int(pattern[i]));
        }
    }
}

void TestBlockFields::validity_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<bool>("valid");
    const auto row = [](const char *name, const char *rule, const QVariant &input, bool valid) {
        QTest::newRow(name) << QString::fromLatin1(rule) << input << valid;
    };
    row("range 0", "range", 0, false);
    row("range 1", "range", 1, true);
    row("range 180", "range", 180, true);
    row("range 181", "range", 181, false);
    row("text of 45", "infoText", QString(45, QLatin1Char('x')), true);
    row("text of 46", "infoText", QString(46, QLatin1Char('x')), false);
    row("text in the code page", "infoText", QStringLiteral("Buk ä €"), true);
    row("text outside the code page", "infoText", QStringLiteral("Ω"), false);
    if (const std::optional<QChar> lacked = LackedByte()) {
        row("text unassigned in the code page", "infoText", QString(*lacked), false);
        row("shown: a byte the code page lacks", "infoTextShown", QString(*lacked), true);
    }
    row("text with a zero", "infoText", QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b")), false);
    row("shown: text outside the code page", "infoTextShown", QStringLiteral("Ω"), false);
    row("shown: text of 46", "infoTextShown", QString(46, QLatin1Char('x')), false);
    row("date 1999-12-31", "date", QDate(1999, 12, 31), false);
    row("date 2000-01-01", "date", QDate(2000, 1, 1), true);
    row("date 2255-12-31", "date", QDate(2255, 12, 31), true);
    row("date 2256-01-01", "date", QDate(2256, 1, 1), false);
    row("no date", "date", QDate(), false);
}

void TestBlockFields::validity()
{
    QFETCH(QString, rule);
    QFETCH(QVariant, input);
    QFETCH(bool, valid);
    if (rule == QStringLiteral("range"))
        QCOMPARE(protocol::IsValidRange(input.toInt()), valid);
    else if (rule == QStringLiteral("infoText"))
        QCOMPARE(protocol::InfoTextFits(input.toString()), valid);
    else if (rule == QStringLiteral("infoTextShown"))
        QCOMPARE(protocol::InfoTextShowable(input.toString()), valid);
    else
        QCOMPARE(protocol::DateBytes::Fits(input.toDate()), valid);
}

void TestBlockFields::downloadRange_data()
{
    QTest::addColumn<int>("usage");
    QTest::addColumn<int>("last");
    QTest::addColumn<QPoint>("picked");
    QTest::addColumn<QPoint>("ordered");
    QTest::addColumn<qint64>("recordSize");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("To below From exchanged") << 9 << 9 << QPoint(7, 3) << QPoint(3, 7) << qint64(47) << QString();
    QTest::newRow("at most 65535 offered") << 70000 << 65535 << QPoint(1, 65535) << QPoint(1, 65535) << qint64(47)
                                           << QString();
    QTest::newRow("negative usage offers none") << -8388608 << -8388608 << QPoint(1, 1) << QPoint(1, 1)
                                                << qint64(47) << QString();
    QTest::newRow("over 256 MiB refused")
        << 65535 << 65535 << QPoint(1, 65535) << QPoint(1, 65535) << qint64(4097)
        << QStringLiteral("The range 1..65535 would be 268496895 bytes; choose at most 268435456 bytes of records.");
}

void TestBlockFields::downloadRange()
{
    QFETCH(int, usage);
    QFETCH(int, last);
    QFETCH(QPoint, picked);
    QFETCH(QPoint, ordered);
    QFETCH(qint64, recordSize);
    QFETCH(QString, refusal);
    QCOMPARE(protocol::LastOfferedRecord(usage), last);
    const protocol::DownloadRange range = protocol::OrderedRange(picked.x(), picked.y());
    QCOMPARE(QPoint(range.from, range.to), ordered);
    QCOMPARE(protocol::DownloadRangeRefusal(range, recordSize), refusal);
}

QTEST_GUILESS_MAIN(TestBlockFields)
#include "tst_blockfields.moc"
