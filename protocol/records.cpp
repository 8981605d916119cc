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

RecordFit JudgeRecordFit(Failure why, const FetchSizes &sizes)
{
    const auto [recordSize, records, received] = sizes;
    if ((why != Failure::Timeout && why != Failure::LinkError) || recordSize <= 0 || records <= 0 || received <= 0
        || received == recordSize * records)
        return RecordFit::NothingToSay;
    // A link error with fewer bytes is a link lost halfway, whatever the
    // records' size: only a reply that overran the area says something.
    if (why == Failure::LinkError && received < recordSize * records)
        return RecordFit::NothingToSay;
    if (received % records == 0)
        return RecordFit::OtherRecordSize;
    return received > recordSize * records ? RecordFit::MoreBytes : RecordFit::FewerBytes;
}

QString RecordMisfitText(Failure why, const FetchSizes &sizes, const QString &configPath)
{
    const auto [recordSize, records, received] = sizes;
    const QString hint = QStringLiteral(" The configuration must match the meter's firmware.");
    switch (JudgeRecordFit(why, sizes)) {
    case RecordFit::NothingToSay:
        return {};
    case RecordFit::OtherRecordSize:
        return QStringLiteral("The meter's records are %1 bytes; the configuration \"%2\" lays out %3.")
                   .arg(received / records)
                   .arg(configPath)
                   .arg(recordSize)
            + hint;
    case RecordFit::MoreBytes:
    case RecordFit::FewerBytes:
        break;
    }
    return QStringLiteral("The meter sent %1 bytes, %2 than the %3 that the configuration \"%4\" lays out for %5 "
                          "records of %6 bytes.")
               .arg(received)
               .arg(received > recordSize * records ? QStringLiteral("more") : QStringLiteral("fewer"))
               .arg(recordSize * records)
               .arg(configPath)
               .arg(records)
               .arg(recordSize)
        + hint;
}

} // namespace protocol
