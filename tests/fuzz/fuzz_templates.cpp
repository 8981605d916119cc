// Template load: ReadTemplateLines, which reads in chunks, must give the
// lines a one-piece decode and split of the file's first 8 MiB gives: at
// most 190 lines, each cut to 256 characters.

#include "fuzzing.h"
#include "data/templatefile.h"

#include <QBuffer>
#include <QStringDecoder>

namespace {

QStringList Reference(const QByteArray &file)
{
    const QByteArray head = file.left(data::TemplateReadLimit);
    const auto encoding = QStringConverter::encodingForData(head.left(4));
    const QString text = QStringDecoder(encoding.value_or(QStringConverter::Utf8)).decode(head);
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size() && lines.size() < data::TemplateLines; ++i) {
        if (text[i] != u'\r' && text[i] != u'\n')
            continue;
        lines << text.mid(start, i - start).left(data::TemplateLineChars);
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (lines.size() < data::TemplateLines && start < text.size())
        lines << text.mid(start).left(data::TemplateLineChars);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    // The first byte may repeat the rest: past the 64 KiB chunks, so that
    // characters and CR LF are cut between reads, or past the 8 MiB limit.
    // A file past the chunks costs some 50 plain runs and one past the limit
    // some 2,000, so only every 16th (every 1,024th) input that asks for one
    // is grown, the first always so that a finding reproduces from its input
    // alone; the others are taken as they are.
    const int mode = input.Byte() % 8;
    const QByteArray unit = input.Rest();
    static unsigned askedChunks = 0;
    static unsigned askedLimit = 0;
    const bool pastChunks = mode == 1 && askedChunks++ % 16 == 0;
    const bool pastLimit = mode == 2 && askedLimit++ % 1024 == 0;
    const qsizetype target = pastChunks ? 200 * 1024 : pastLimit ? data::TemplateReadLimit + 4096 : 0;
    QByteArray file = unit.isEmpty() ? unit : unit.repeated(target / unit.size() + 1);

    QBuffer buffer(&file);
    FUZZ_CHECK(buffer.open(QIODevice::ReadOnly));
    const QStringList lines = data::ReadTemplateLines(buffer);
    FUZZ_CHECK(lines.size() <= data::TemplateLines);
    for (const QString &line : lines)
        FUZZ_CHECK(line.size() <= data::TemplateLineChars);
    FUZZ_CHECK(lines == Reference(file));
    return 0;
}
