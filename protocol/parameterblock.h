#pragma once
// The meter's 257-byte settings record and its 514-character hexadecimal text form.
//
// In memory the four 16-bit fields (serial number, calibration coefficient,
// range from, range to) are low byte first; in the text they stand high byte
// first. Everything else travels in offset order.

#include <array>
#include <cstdint>

namespace protocol {

struct ParameterBlock {
    static constexpr int Size = 257;      // 256 data bytes + checksum
    static constexpr int TextSize = 514;  // two hex digits per byte

    // Offsets of the fields (decimal).
    static constexpr int SerialNumber = 0;             // 2 bytes, low byte first
    static constexpr int UsageCount = 2;               // 3 bytes, high byte first
    static constexpr int CalibrationCoefficient = 5;   // 2 bytes, low byte first
    static constexpr int ManufactureDate = 7;          // year-2000, month-1, day-1
    static constexpr int CharacteristicsDate = 10;
    static constexpr int ServiceDate = 13;
    static constexpr int ReservedCleared = 16;         // 5 bytes, zeroed by the page copy
    static constexpr int ReservedClearedLength = 5;
    static constexpr int ReservedKept = 21;            // 4 bytes, never changed by us
    static constexpr int PrintoutFlag = 25;            // 0xFF on, anything else off
    static constexpr int InfoText = 26;                // 45 bytes, 8-bit text, zero padded
    static constexpr int InfoTextLength = 45;
    static constexpr int RangeFrom = 71;               // 2 bytes, low byte first
    static constexpr int RangeTo = 73;                 // 2 bytes, low byte first
    static constexpr int ActiveRangeCount = 75;
    static constexpr int RangeMap = 76;                // 180 entries
    static constexpr int RangeMapLength = 180;
    static constexpr int Checksum = 256;

    std::array<std::uint8_t, Size> bytes{};

    std::uint8_t &operator[](int i) { return bytes[static_cast<std::size_t>(i)]; }
    std::uint8_t operator[](int i) const { return bytes[static_cast<std::size_t>(i)]; }

    // 16-bit fields as stored in memory (low byte first).
    std::uint16_t word(int offset) const;
    void setWord(int offset, std::uint16_t value);
};

// '0'-'9', 'A'-'F', 'a'-'f' give 0..15; anything else is refused (false).
bool HexDigitValue(char c, int &value);
// 0..15 give '0'-'9', 'A'-'F'.
char HexDigitChar(int value);

// Fills `block` from 514 characters. A character that is not a hex digit at
// pair i stops at once: bytes 0..i-1 are new, the rest keep their contents,
// and no byte pair is exchanged.
void DecodeParameterBlock(const char *text, ParameterBlock &block);

// Sets the checksum in `block` and writes 514 upper-case hex digits to `text`.
// Apart from the checksum, `block` is left as it was.
void EncodeParameterBlock(ParameterBlock &block, char *text);

// Decodes into a scratch copy and accepts it only when every character is a
// hex digit and all 257 bytes sum to 0 mod 256. On success `block` is
// replaced; on failure it is untouched and the result is false.
bool DecodeCheckedParameterBlock(const char *text, ParameterBlock &block);

} // namespace protocol
