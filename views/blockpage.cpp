// Copies between the meter's parameter block and the Device data page.

#include "views/devicedata.h"

#include "data/platform.h"
#include "views/widgets.h"
#include "protocol/blockfields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTableWidget>

#include <algorithm>

namespace views {

namespace {

using protocol::ParameterBlock;

// A list selects `index` clamped to its last item, without running its
// change handler.
void SelectClamped(QComboBox *list, int index)
{
    const QSignalBlocker quiet(list);
    list->setCurrentIndex(std::min(index, list->count() - 1));
}

// A date stored as three zero bytes stands for "not set"; today's date
// (UTC) takes its place.
void ReplaceUnsetDate(ParameterBlock &block, int field, const QDate &today)
{
    if (protocol::DateAt(block, field).IsUnset())
        protocol::SetDateAt(block, field, protocol::DateBytes::Of(today));
}

} // namespace

void DeviceDataPage::ShowParameterBlock(protocol::ParameterBlock &block)
{
    Edit1->setText(QString::number(block.word(ParameterBlock::SerialNumber)));
    Edit2->setText(QString::number(protocol::UsageCountValue(block)));
    if (protocol::UsageCountBits(block) != 0) {
        Button11->setEnabled(true);
        SetTag(Button11, 1);
    } else {
        SetTag(Button11, 0);
    }
    Edit3->setText(QString::number(block.word(ParameterBlock::CalibrationCoefficient)));
    CheckBox1->setChecked(protocol::PrintoutOn(block));
    Edit4->setText(protocol::InfoTextValue(block));

    const QDate today = data::TodayUtc();
    for (int date : protocol::DateFields)
        ReplaceUnsetDate(block, date, today);
    ShowDate(ComboBox1, ComboBox2, ComboBox3, &block.bytes[ParameterBlock::ManufactureDate]);
    ShowDate(ComboBox4, ComboBox5, ComboBox6, &block.bytes[ParameterBlock::CharacteristicsDate]);
    ShowDate(ComboBox7, ComboBox8, ComboBox9, &block.bytes[ParameterBlock::ServiceDate]);

    SelectClamped(ComboBox10, protocol::ActiveRangeItem(block));
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        views::SetCellText(StringGrid1, views::EntryColumn(e), views::EntryRow(e),
                           QString::number(protocol::RangeMapEntry(block, e)));
    StringGrid1->viewport()->update();
}

// The year, month and day bytes are the item indexes of their lists (the
// lists start at 2000, 1 and 1).
void DeviceDataPage::ShowDate(QComboBox *year, QComboBox *month, QComboBox *day, std::uint8_t *date)
{
    const protocol::DateBytes stored{date[0], date[1], date[2]};
    SelectClamped(year, stored.year);
    SelectClamped(month, stored.month);
    {
        const QSignalBlocker quiet(day);
        FillDayList(year, month, day);
    }
    SelectClamped(day, stored.day);
}

void DeviceDataPage::CollectDate(QComboBox *year, QComboBox *month, QComboBox *day,
                         std::uint8_t *date) const
{
    date[0] = protocol::LowByte(year->currentIndex());
    date[1] = protocol::LowByte(month->currentIndex());
    date[2] = protocol::LowByte(day->currentIndex());
}

void DeviceDataPage::CollectParameterBlock(protocol::ParameterBlock &block)
{
    // Built on a copy: a text that holds no integer raises an error and the
    // block stays as it was.
    ParameterBlock next = block;
    protocol::SetUsageCount(next, views::IntegerValue(Edit2->text()));
    next.setWord(ParameterBlock::SerialNumber, protocol::LowWord(views::IntegerValue(Edit1->text())));
    next.setWord(ParameterBlock::CalibrationCoefficient,
                 protocol::LowWord(views::IntegerValue(Edit3->text())));
    protocol::SetPrintout(next, CheckBox1->isChecked());
    protocol::FinishPageCopy(next, RangeFrom, RangeTo);
    protocol::SetInfoTextValue(next, Edit4->text());

    CollectDate(ComboBox1, ComboBox2, ComboBox3, &next.bytes[ParameterBlock::ManufactureDate]);
    CollectDate(ComboBox4, ComboBox5, ComboBox6,
                &next.bytes[ParameterBlock::CharacteristicsDate]);
    CollectDate(ComboBox7, ComboBox8, ComboBox9, &next.bytes[ParameterBlock::ServiceDate]);

    protocol::SetActiveRangeCount(next, protocol::ActiveRangeCountOfItem(ComboBox10->currentIndex()));
    for (int e = 0; e < protocol::ActiveEntryCount(next); ++e) {
        const QString text =
            views::CellText(StringGrid1, views::EntryColumn(e), views::EntryRow(e));
        protocol::SetRangeMapEntry(next, e, views::IntegerValue(text));
    }
    block = next;
}

} // namespace views
