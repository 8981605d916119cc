// The tool's JSON block file: ApplyJson against a block. A refused document
// leaves the block untouched; an accepted one applied again changes
// nothing; a document with hex decides the block alone; the serial number
// a document names is the one it gives. The document of any block applied
// back gives that block. The cost stays linear: a few inputs are grown to
// half a megabyte and must be taken within a CPU-time bound.
//
// Input: a mode byte, the 257 bytes of the block the document goes onto,
// then the document (or the piece a grown document repeats).

#include "fuzzing.h"
#include "data/blockjson.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <ctime>

using protocol::ParameterBlock;

namespace {

// Half a megabyte is taken in some 60 ms even with the sanitizers, where a
// cost that grows with the square of the keys (40,000 of them) takes many
// seconds. CPU time, so a loaded machine does not make a finding.
constexpr qsizetype GrownSize = 512 * 1024;
constexpr double GrownSeconds = 2.0;

// A document of about GrownSize bytes built from `piece`: many keys in one
// object, the piece many times in an array, or one long text. Built in
// place into `doc`, whose memory is kept from run to run: a grown document
// made of temporaries cost more than parsing it.
void Grow(QByteArray &doc, int shape, const QByteArray &piece)
{
    doc.resize(0);
    doc.reserve(GrownSize + 2 * piece.size() + 64);
    doc.append("{\"meter\": ");
    if (shape == 0) {
        doc.append('{');
        const QByteArray tag = piece.toHex().left(2);
        char number[16];
        for (unsigned i = 0; doc.size() < GrownSize; ++i) {
            doc.append(i ? ",\"" : "\"").append(tag);
            int digits = 0;
            for (unsigned n = i; digits == 0 || n != 0; n /= 36)
                number[digits++] = "0123456789abcdefghijklmnopqrstuvwxyz"[n % 36];
            while (digits > 0)
                doc.append(number[--digits]);
            doc.append("\":0");
        }
        doc.append('}');
    } else if (shape == 1) {
        const QByteArray unit = piece.isEmpty() ? QByteArray("0") : piece;
        doc.append('[').append(unit);
        while (doc.size() < GrownSize)
            doc.append(',').append(unit);
        doc.append(']');
    } else {
        const QByteArray unit = piece.isEmpty() ? QByteArray("\\\"") : piece;
        doc.append('"');
        for (qsizetype n = GrownSize / unit.size() + 1; n > 0; --n)
            doc.append(unit);
        doc.append('"');
    }
    doc.append('}');
}

QByteArray WithoutHex(const QByteArray &json)
{
    QJsonObject o = QJsonDocument::fromJson(json).object();
    o.remove(QStringLiteral("hex"));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void CheckDocument(const QByteArray &json, const ParameterBlock &start)
{
    ParameterBlock block = start;
    QString error;
    const bool accepted = data::ApplyJson(json, block, &error);
    if (!accepted) {
        FUZZ_CHECK(block.bytes == start.bytes);
        FUZZ_CHECK(!error.isEmpty());
        return;
    }
    // Applied again: every field now equals what the block shows. (The
    // document is parsed once more, not for each check: parsing is most of
    // a run's cost.)
    data::BlockEdits edits;
    FUZZ_CHECK(edits.Parse(json, &error));
    ParameterBlock again = block;
    FUZZ_CHECK(edits.ApplyTo(again, &error));
    FUZZ_CHECK(again.bytes == block.bytes);

    const QList<quint16> serials = edits.SerialNumbers();
    FUZZ_CHECK(block.word(ParameterBlock::SerialNumber)
               == (serials.isEmpty() ? start.word(ParameterBlock::SerialNumber) : serials.first()));
    // With hex, the block it lands on does not matter. A key "hex" is in
    // the text as it is or written with a backslash escape.
    const bool mayHaveHex = json.contains("hex") || json.contains('\\');
    if (mayHaveHex && QJsonDocument::fromJson(json).object().contains(QStringLiteral("hex"))) {
        ParameterBlock other;
        FUZZ_CHECK(edits.ApplyTo(other, &error));
        FUZZ_CHECK(other.bytes == block.bytes);
    }
}

void CheckRoundTrip(const ParameterBlock &block, const QByteArray &name)
{
    const QByteArray json =
        data::BlockToJson(block, data::MeterStamp{QString::fromUtf8(name), name.toHex(), QDateTime()});
    ParameterBlock other;
    QString error;
    FUZZ_CHECK(data::ApplyJson(json, other, &error));
    FUZZ_CHECK(std::equal(block.bytes.begin(), block.bytes.end() - 1, other.bytes.begin()));
    ParameterBlock same = block;
    FUZZ_CHECK(data::ApplyJson(WithoutHex(json), same, &error));
    FUZZ_CHECK(same.bytes == block.bytes);
    FUZZ_CHECK(data::DescribeChanges(block, same).isEmpty());
}

// Whether `hash` is new among the last few thousand runs that asked with
// the same table. The checks below depend on part of the input only, and a
// mutation elsewhere keeps that part: checked again, it would take most of
// the fuzzer's time and find nothing new. A run of one input alone always
// checks, so a finding reproduces from its input. A fixed table, since a
// run that allocates more than it frees is run again by the leak check.
bool FirstTime(std::array<std::size_t, 4096> &recent, std::size_t hash)
{
    std::size_t &slot = recent[hash % recent.size()];
    const bool first = slot != hash;
    slot = hash;
    return first;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    const int mode = input.Byte() % 64;
    ParameterBlock block;
    for (int i = 0; i < ParameterBlock::Size; ++i)
        block[i] = input.Left() ? input.Byte() : static_cast<std::uint8_t>(i * 37 + 11);
    const QByteArray rest = input.Rest();

    // The round trip depends on the block and the name alone.
    static std::array<std::size_t, 4096> roundTrips{};
    const QByteArray name = rest.left(64);
    const auto bytes = QByteArrayView(reinterpret_cast<const char *>(block.bytes.data()), ParameterBlock::Size);
    if (FirstTime(roundTrips, qHash(QByteArrayView(name), qHash(bytes))))
        CheckRoundTrip(block, name);
    // A grown document costs some 20 normal runs, so only every 16th input
    // that asks for one is grown (the first always), and only if its
    // document is new; the others are taken as they are.
    static unsigned asked = 0;
    static std::array<std::size_t, 4096> grownDocuments{};
    const QByteArray piece = rest.left(256);
    if (mode < 61 || asked++ % 16 != 0 || !FirstTime(grownDocuments, qHash(QByteArrayView(piece), mode))) {
        CheckDocument(rest, block);
        return 0;
    }
    static QByteArray grown;
    Grow(grown, mode - 61, piece);
    ParameterBlock grownOnto = block;
    QString error;
    const std::clock_t begin = std::clock();
    if (!data::ApplyJson(grown, grownOnto, &error))
        FUZZ_CHECK(grownOnto.bytes == block.bytes);
    const double seconds = double(std::clock() - begin) / CLOCKS_PER_SEC;
    FUZZ_CHECK(seconds < GrownSeconds);
    return 0;
}
