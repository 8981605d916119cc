#include "protocol/hexfile.h"

#include "protocol/textlines.h"

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

bool IsHexRecord(QStringView line)
{
    // Byte count, two address bytes, type and checksum at the least.
    constexpr qsizetype HeaderAndChecksum = 5;
    if (line.isEmpty() || line.front() != QLatin1Char(':') || line.size() % 2 == 0)
        return false;
    const qsizetype count = (line.size() - 1) / 2;
    if (count < HeaderAndChecksum)
        return false;
    unsigned sum = 0;
    int first = -1;
    int type = -1;
    for (qsizetype i = 0; i < count; ++i) {
        const int high = HexDigit(line[1 + 2 * i]);
        const int low = HexDigit(line[2 + 2 * i]);
        if (high < 0 || low < 0)
            return false;
        const int byte = high * 16 + low;
        if (i == 0)
            first = byte;
        else if (i == 3)
            type = byte;
        sum += static_cast<unsigned>(byte);
    }
    return first == count - HeaderAndChecksum && type <= 5 && sum % 256 == 0;
}

bool ValidateHexFile(const QStringList &lines)
{
    if (lines.size() < 6 || lines.size() % 4 != 2)
        return false;
    for (const QString &line : lines) {
        if (!IsHexRecord(TrimHexLine(line)))
            return false;
    }
    return true;
}

} // namespace protocol
