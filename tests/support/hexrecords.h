#pragma once
// Intel HEX records made with their checksums, for firmware tests.

#include <QByteArray>
#include <QList>

#include <cstdint>

namespace testsupport {

inline QByteArray HexRecord(int type, int address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF)).append(char(type));
    bytes.append(data);
    int sum = 0;
    for (const char c : bytes)
        sum += static_cast<std::uint8_t>(c);
    bytes.append(char((256 - sum % 256) % 256));
    return ':' + bytes.toHex().toUpper();
}

// A firmware file of six lines: an address record, four data records and
// the end record.
inline QList<QByteArray> SixLineFirmware()
{
    QList<QByteArray> lines{HexRecord(4, 0, QByteArray("\x00\x00", 2))};
    for (int k = 0; k < 4; ++k) {
        QByteArray data;
        for (int i = 0; i < 16; ++i)
            data.append(char(k * 16 + i * 7 + 1));
        lines << HexRecord(0, 0x0100 + 16 * k, data);
    }
    lines << HexRecord(1, 0, {});
    return lines;
}

} // namespace testsupport
