// The firmware file check: the text decode, SplitLines, IsHexRecord,
// ValidateHexFile and PrepareFirmwareLines must agree with a checker written here from the INHX32
// record layout. One mode bit repairs byte counts and checksums first, so
// that valid files, not only refusals, are within the fuzzer's reach.

#include "fuzzing.h"
#include "protocol/hexfile.h"
#include "protocol/textlines.h"

#include <algorithm>
#include <cctype>

namespace {

bool HasMark(const QByteArray &bytes)
{
    return bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
}

QStringList PlainLines(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    QStringList lines = text.split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // a break at the very end adds no line
    return lines;
}

QString Trimmed(const QString &line)
{
    qsizetype from = 0;
    qsizetype to = line.size();
    while (from < to && line[from].unicode() <= 0x20)
        ++from;
    while (to > from && line[to - 1].unicode() <= 0x20)
        --to;
    return line.mid(from, to - from);
}

bool IsRecord(const QString &raw)
{
    const QString line = Trimmed(raw);
    if (!line.startsWith(u':') || line.size() < 11 || line.size() % 2 == 0)
        return false;
    const QByteArray digits = line.mid(1).toLatin1();
    const bool hex = std::all_of(line.begin() + 1, line.end(), [](QChar c) {
        return c.unicode() < 0x80 && std::isxdigit(c.unicode());
    });
    if (!hex)
        return false;
    const QByteArray bytes = QByteArray::fromHex(digits);
    int sum = 0;
    for (char b : bytes)
        sum += static_cast<unsigned char>(b);
    const auto at = [&](int i) { return static_cast<unsigned char>(bytes[i]); };
    return at(0) + 5 == bytes.size() && at(3) <= 5 && sum % 256 == 0;
}

// Sets the byte count and checksum of every line that starts with ':' and
// has an odd length, so the rest of the record is what the fuzzer chose.
QString Repaired(const QString &text)
{
    QStringList lines = PlainLines(text);
    for (QString &line : lines) {
        if (!line.startsWith(u':') || line.size() < 11 || line.size() % 2 == 0)
            continue;
        QByteArray bytes = QByteArray::fromHex(line.mid(1).toLatin1());
        if (bytes.size() != (line.size() - 1) / 2)
            continue;
        bytes[0] = static_cast<char>(bytes.size() - 5);
        int sum = 0;
        for (qsizetype i = 0; i + 1 < bytes.size(); ++i)
            sum += static_cast<unsigned char>(bytes[i]);
        bytes[bytes.size() - 1] = static_cast<char>((256 - sum % 256) % 256);
        line = u':' + QString::fromLatin1(bytes.toHex());
    }
    return lines.join(QStringLiteral("\r\n"));
}

QByteArray Encoded(const QString &text, int form)
{
    switch (form) {
    case 1: return "\xEF\xBB\xBF" + text.toUtf8();
    case 2: {
        QByteArray bytes("\xFF\xFE");
        for (QChar c : text)
            bytes.append(static_cast<char>(c.unicode() & 0xFF)).append(static_cast<char>(c.unicode() >> 8));
        return bytes;
    }
    case 3: {
        QByteArray bytes("\xFE\xFF");
        for (QChar c : text)
            bytes.append(static_cast<char>(c.unicode() >> 8)).append(static_cast<char>(c.unicode() & 0xFF));
        return bytes;
    }
    default: return text.toLatin1();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    const int mode = input.Byte();
    QByteArray bytes = input.Rest();

    // Without a mark every byte is one character.
    if (!HasMark(bytes)) {
        const QString text = protocol::DecodeHexText(bytes);
        FUZZ_CHECK(text.size() == bytes.size());
        for (qsizetype i = 0; i < text.size(); ++i)
            FUZZ_CHECK(text[i].unicode() == static_cast<unsigned char>(bytes[i]));
    }
    // The same Latin-1 text behind each mark decodes to itself.
    if (mode & 1) {
        QString text = QString::fromLatin1(bytes);
        if (mode & 2)
            text = Repaired(text);
        const int form = (mode >> 2) & 3;
        bytes = Encoded(text, form);
        // Latin-1 text that itself starts like a mark is read as one.
        if (form != 0 || !HasMark(bytes))
            FUZZ_CHECK(protocol::DecodeHexText(bytes) == text);
    }

    const QString text = protocol::DecodeHexText(bytes);
    const QStringList lines = protocol::SplitLines(text);
    FUZZ_CHECK(lines == (text.isEmpty() ? QStringList() : PlainLines(text)));
    bool all = true;
    for (const QString &line : lines) {
        const bool record = IsRecord(line);
        FUZZ_CHECK(protocol::IsHexRecord(protocol::TrimHexLine(line)) == record);
        FUZZ_CHECK(protocol::TrimHexLine(line) == Trimmed(line));
        all = all && record;
    }
    // The first line is an address record of two bytes, the last the end
    // record: the meter receives neither.
    const auto bytesOf = [](const QString &line) { return QByteArray::fromHex(Trimmed(line).mid(1).toLatin1()); };
    const bool framed = all && !lines.isEmpty() && bytesOf(lines.first())[0] == 2
        && (bytesOf(lines.first())[3] == 2 || bytesOf(lines.first())[3] == 4) && bytesOf(lines.last())[3] == 1;
    const bool valid = framed && lines.size() >= 6 && lines.size() % 4 == 2;
    FUZZ_CHECK(protocol::ValidateHexFile(lines) == valid);
    const protocol::FirmwareLines prepared = protocol::PrepareFirmwareLines(lines);
    FUZZ_CHECK(prepared.fault.isEmpty() == valid);
    FUZZ_CHECK(prepared.sent == (valid ? lines.mid(1, lines.size() - 2) : QStringList()));
    return 0;
}
