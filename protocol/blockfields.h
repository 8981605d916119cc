#pragma once
// Every field of the parameter block with the rule by which it is read and
// stored: the one place both the Device data page and the command-line
// tool's JSON document take them from.
//
// Readers take the stored bytes as they are, whatever they hold; writers
// store what they are given, a wider number by its low bits (as the page
// does). So a field read and written back keeps its bytes, and the raw
// bytes of every field stay reachable (`block[offset]`, the byte views
// below) for whatever the named values cannot express.

#include "protocol/parameterblock.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <array>
#include <cstdint>

namespace protocol {

// How a number is stored into a narrower field: its low bits.
constexpr std::uint8_t LowByte(qint64 value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}
constexpr std::uint16_t LowWord(qint64 value)
{
    return static_cast<std::uint16_t>(value & 0xFFFF);
}

// ---- serial number, calibration coefficient, range from and to --------------
// Unsigned 16 bits, low byte first in memory: ParameterBlock::word and
// ParameterBlock::setWord.
inline constexpr qint64 WordFieldMax = 65535;

// ---- usage count: 24 bits, high byte first ------------------------------------
inline constexpr qint32 UsageCountMin = -(1 << 23);
inline constexpr qint32 UsageCountMax = (1 << 23) - 1;
// The stored 24 bits as they are.
quint32 UsageCountBits(const ParameterBlock &block);
// The 24 bits read as a signed number: 2^23 and above stand for value - 2^24.
qint32 UsageCountValue(const ParameterBlock &block);
// Stores the low 24 bits of `value`.
void SetUsageCount(ParameterBlock &block, qint64 value);

// ---- the three dates ----------------------------------------------------------
// Offsets of the manufacture, characteristics and service date, in page order.
inline constexpr std::array<int, 3> DateFields{ParameterBlock::ManufactureDate,
                                               ParameterBlock::CharacteristicsDate,
                                               ParameterBlock::ServiceDate};

// A date's three stored bytes: year - 2000, month - 1, day - 1. They equal
// the item indexes of the page's year, month and day lists. Any byte values
// are kept; they need not make a calendar date.
struct DateBytes {
    std::uint8_t year = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;

    // Three zero bytes: the meter holds no date (1 January 2000 cannot be
    // told from it).
    bool IsUnset() const { return year == 0 && month == 0 && day == 0; }
    // The calendar date the bytes stand for; an invalid QDate when they
    // stand for none (month byte 12, 30 February, ...).
    QDate Calendar() const;
    // The bytes of a calendar date; the year byte keeps the low 8 bits of
    // year - 2000.
    static DateBytes Of(const QDate &date);
    // A calendar date whose year byte holds year - 2000 exactly: 2000..2255.
    static bool Fits(const QDate &date);

    bool operator==(const DateBytes &) const = default;
};

// `field` is one of DateFields.
DateBytes DateAt(const ParameterBlock &block, int field);
void SetDateAt(ParameterBlock &block, int field, DateBytes date);

// ---- printout flag --------------------------------------------------------------
// On only for 0xFF; stored as 0xFF or 0x00.
bool PrintoutOn(const ParameterBlock &block);
void SetPrintout(ParameterBlock &block, bool on);

// ---- information text: 45 bytes of the 8-bit code page, zero padded ---------------
// All 45 stored bytes, zero bytes and what follows them included.
QByteArray InfoTextBytes(const ParameterBlock &block);
// The first 45 bytes of `bytes`, zero bytes after them up to 45.
void SetInfoTextBytes(ParameterBlock &block, const QByteArray &bytes);
// The bytes up to the first zero byte (all 45 when there is none), from the
// code page.
QString InfoTextValue(const ParameterBlock &block);
// `text` in the code page (a character it lacks becomes '?'), cut to 45
// bytes and zero padded.
void SetInfoTextValue(ParameterBlock &block, const QString &text);
// True when `text` comes back unchanged through the field: every character
// in the code page, none of them zero, at most 45.
bool InfoTextFits(const QString &text);
// True when some stored bytes show as `text` (InfoTextValue): at most 45
// characters, none of them zero, each one the code page gives for a byte,
// the five bytes it leaves unassigned included (they show as U+0081, ...).
bool InfoTextShowable(const QString &text);

// ---- reserved bytes 16..20 -----------------------------------------------------
// Zeroed whenever the page is copied into the block; bytes 21..24 are never
// touched.
void ClearReserved(ParameterBlock &block);

// ---- download range -------------------------------------------------------------
// Stores the low 16 bits of each; 0..0 when only parameters are written.
void SetDownloadRange(ParameterBlock &block, qint64 from, qint64 to);

// What every copy of a page into the block does besides its fields, in the
// window and in the tool alike: the reserved bytes 16..20 cleared, the range
// the request asks for (0..0 when only parameters are written).
void FinishPageCopy(ParameterBlock &block, qint64 from, qint64 to);

// ---- active range count and range map ---------------------------------------------
// The item of the page's list "1".."180" that shows the stored count:
// min(count, 180) - 1, so -1 (no selection) for a count of 0.
int ActiveRangeItem(const ParameterBlock &block);
// The count a list item stands for: the low 8 bits of item + 1, so no
// selection (-1) gives 0.
std::uint8_t ActiveRangeCountOfItem(int item);
void SetActiveRangeCount(ParameterBlock &block, std::uint8_t count);
// The range map entries in use: min(count, 180).
int ActiveEntryCount(const ParameterBlock &block);

// Entry e (0..179) of the range map.
std::uint8_t RangeMapEntry(const ParameterBlock &block, int entry);
// Stores the low 8 bits of `value`.
void SetRangeMapEntry(ParameterBlock &block, int entry, qint64 value);
// An entry in use must name one of the ranges 1..180.
inline constexpr int FirstRange = 1;
inline constexpr int LastRange = 180;
constexpr bool IsValidRange(qint64 value)
{
    return value >= FirstRange && value <= LastRange;
}

} // namespace protocol
