// The parameter block on the Device data page and back: every field, the
// clamps and defaults on the way, and what the copy back leaves alone.

#include "views/widgets.h"
#include "tests/views/pageform.h"

#include "protocol/blockfields.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <stdexcept>

using protocol::ParameterBlock;
using testsupport::PageForm;

namespace {

using protocol::SetInfoTextBytes;
using protocol::SetUsageCount;

// The stored bytes of a date: year - 2000, month - 1, day - 1.
void SetDate(ParameterBlock &b, int field, int year, int month, int day)
{
    protocol::SetDateAt(b, field, {std::uint8_t(year), std::uint8_t(month), std::uint8_t(day)});
}

// A block as a meter might send it: every byte set, nothing zero by chance.
ParameterBlock MeterBlock()
{
    ParameterBlock b;
    for (int i = 0; i < ParameterBlock::Size; ++i)
        b[i] = static_cast<std::uint8_t>(0xA0 + i % 7);
    b.setWord(ParameterBlock::SerialNumber, 1234);
    SetUsageCount(b, 0x012345);
    b.setWord(ParameterBlock::CalibrationCoefficient, 40000);
    SetDate(b, ParameterBlock::ManufactureDate, 24, 1, 28);      // 29 February 2024
    SetDate(b, ParameterBlock::CharacteristicsDate, 20, 0, 0);   // 1 January 2020
    SetDate(b, ParameterBlock::ServiceDate, 23, 9, 4);           // 5 October 2023
    b[ParameterBlock::PrintoutFlag] = 0xFF;
    SetInfoTextBytes(b, "Hello");
    b[ParameterBlock::ActiveRangeCount] = 25;
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        b[ParameterBlock::RangeMap + e] = static_cast<std::uint8_t>(e * 7 % 256);
    return b;
}

QString Date(QComboBox *y, QComboBox *m, QComboBox *d)
{
    return y->currentText() + QLatin1Char('-') + m->currentText() + QLatin1Char('-') +
           d->currentText();
}

} // namespace

class TestBlockPage : public QObject {
    Q_OBJECT

private slots:
    void everyFieldShownAndCollected()
    {
        PageForm page;
        ParameterBlock block = MeterBlock();
        page->ShowParameterBlock(block);
        QCOMPARE(block.bytes, MeterBlock().bytes); // no date was all zero

        QCOMPARE(page->Edit1->text(), QStringLiteral("1234"));
        QCOMPARE(page->Edit2->text(), QStringLiteral("74565"));
        QCOMPARE(page->Edit3->text(), QStringLiteral("40000"));
        QVERIFY(page->CheckBox1->isChecked());
        QCOMPARE(page->Edit4->text(), QStringLiteral("Hello"));
        QCOMPARE(Date(page->ComboBox1, page->ComboBox2, page->ComboBox3), QStringLiteral("2024-2-29"));
        QCOMPARE(Date(page->ComboBox4, page->ComboBox5, page->ComboBox6), QStringLiteral("2020-1-1"));
        QCOMPARE(Date(page->ComboBox7, page->ComboBox8, page->ComboBox9), QStringLiteral("2023-10-5"));
        QCOMPARE(page->ComboBox10->currentText(), QStringLiteral("25"));
        QCOMPARE(page.entry(0), QStringLiteral("0"));
        QCOMPARE(page.entry(179), QString::number(179 * 7 % 256)); // inactive ones too
        QCOMPARE(page.cell(0, 3), QStringLiteral("40"));

        // Edit everything, then collect over the block the meter sent.
        page->Edit1->setText(QStringLiteral("65535"));
        page->Edit3->setText(QStringLiteral("7"));
        page->CheckBox1->setChecked(false);
        page->Edit4->setText(QStringLiteral("Site 4"));
        page->ComboBox4->setCurrentIndex(21);
        page->ComboBox5->setCurrentIndex(11);
        page->ComboBox6->setCurrentIndex(30);
        page.setActiveCount(3);
        page.setEntry(0, QStringLiteral("180"));
        page.setEntry(2, QStringLiteral("2"));
        page.setEntry(3, QStringLiteral("99"));  // inactive: not copied
        page->RangeFrom = 0x0102;
        page->RangeTo = 0x0304;
        page->CollectParameterBlock(block);

        ParameterBlock expected = MeterBlock();
        expected.setWord(ParameterBlock::SerialNumber, 65535);
        expected.setWord(ParameterBlock::CalibrationCoefficient, 7);
        expected[ParameterBlock::PrintoutFlag] = 0;
        SetInfoTextBytes(expected, "Site 4");
        SetDate(expected, ParameterBlock::CharacteristicsDate, 21, 11, 30);
        for (int i = 16; i <= 20; ++i)
            expected[i] = 0;
        expected.setWord(ParameterBlock::RangeFrom, 0x0102);
        expected.setWord(ParameterBlock::RangeTo, 0x0304);
        expected[ParameterBlock::ActiveRangeCount] = 3;
        expected[ParameterBlock::RangeMap + 0] = 180;
        expected[ParameterBlock::RangeMap + 2] = 2;
        QCOMPARE(block.bytes, expected.bytes);
    }

    void outOfRangeDatesAreClamped()
    {
        PageForm page;
        ParameterBlock block = MeterBlock();
        SetDate(block, ParameterBlock::ManufactureDate, 200, 15, 40); // year beyond the list
        SetDate(block, ParameterBlock::CharacteristicsDate, 23, 3, 30); // 31 April 2023
        SetDate(block, ParameterBlock::ServiceDate, 23, 1, 28);        // 29 February 2023
        page->ShowParameterBlock(block);
        QCOMPARE(Date(page->ComboBox1, page->ComboBox2, page->ComboBox3), QStringLiteral("2024-12-31"));
        QCOMPARE(Date(page->ComboBox4, page->ComboBox5, page->ComboBox6), QStringLiteral("2023-4-30"));
        QCOMPARE(Date(page->ComboBox7, page->ComboBox8, page->ComboBox9), QStringLiteral("2023-2-28"));
        QCOMPARE(page->ComboBox6->count(), 30);

        page->CollectParameterBlock(block);
        QCOMPARE(block[ParameterBlock::ManufactureDate], 24);
        QCOMPARE(block[ParameterBlock::ManufactureDate + 1], 11);
        QCOMPARE(block[ParameterBlock::ManufactureDate + 2], 30);
        QCOMPARE(block[ParameterBlock::CharacteristicsDate + 2], 29);
    }

    void unsetDatesBecomeTodayInUtc()
    {
        PageForm page;
        ParameterBlock block = MeterBlock();
        SetDate(block, ParameterBlock::ManufactureDate, 0, 0, 0);
        SetDate(block, ParameterBlock::ServiceDate, 0, 0, 0);
        page->ShowParameterBlock(block);
        // The fixed clock is 23:30 UTC on 10 June 2024.
        QCOMPARE(block[ParameterBlock::ManufactureDate], 24);
        QCOMPARE(block[ParameterBlock::ManufactureDate + 1], 5);
        QCOMPARE(block[ParameterBlock::ManufactureDate + 2], 9);
        QCOMPARE(block[ParameterBlock::ServiceDate + 2], 9);
        QCOMPARE(block[ParameterBlock::CharacteristicsDate], 20); // a set date stays
        QCOMPARE(Date(page->ComboBox1, page->ComboBox2, page->ComboBox3), QStringLiteral("2024-6-10"));
        QCOMPARE(Date(page->ComboBox7, page->ComboBox8, page->ComboBox9), QStringLiteral("2024-6-10"));
    }

    void activeRangeCountZeroSelectsNothingAndCopiesNoEntry()
    {
        PageForm page;
        ParameterBlock block = MeterBlock();
        block[ParameterBlock::ActiveRangeCount] = 0;
        page->ShowParameterBlock(block);
        QCOMPARE(page->ComboBox10->currentIndex(), -1);
        for (int e = 0; e < 180; ++e)
            page.setEntry(e, QStringLiteral("1"));
        page->CollectParameterBlock(block);
        QCOMPARE(block[ParameterBlock::ActiveRangeCount], 0);
        for (int e = 0; e < 180; ++e)
            QCOMPARE(block[ParameterBlock::RangeMap + e], MeterBlock()[ParameterBlock::RangeMap + e]);
    }

    void usageCountMarksTheReadButton()
    {
        PageForm page;
        ParameterBlock block = MeterBlock();
        SetUsageCount(block, 0x800000);
        page->Button11->setEnabled(false);
        page->ShowParameterBlock(block);
        QCOMPARE(page->Edit2->text(), QStringLiteral("-8388608"));
        QVERIFY(page->Button11->isEnabled());
        QCOMPARE(views::Tag(page->Button11), 1);

        // No measurements: the mark goes, the button is left as it was.
        SetUsageCount(block, 0);
        page->ShowParameterBlock(block);
        QCOMPARE(views::Tag(page->Button11), 0);
        QVERIFY(page->Button11->isEnabled());
        page->Button11->setEnabled(false);
        page->ShowParameterBlock(block);
        QVERIFY(!page->Button11->isEnabled());
    }

    void aTextWithoutAnIntegerIsRefused()
    {
        PageForm page;
        ParameterBlock block = MeterBlock();
        page->ShowParameterBlock(block);
        page.setEntry(24, QStringLiteral("1a"));
        ParameterBlock copy = block;
        try {
            page->CollectParameterBlock(copy);
            QFAIL("no error");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString::fromUtf8(error.what()), QStringLiteral("'1a' is not a valid integer value"));
        }
        QCOMPARE(copy.bytes, block.bytes); // nothing half copied

        page.setEntry(24, QStringLiteral("5"));
        page->Edit1->setText(QString());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, page->CollectParameterBlock(copy));
    }
};

QTEST_MAIN(TestBlockPage)
#include "tst_blockpage.moc"
