#include "protocol/hexfile.h"

#include "protocol/textlines.h"
#include "protocol/trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace protocol {

namespace {

int HexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

bool IsBlank(QChar c)
{
    return c.unicode() <= 0x20;
}

// `value` in upper-case hexadecimal, `digits` wide.
QString HexNumber(quint32 value, int digits)
{
    return QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

// The byte at `index` of a record whose digits are known to be hex.
int HexByte(QStringView line, qsizetype index)
{
    return HexDigit(line[1 + 2 * index]) * 16 + HexDigit(line[2 + 2 * index]);
}

constexpr int EndOfFileType = 1;

// The type of a line that is a whole record (HexRecordFault is empty).
int RecordType(const QString &line)
{
    return HexByte(TrimHexLine(line), 3);
}

// An extended address record: type 02 or 04 and its two address bytes.
bool IsAddressRecord(const QString &line)
{
    const int type = RecordType(line);
    return (type == 2 || type == 4) && HexByte(TrimHexLine(line), 0) == 2;
}

// The address an extended address record (IsAddressRecord) sets: a segment
// (type 02) counts in 16-byte paragraphs, a linear address (type 04) in
// 64 KiB pages.
quint32 BaseAddress(const QString &line)
{
    const QStringView record = TrimHexLine(line);
    const quint32 value = static_cast<quint32>(HexByte(record, 4)) << 8 | static_cast<quint32>(HexByte(record, 5));
    return HexByte(record, 3) == 2 ? value << 4 : value << 16;
}

QString FullName(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

} // namespace

QString DecodeHexText(const QByteArray &bytes)
{
    struct Mark {
        QByteArrayView bytes;
        QStringConverter::Encoding encoding;
    };
    static const Mark marks[] = {
        {"\xEF\xBB\xBF", QStringConverter::Utf8},
        {"\xFF\xFE", QStringConverter::Utf16LE},
        {"\xFE\xFF", QStringConverter::Utf16BE},
    };
    for (const Mark &mark : marks) {
        if (!bytes.startsWith(mark.bytes))
            continue;
        QStringDecoder decoder(mark.encoding, QStringConverter::Flag::Stateless);
        return decoder.decode(QByteArrayView(bytes).sliced(mark.bytes.size()));
    }
    return QString::fromLatin1(bytes);
}

std::optional<QStringList> ReadHexFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot open file \"%1\". %2").arg(FullName(path), file.errorString());
        return std::nullopt;
    }
    // The size is asked first; reading one byte past the limit also catches
    // files whose size is not known in advance.
    const QByteArray bytes = file.size() > HexFileLimit ? QByteArray() : file.read(HexFileLimit + 1);
    if (file.size() > HexFileLimit || bytes.size() > HexFileLimit) {
        *error = QStringLiteral("File \"%1\" is larger than 16 MiB and cannot be a firmware file.")
                     .arg(FullName(path));
        return std::nullopt;
    }
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("Cannot open file \"%1\". %2").arg(FullName(path), file.errorString());
        return std::nullopt;
    }
    return SplitLines(DecodeHexText(bytes));
}

QStringView TrimHexLine(QStringView line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && IsBlank(line[begin]))
        ++begin;
    while (end > begin && IsBlank(line[end - 1]))
        --end;
    return line.sliced(begin, end - begin);
}

QString HexRecordFault(QStringView line)
{
    // Byte count, two address bytes, type and checksum at the least.
    constexpr qsizetype HeaderAndChecksum = 5;
    if (line.isEmpty())
        return QStringLiteral("the line is empty");
    if (line.front() != QLatin1Char(':'))
        return QStringLiteral("the line does not begin with \":\"");
    for (const QChar c : line.sliced(1)) {
        if (HexDigit(c) < 0)
            return QStringLiteral("U+%1 is not a hexadecimal digit").arg(HexNumber(c.unicode(), 4));
    }
    if (line.size() % 2 == 0)
        return QStringLiteral("the line holds an odd number of hexadecimal digits");
    const qsizetype count = (line.size() - 1) / 2;
    if (count < HeaderAndChecksum)
        return QStringLiteral("the line is too short for a record (byte count, address, type, checksum)");
    unsigned sum = 0;
    for (qsizetype i = 0; i < count; ++i)
        sum += static_cast<unsigned>(HexByte(line, i));
    const int first = HexByte(line, 0);
    const int type = HexByte(line, 3);
    if (first != count - HeaderAndChecksum)
        return QStringLiteral("the byte count says %1 data bytes, the line holds %2")
            .arg(first)
            .arg(count - HeaderAndChecksum);
    if (type > 5)
        return QStringLiteral("record type %1 is not one of 00 to 05").arg(HexNumber(type, 2));
    if (sum % 256 != 0)
        return QStringLiteral("the checksum is wrong");
    return {};
}

bool IsHexRecord(QStringView line)
{
    return HexRecordFault(line).isEmpty();
}

QString HexFileFault(const QStringList &lines)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (const QString fault = HexRecordFault(TrimHexLine(lines[i])); !fault.isEmpty())
            return QStringLiteral("line %1: %2").arg(i + 1).arg(fault);
    }
    if (!lines.isEmpty() && !IsAddressRecord(lines.first()))
        return QStringLiteral("line 1: a record of type %1 where an extended address record (type 02 or 04) "
                              "of two bytes belongs; the meter never receives the first line")
            .arg(HexNumber(RecordType(lines.first()), 2));
    if (!lines.isEmpty() && RecordType(lines.last()) != EndOfFileType)
        return QStringLiteral("line %1: a record of type %2 where the end-of-file record (type 01) belongs; "
                              "the meter never receives the last line")
            .arg(lines.size())
            .arg(HexNumber(RecordType(lines.last()), 2));
    if (lines.size() < 6 || lines.size() % 4 != 2)
        return QStringLiteral("%1 lines; a firmware file has 6, 10, 14, ... lines").arg(lines.size());
    return {};
}

bool ValidateHexFile(const QStringList &lines)
{
    return HexFileFault(lines).isEmpty();
}

FirmwareLines PrepareFirmwareLines(QStringList fileLines)
{
    FirmwareLines prepared;
    prepared.fault = HexFileFault(fileLines);
    if (!prepared.fault.isEmpty())
        return prepared;
    if (const quint32 base = BaseAddress(fileLines.first()); base != 0) {
        prepared.warning = QStringLiteral("line 1 sets the address 0x%1, not 0; the meter never receives that line")
                               .arg(HexNumber(base, 8));
    }
    // The meter never receives the first and the last line.
    fileLines.removeFirst();
    fileLines.removeLast();
    prepared.sent = std::move(fileLines);
    return prepared;
}

void NoteFirmwareWarning(const FirmwareLines &prepared)
{
    if (!prepared.warning.isEmpty())
        Trace::Note([&] { return QStringLiteral("firmware file: ") + prepared.warning; });
}

} // namespace protocol
