#pragma once
// The firmware image as the meter builds it from the Intel HEX lines it
// takes: data records (type 00) placed at their address, moved by extended
// segment (02) and extended linear (04) address records. Written apart from
// the program's own file check, so a fault there is not mirrored here.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <cstdint>
#include <map>

namespace sim {

// Byte by address.
using ImageBytes = std::map<std::uint32_t, std::uint8_t>;

class HexImage {
public:
    // Takes one line (':' and hex digits, no line end). False when it is no
    // whole record: digits, byte count or checksum wrong, or a record type
    // above 05; nothing is taken then.
    bool Take(QByteArrayView line);
    const ImageBytes &Bytes() const { return m_bytes; }

    // The image that these lines give, for comparing a meter's with a file's.
    static ImageBytes Of(const QList<QByteArray> &lines);

private:
    ImageBytes m_bytes;
    std::uint32_t m_base = 0;
};

} // namespace sim
