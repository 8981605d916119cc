// DecodeRecord: one text per shown field, each exactly the UTF-8 of its own
// slot's value bytes (cut at the end of what arrived), never a byte read
// past the record.

#include "fuzzing.h"
#include "protocol/records.h"

#include <algorithm>
#include <limits>
#include <vector>

using protocol::RecordField;

namespace {

// The value bytes as QString::fromUtf8 reads them, except that a leading
// byte-order mark is kept: a blank in front stops fromUtf8 taking it as one.
QString Utf8(const std::vector<std::uint8_t> &record, qint64 from, qint64 to)
{
    QByteArray bytes(" ");
    bytes.append(reinterpret_cast<const char *>(record.data()) + from, to - from);
    return QString::fromUtf8(bytes).mid(1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    // Up to 24 fields of three bytes: flags, then a 16-bit width. Flag 1
    // shows the field, 2 makes the width negative, 4 makes it huge, so
    // short records and sums past 32 bits are both reached.
    std::vector<RecordField> layout(input.Byte() % 25);
    for (RecordField &field : layout) {
        const int flags = input.Byte();
        const qint32 width = input.Word();
        field.shown = flags & 1;
        field.width = flags & 4 ? std::numeric_limits<qint32>::max() - width : width;
        if (flags & 2)
            field.width = -field.width - (flags & 8 ? 1 : 0);
    }
    // An exact-size copy: the address sanitizer catches any read past it.
    const QByteArray rest = input.Rest();
    const std::vector<std::uint8_t> record(rest.begin(), rest.end());

    const QStringList texts = protocol::DecodeRecord(layout, record);

    QStringList expected;
    qint64 slot = 0;
    const auto end = static_cast<qint64>(record.size());
    for (const RecordField &field : layout) {
        const qint64 width = field.width < 0 ? 0 : field.width;
        if (field.shown) {
            const qint64 from = std::min(slot + 9, end);
            expected << Utf8(record, from, std::min(from + width, end));
        }
        slot += width + 11;
    }
    FUZZ_CHECK(texts.size() == std::count_if(layout.begin(), layout.end(),
                                             [](const RecordField &f) { return f.shown; }));
    FUZZ_CHECK(texts == expected);
    FUZZ_CHECK(protocol::RecordBytes(layout) == slot);
    return 0;
}
