// Copies between the meter's parameter block and the Device data page.

#include "views/devicedata.h"

#include "data/platform.h"
#include "views/widgets.h"
#include "protocol/codepage.h"

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

// The usage count's 24 bits read as a signed number.
qint32 SignedUsageCount(const ParameterBlock &block)
{
    const qint32 raw = (block[ParameterBlock::UsageCount] << 16) |
                       (block[ParameterBlock::UsageCount + 1] << 8) |
                       block[ParameterBlock::UsageCount + 2];
    return raw >= (1 << 23) ? raw - (1 << 24) : raw;
}

// A list selects `index` clamped to its last item, without running its
// change handler.
void SelectClamped(QComboBox *list, int index)
{
    const QSignalBlocker quiet(list);
    list->setCurrentIndex(std::min(index, list->count() - 1));
}

// A date stored as three zero bytes stands for "not set"; today's date
// (UTC) takes its place.
void ReplaceUnsetDate(std::uint8_t *date, const QDate &today)
{
    if (date[0] != 0 || date[1] != 0 || date[2] != 0)
        return;
    date[0] = static_cast<std::uint8_t>((today.year() - 2000) & 0xFF);
    date[1] = static_cast<std::uint8_t>(today.month() - 1);
    date[2] = static_cast<std::uint8_t>(today.day() - 1);
}

} // namespace

void DeviceDataPage::ShowParameterBlock(protocol::ParameterBlock &block)
{
    Edit1->setText(QString::number(block.word(ParameterBlock::SerialNumber)));
    const qint32 usage = SignedUsageCount(block);
    Edit2->setText(QString::number(usage));
    if (usage != 0) {
        Button11->setEnabled(true);
        SetTag(Button11, 1);
    } else {
        SetTag(Button11, 0);
    }
    Edit3->setText(QString::number(block.word(ParameterBlock::CalibrationCoefficient)));
    CheckBox1->setChecked(block[ParameterBlock::PrintoutFlag] == 0xFF);

    const auto *info = &block.bytes[ParameterBlock::InfoText];
    const auto infoEnd = std::find(info, info + ParameterBlock::InfoTextLength, 0);
    Edit4->setText(protocol::FromCodePage(
        QByteArray(reinterpret_cast<const char *>(info), static_cast<int>(infoEnd - info))));

    const QDate today = data::TodayUtc();
    for (int date : {ParameterBlock::ManufactureDate, ParameterBlock::CharacteristicsDate,
                     ParameterBlock::ServiceDate})
        ReplaceUnsetDate(&block.bytes[static_cast<std::size_t>(date)], today);
    ShowDate(ComboBox1, ComboBox2, ComboBox3, &block.bytes[ParameterBlock::ManufactureDate]);
    ShowDate(ComboBox4, ComboBox5, ComboBox6, &block.bytes[ParameterBlock::CharacteristicsDate]);
    ShowDate(ComboBox7, ComboBox8, ComboBox9, &block.bytes[ParameterBlock::ServiceDate]);

    const int count = block[ParameterBlock::ActiveRangeCount];
    SelectClamped(ComboBox10, std::min(count, 180) - 1);
    for (int e = 0; e < ParameterBlock::RangeMapLength; ++e)
        SetCellText(StringGrid1, EntryColumn(e), EntryRow(e),
                           QString::number(block[ParameterBlock::RangeMap + e]));
    StringGrid1->viewport()->update();
}

void DeviceDataPage::ShowDate(QComboBox *year, QComboBox *month, QComboBox *day, std::uint8_t *date)
{
    SelectClamped(year, date[0]);
    SelectClamped(month, date[1]);
    {
        const QSignalBlocker quiet(day);
        FillDayList(year, month, day);
    }
    SelectClamped(day, date[2]);
}

void DeviceDataPage::CollectDate(QComboBox *year, QComboBox *month, QComboBox *day,
                         std::uint8_t *date) const
{
    date[0] = static_cast<std::uint8_t>(year->currentIndex() & 0xFF);
    date[1] = static_cast<std::uint8_t>(month->currentIndex() & 0xFF);
    date[2] = static_cast<std::uint8_t>(day->currentIndex() & 0xFF);
}

void DeviceDataPage::CollectParameterBlock(protocol::ParameterBlock &block)
{
    // Built on a copy: a text that holds no integer raises an error and the
    // block stays as it was.
    ParameterBlock next = block;
    const quint32 usage = static_cast<quint32>(IntegerValue(Edit2->text()));
    next[ParameterBlock::UsageCount] = static_cast<std::uint8_t>(usage >> 16);
    next[ParameterBlock::UsageCount + 1] = static_cast<std::uint8_t>(usage >> 8);
    next[ParameterBlock::UsageCount + 2] = static_cast<std::uint8_t>(usage);
    next.setWord(ParameterBlock::SerialNumber,
                 static_cast<std::uint16_t>(IntegerValue(Edit1->text())));
    next.setWord(ParameterBlock::CalibrationCoefficient,
                 static_cast<std::uint16_t>(IntegerValue(Edit3->text())));
    next[ParameterBlock::PrintoutFlag] = CheckBox1->isChecked() ? 0xFF : 0x00;
    for (int i = 0; i < 5; ++i)
        next[ParameterBlock::ReservedCleared + i] = 0;
    next.setWord(ParameterBlock::RangeFrom, static_cast<std::uint16_t>(RangeFrom));
    next.setWord(ParameterBlock::RangeTo, static_cast<std::uint16_t>(RangeTo));

    const QByteArray info = protocol::ToCodePage(Edit4->text()).left(ParameterBlock::InfoTextLength);
    for (int i = 0; i < ParameterBlock::InfoTextLength; ++i)
        next[ParameterBlock::InfoText + i] =
            i < info.size() ? static_cast<std::uint8_t>(info[i]) : 0;

    CollectDate(ComboBox1, ComboBox2, ComboBox3, &next.bytes[ParameterBlock::ManufactureDate]);
    CollectDate(ComboBox4, ComboBox5, ComboBox6,
                &next.bytes[ParameterBlock::CharacteristicsDate]);
    CollectDate(ComboBox7, ComboBox8, ComboBox9, &next.bytes[ParameterBlock::ServiceDate]);

    const int count = (ComboBox10->currentIndex() + 1) & 0xFF;
    next[ParameterBlock::ActiveRangeCount] = static_cast<std::uint8_t>(count);
    for (int e = 0; e < count && e < ParameterBlock::RangeMapLength; ++e) {
        const QString text =
            CellText(StringGrid1, EntryColumn(e), EntryRow(e));
        next[ParameterBlock::RangeMap + e] =
            static_cast<std::uint8_t>(IntegerValue(text) & 0xFF);
    }
    block = next;
}

} // namespace views
