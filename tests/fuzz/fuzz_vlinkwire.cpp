// The virtual link's wire: however the reads cut the bytes, LineReader must
// hand out what a plain split at LF gives (lines over its limit dropped,
// one CR before the LF removed), and the token parsers must agree with
// checks written here. The limit comes from the input (at most 4 KiB), so
// lines at and past it cost bytes rather than the megabyte of the real one.

#include "fuzzing.h"
#include "vlink/vlinkwire.h"

#include <QList>

#include <algorithm>

namespace {

// Runs let a short input stand for long lines: 0xFE, a 24-bit length and a
// byte stand for that many copies of the byte, so lines at and past the
// limit are within the fuzzer's reach.
constexpr char RunMark = '\xFE';

QByteArray Expand(const QByteArray &text, qsizetype maxLine)
{
    const qsizetype MaxStream = 3 * maxLine;
    QByteArray stream;
    for (qsizetype i = 0; i < text.size() && stream.size() < MaxStream; ++i) {
        if (text[i] != RunMark || i + 4 >= text.size()) {
            stream.append(text[i]);
            continue;
        }
        const auto byte = [&](qsizetype k) { return static_cast<unsigned char>(text[i + k]); };
        // Runs of LF are kept short: a million empty lines test nothing a
        // few do not, and would make each run take seconds.
        const qsizetype length = text[i + 4] == '\n' ? byte(3) : byte(1) << 16 | byte(2) << 8 | byte(3);
        stream.append(QByteArray(std::min(length, MaxStream - stream.size()), text[i + 4]));
        i += 4;
    }
    return stream;
}

QList<QByteArray> PlainSplit(const QByteArray &stream, qsizetype maxLine)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype lf = stream.indexOf('\n'); lf >= 0; lf = stream.indexOf('\n', start)) {
        QByteArray line = stream.mid(start, lf - start);
        start = lf + 1;
        if (line.size() > maxLine)
            continue;
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
    }
    return lines;
}

void Drain(vlink::LineReader &reader, QList<QByteArray> &lines)
{
    while (const std::optional<QByteArray> line = reader.Next())
        lines.append(*line);
}

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

void CheckHex(const QByteArray &token)
{
    const std::optional<QByteArray> bytes = vlink::ParseHex(token);
    const bool expected = token.size() % 2 == 0 && std::all_of(token.begin(), token.end(), IsHex);
    FUZZ_CHECK(bytes.has_value() == expected);
    if (bytes)
        FUZZ_CHECK(vlink::FormatHex(*bytes) == token.toUpper());
}

void CheckUuid(const QByteArray &token)
{
    const bool braced = token.size() == 38 && token.front() == '{' && token.back() == '}';
    const QByteArray inner = braced ? token.mid(1, 36) : token;
    bool expected = inner.size() == 36;
    for (qsizetype i = 0; expected && i < inner.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        expected = dash ? inner[i] == '-' : IsHex(inner[i]);
    }
    const std::optional<QUuid> uuid = vlink::ParseUuid(token);
    FUZZ_CHECK(uuid.has_value() == expected);
    if (uuid)
        FUZZ_CHECK(vlink::FormatUuid(*uuid) == inner.toUpper());
}

void CheckLine(const QByteArray &text)
{
    const vlink::Line line = vlink::ParseLine(text);
    const qsizetype space = text.indexOf(' ');
    FUZZ_CHECK(line.verb == (space < 0 ? text : text.left(space)));
    FUZZ_CHECK(line.rest == (space < 0 ? QByteArray() : text.mid(space + 1)));
    // The tokens joined again are the rest without its trailing blanks.
    QByteArray rest = line.rest;
    while (rest.endsWith(' '))
        rest.chop(1);
    FUZZ_CHECK(line.args.join(' ') == rest);
    FUZZ_CHECK(line.args.isEmpty() || !line.args.last().isEmpty());
    if (text.size() > 4096)
        return; // the tokens of a huge line are no protocol's
    for (const QByteArray &token : line.args) {
        CheckHex(token);
        CheckUuid(token);
        (void)vlink::ParseStatus(token);
    }
    CheckHex(line.verb);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    const qsizetype maxLine = 1 + input.Word() % 4096;
    const QList<qsizetype> cuts = input.Cuts();
    const QByteArray stream = Expand(input.Rest(), maxLine);
    const QList<QByteArray> expected = PlainSplit(stream, maxLine);

    vlink::LineReader whole(maxLine);
    QList<QByteArray> oneRead;
    whole.Append(stream);
    Drain(whole, oneRead);
    FUZZ_CHECK(oneRead == expected);

    vlink::LineReader cut(maxLine);
    QList<QByteArray> pieces;
    fuzz::InPieces(stream, cuts, [&](QByteArrayView piece) {
        cut.Append(piece);
        Drain(cut, pieces);
    });
    FUZZ_CHECK(pieces == expected);

    for (const QByteArray &line : expected)
        CheckLine(line);
    return 0;
}
