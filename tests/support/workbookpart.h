#pragma once
// One part of a workbook file (a zip archive), read back from its central
// directory and checked against its CRC, in the test's own process: no
// unzip program is needed, so the same reading runs on Windows. Link
// ZLIB::ZLIB.

#include <QByteArray>
#include <QString>

#include <zlib.h>

namespace testsupport {

namespace workbookpart {

inline quint32 Le(const QByteArray &bytes, qsizetype at, int size)
{
    if (at < 0 || at + size > bytes.size())
        return 0;
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(bytes[at + i]);
    return value;
}

// The raw deflate stream `packed` inflated to exactly `size` bytes; empty
// when it is not.
inline QByteArray Inflated(const QByteArray &packed, qsizetype size)
{
    QByteArray out(size, Qt::Uninitialized);
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return {};
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.constData()));
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return result == Z_STREAM_END && z.avail_out == 0 ? out : QByteArray();
}

} // namespace workbookpart

// Empty when the bytes are no archive or hold no such part.
inline QByteArray WorkbookPart(const QByteArray &workbook, const QString &part)
{
    using workbookpart::Le;
    const qsizetype end = workbook.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (end < 0)
        return {};
    const QByteArray name = part.toUtf8();
    qsizetype at = Le(workbook, end + 16, 4);
    for (quint32 entry = Le(workbook, end + 10, 2); entry > 0; --entry) {
        if (Le(workbook, at, 4) != 0x02014b50)
            return {};
        const quint32 nameSize = Le(workbook, at + 28, 2);
        const qsizetype next = at + 46 + nameSize + Le(workbook, at + 30, 2) + Le(workbook, at + 32, 2);
        if (workbook.mid(at + 46, nameSize) != name) {
            at = next;
            continue;
        }
        const quint32 method = Le(workbook, at + 10, 2);
        const quint32 crc = Le(workbook, at + 16, 4);
        const quint32 packedSize = Le(workbook, at + 20, 4);
        const quint32 size = Le(workbook, at + 24, 4);
        const qsizetype local = Le(workbook, at + 42, 4);
        if (Le(workbook, local, 4) != 0x04034b50)
            return {};
        const QByteArray packed =
            workbook.mid(local + 30 + Le(workbook, local + 26, 2) + Le(workbook, local + 28, 2), packedSize);
        const QByteArray bytes = method == 0 ? packed : method == 8 ? workbookpart::Inflated(packed, size) : QByteArray();
        const auto *data = reinterpret_cast<const Bytef *>(bytes.constData());
        if (bytes.size() != qsizetype(size) || crc32(0, data, static_cast<uInt>(bytes.size())) != crc)
            return {};
        return bytes;
    }
    return {};
}

} // namespace testsupport
