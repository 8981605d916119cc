#include "protocol/blockfields.h"

#include "protocol/codepage.h"

#include <algorithm>
#include <array>

namespace protocol {

namespace {

constexpr std::size_t At(int offset)
{
    return static_cast<std::size_t>(offset);
}

} // namespace

quint32 UsageCountBits(const ParameterBlock &block)
{
    constexpr int at = ParameterBlock::UsageCount;
    return (quint32(block[at]) << 16) | (quint32(block[at + 1]) << 8) | block[at + 2];
}

qint32 UsageCountValue(const ParameterBlock &block)
{
    const auto bits = static_cast<qint32>(UsageCountBits(block));
    return bits >= (1 << 23) ? bits - (1 << 24) : bits;
}

void SetUsageCount(ParameterBlock &block, qint64 value)
{
    constexpr int at = ParameterBlock::UsageCount;
    block[at] = LowByte(value >> 16);
    block[at + 1] = LowByte(value >> 8);
    block[at + 2] = LowByte(value);
}

QDate DateBytes::Calendar() const
{
    return QDate(2000 + year, month + 1, day + 1);
}

DateBytes DateBytes::Of(const QDate &date)
{
    return {LowByte(date.year() - 2000), LowByte(date.month() - 1), LowByte(date.day() - 1)};
}

bool DateBytes::Fits(const QDate &date)
{
    return date.isValid() && date.year() >= 2000 && date.year() <= 2000 + 255;
}

DateBytes DateAt(const ParameterBlock &block, int field)
{
    return {block[field], block[field + 1], block[field + 2]};
}

void SetDateAt(ParameterBlock &block, int field, DateBytes date)
{
    block[field] = date.year;
    block[field + 1] = date.month;
    block[field + 2] = date.day;
}

bool PrintoutOn(const ParameterBlock &block)
{
    return block[ParameterBlock::PrintoutFlag] == 0xFF;
}

void SetPrintout(ParameterBlock &block, bool on)
{
    block[ParameterBlock::PrintoutFlag] = on ? 0xFF : 0x00;
}

QByteArray InfoTextBytes(const ParameterBlock &block)
{
    return QByteArray(reinterpret_cast<const char *>(&block.bytes[At(ParameterBlock::InfoText)]),
                      ParameterBlock::InfoTextLength);
}

void SetInfoTextBytes(ParameterBlock &block, const QByteArray &bytes)
{
    for (int i = 0; i < ParameterBlock::InfoTextLength; ++i)
        block[ParameterBlock::InfoText + i] = i < bytes.size() ? static_cast<std::uint8_t>(bytes[i]) : 0;
}

QString InfoTextValue(const ParameterBlock &block)
{
    const QByteArray bytes = InfoTextBytes(block);
    const qsizetype end = bytes.indexOf('\0');
    return FromCodePage(end < 0 ? bytes : bytes.left(end));
}

void SetInfoTextValue(ParameterBlock &block, const QString &text)
{
    SetInfoTextBytes(block, ToCodePage(text));
}

bool InfoTextFits(const QString &text)
{
    const QByteArray bytes = ToCodePage(text);
    return bytes.size() <= ParameterBlock::InfoTextLength && !bytes.contains('\0')
        && FromCodePage(bytes) == text;
}

namespace {

// Whether some byte shows as `c`: its code-page byte, or for a character
// below 0x100 the byte of the same value.
bool CharShowable(QChar c)
{
    const QString one(c);
    const bool mapped = FromCodePage(ToCodePage(one)) == one;
    const bool itself = c.unicode() < 0x100 && FromCodePage(QByteArray(1, static_cast<char>(c.unicode()))) == one;
    return c.unicode() != 0 && (mapped || itself);
}

} // namespace

bool InfoTextShowable(const QString &text)
{
    if (text.size() > ParameterBlock::InfoTextLength)
        return false;
    // The characters below 0x100, which nearly every text is made of, are
    // looked up: the test makes four conversions of each.
    static const std::array<bool, 0x100> below100 = [] {
        std::array<bool, 0x100> table{};
        for (char16_t u = 0; u < 0x100; ++u)
            table[u] = CharShowable(QChar(u));
        return table;
    }();
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() < 0x100 ? below100[c.unicode()] : CharShowable(c); });
}

void ClearReserved(ParameterBlock &block)
{
    const auto first = block.bytes.begin() + ParameterBlock::ReservedCleared;
    std::fill(first, first + ParameterBlock::ReservedClearedLength, std::uint8_t(0));
}

void SetDownloadRange(ParameterBlock &block, qint64 from, qint64 to)
{
    block.setWord(ParameterBlock::RangeFrom, LowWord(from));
    block.setWord(ParameterBlock::RangeTo, LowWord(to));
}

void FinishPageCopy(ParameterBlock &block, qint64 from, qint64 to)
{
    ClearReserved(block);
    SetDownloadRange(block, from, to);
}

int ActiveRangeItem(const ParameterBlock &block)
{
    return ActiveEntryCount(block) - 1;
}

std::uint8_t ActiveRangeCountOfItem(int item)
{
    return LowByte(qint64(item) + 1);
}

void SetActiveRangeCount(ParameterBlock &block, std::uint8_t count)
{
    block[ParameterBlock::ActiveRangeCount] = count;
}

int ActiveEntryCount(const ParameterBlock &block)
{
    return std::min<int>(block[ParameterBlock::ActiveRangeCount], ParameterBlock::RangeMapLength);
}

std::uint8_t RangeMapEntry(const ParameterBlock &block, int entry)
{
    return block[ParameterBlock::RangeMap + entry];
}

void SetRangeMapEntry(ParameterBlock &block, int entry, qint64 value)
{
    block[ParameterBlock::RangeMap + entry] = LowByte(value);
}

} // namespace protocol
