#include "sim/heximage.h"

#include "vlink/vlinkwire.h"

namespace sim {

namespace {

enum : int { DataRecord = 0, SegmentAddress = 2, LinearAddress = 4, LastType = 5 };

// The record's bytes, checked: nothing unless it is whole.
QByteArray RecordBytes(QByteArrayView line)
{
    if (line.size() < 11 || line.front() != ':' || line.size() % 2 == 0)
        return {};
    QByteArray bytes;
    int sum = 0;
    for (qsizetype i = 1; i < line.size(); i += 2) {
        const int high = vlink::HexNibble(line[i]);
        const int low = vlink::HexNibble(line[i + 1]);
        if (high < 0 || low < 0)
            return {};
        bytes.append(static_cast<char>(high * 16 + low));
        sum += high * 16 + low;
    }
    const auto count = static_cast<std::uint8_t>(bytes[0]);
    if (sum % 256 != 0 || bytes.size() != count + 5 || static_cast<std::uint8_t>(bytes[3]) > LastType)
        return {};
    return bytes;
}

} // namespace

bool HexImage::Take(QByteArrayView line)
{
    const QByteArray bytes = RecordBytes(line);
    if (bytes.isEmpty())
        return false;
    const auto byte = [&bytes](int i) { return static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])); };
    const std::uint32_t offset = byte(1) << 8 | byte(2);
    const int count = static_cast<int>(byte(0));
    switch (byte(3)) {
    case DataRecord:
        for (int i = 0; i < count; ++i)
            m_bytes[m_base + offset + static_cast<std::uint32_t>(i)] = static_cast<std::uint8_t>(byte(4 + i));
        break;
    case SegmentAddress:
        if (count == 2)
            m_base = (byte(4) << 8 | byte(5)) << 4;
        break;
    case LinearAddress:
        if (count == 2)
            m_base = (byte(4) << 8 | byte(5)) << 16;
        break;
    default: // end of file and start addresses place nothing
        break;
    }
    return true;
}

ImageBytes HexImage::Of(const QList<QByteArray> &lines)
{
    HexImage image;
    for (const QByteArray &line : lines)
        image.Take(line);
    return image.Bytes();
}

} // namespace sim
