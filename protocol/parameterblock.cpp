#include "protocol/parameterblock.h"

#include <utility>

namespace protocol {

namespace {

// The 16-bit fields sit low byte first in memory but travel high byte first;
// these are the offsets of their first bytes.
constexpr int SwappedWords[] = {
    ParameterBlock::SerialNumber,
    ParameterBlock::CalibrationCoefficient,
    ParameterBlock::RangeFrom,
    ParameterBlock::RangeTo,
};

// Offset in memory of the byte that stands at position j of the text order.
int MemoryIndexOfTextByte(int j)
{
    for (int first : SwappedWords) {
        if (j == first)
            return first + 1;
        if (j == first + 1)
            return first;
    }
    return j;
}

void SwapWordBytes(ParameterBlock &block)
{
    for (int first : SwappedWords)
        std::swap(block[first], block[first + 1]);
}

int SumOfBytes(const ParameterBlock &block, int count)
{
    int sum = 0;
    for (int i = 0; i < count; ++i)
        sum += block[i];
    return sum;
}

} // namespace

std::uint16_t ParameterBlock::word(int offset) const
{
    const auto i = static_cast<std::size_t>(offset);
    return static_cast<std::uint16_t>(bytes.at(i) | (bytes.at(i + 1) << 8));
}

void ParameterBlock::setWord(int offset, std::uint16_t value)
{
    const auto i = static_cast<std::size_t>(offset);
    bytes.at(i) = static_cast<std::uint8_t>(value & 0xFF);
    bytes.at(i + 1) = static_cast<std::uint8_t>(value >> 8);
}

bool HexDigitValue(char c, int &value)
{
    if (c >= '0' && c <= '9') {
        value = c - '0';
        return true;
    }
    if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
        return true;
    }
    if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
        return true;
    }
    return false;
}

char HexDigitChar(int value)
{
    // Masked so that a stray value can never index outside the table.
    return "0123456789ABCDEF"[value & 0x0F];
}

void DecodeParameterBlock(const char *text, ParameterBlock &block)
{
    for (int i = 0; i < ParameterBlock::Size; ++i) {
        int high = 0;
        int low = 0;
        // The second digit is looked at only when the first one is good.
        if (!HexDigitValue(text[2 * i], high) || !HexDigitValue(text[2 * i + 1], low))
            return; // the rest of the block keeps what it held, unswapped
        block[i] = static_cast<std::uint8_t>(16 * high + low);
    }
    SwapWordBytes(block);
}

void EncodeParameterBlock(ParameterBlock &block, char *text)
{
    const int sum = SumOfBytes(block, ParameterBlock::Checksum);
    block[ParameterBlock::Checksum] = static_cast<std::uint8_t>((256 - sum % 256) % 256);

    for (int j = 0; j < ParameterBlock::Size; ++j) {
        const std::uint8_t b = block[MemoryIndexOfTextByte(j)];
        text[2 * j] = HexDigitChar(b >> 4);
        text[2 * j + 1] = HexDigitChar(b & 0x0F);
    }
}

bool DecodeCheckedParameterBlock(const char *text, ParameterBlock &block)
{
    // A partly decoded block would mix the meter's bytes with stale ones, so
    // every character is tested before anything is decoded.
    for (int i = 0; i < ParameterBlock::TextSize; ++i) {
        int ignored = 0;
        if (!HexDigitValue(text[i], ignored))
            return false;
    }
    ParameterBlock scratch;
    DecodeParameterBlock(text, scratch);
    if (SumOfBytes(scratch, ParameterBlock::Size) % 256 != 0)
        return false;
    block = scratch;
    return true;
}

} // namespace protocol
