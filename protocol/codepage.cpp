#include "protocol/codepage.h"

#include "os/services.h"

#include <QList>

#include <array>

namespace protocol {

namespace {

// Windows-1252 bytes 0x80..0x9F; 0 marks the five unassigned ones. All other
// bytes equal their Unicode code point.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char toCodePageByte(char32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<char>(cp);
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] != 0 && kHighControls[i] == cp)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

} // namespace

QByteArray ToCodePage(const QString &text)
{
    if (std::optional<QByteArray> system = os::ToSystemCodePage(text))
        return *system;
    QByteArray out;
    out.reserve(text.size());
    for (const char32_t cp : text.toUcs4())
        out.append(toCodePageByte(cp));
    return out;
}

QString FromCodePage(const QByteArray &bytes)
{
    if (std::optional<QString> system = os::FromSystemCodePage(bytes))
        return *system;
    QString out;
    out.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        if (b >= 0x80 && b < 0xA0)
            out.append(kHighControls[b - 0x80] ? QChar(kHighControls[b - 0x80]) : QChar(b));
        else
            out.append(QChar(b));
    }
    return out;
}

} // namespace protocol
