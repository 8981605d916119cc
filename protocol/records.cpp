#include "protocol/records.h"

#include <QStringDecoder>

#include <algorithm>

namespace protocol {

namespace {

constexpr qint64 ValueOffset = 9; // uninterpreted bytes before each value

qint64 ValueWidth(const RecordField &field)
{
    return std::max<qint64>(field.width, 0);
}

} // namespace

qint64 RecordBytes(std::span<const RecordField> layout)
{
    qint64 size = 0;
    for (const RecordField &field : layout)
        size += ValueWidth(field) + RecordSlotOverhead;
    return size;
}

QStringList DecodeRecord(std::span<const RecordField> layout, std::span<const std::uint8_t> record)
{
    const auto size = static_cast<qint64>(record.size());
    const auto *bytes = reinterpret_cast<const char *>(record.data());
    // Stateless: a sequence cut at the end of one value must not run into the
    // next. A leading byte-order mark is part of the value, not a marker.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QStringList texts;
    qint64 slot = 0;
    for (const RecordField &field : layout) {
        const qint64 width = ValueWidth(field);
        if (field.shown) {
            // A short record must never make us read beyond what arrived.
            const qint64 from = std::min(slot + ValueOffset, size);
            const qint64 to = std::min(from + width, size);
            texts << QString(utf8.decode(QByteArrayView(bytes + from, to - from)));
        }
        slot += width + RecordSlotOverhead;
    }
    return texts;
}

} // namespace protocol
