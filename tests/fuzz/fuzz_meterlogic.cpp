// The simulated meter's frame parser: the same bytes in one write or cut
// into writes of any size give the same frames, replies and state, and the
// frames are the bytes as they came, up to a partial frame at the end.

#include "fuzzing.h"
#include "sim/meterlogic.h"

#include <memory>

namespace {

struct Outcome {
    QList<QByteArray> frames;
    QList<QByteArray> replies;
    QList<int> delays;
    QList<QByteArray> firmwareLines;
    sim::ImageBytes image;
    protocol::ParameterBlock block;
    int malformed = 0;
    bool drop = false;
    bool operator==(const Outcome &o) const
    {
        return frames == o.frames && replies == o.replies && delays == o.delays &&
               firmwareLines == o.firmwareLines && image == o.image && block.bytes == o.block.bytes &&
               malformed == o.malformed && drop == o.drop;
    }
};

std::unique_ptr<sim::MeterLogic> Meter(const sim::MeterFaults &faults)
{
    auto meter = std::make_unique<sim::MeterLogic>();
    // Small records, so a download of every number stays quick.
    meter->SetLayout({{QStringLiteral("No."), 5}, {QStringLiteral("Moisture"), 4}});
    meter->faults = faults;
    return meter;
}

Outcome Feed(const sim::MeterFaults &faults, const QByteArray &stream, const QList<qsizetype> &cuts)
{
    const auto meter = Meter(faults);
    Outcome o;
    fuzz::InPieces(stream, cuts, [&](QByteArrayView piece) {
        for (const sim::MeterLogic::Reply &reply : meter->Receive(piece)) {
            o.replies << reply.bytes;
            o.delays << reply.delayMs;
        }
    });
    o.frames = meter->Frames();
    o.firmwareLines = meter->FirmwareLines();
    o.image = meter->FirmwareImage();
    o.block = meter->MeterBlock();
    o.malformed = meter->MalformedFirmwareLines();
    o.drop = meter->TakeDropRequest();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    // Faults the frames meet, the same for both meters.
    sim::MeterFaults faults;
    const int f = input.Byte();
    faults.repeatReplies = f & 3;
    faults.pingsToAnswer = ((f >> 2) & 3) - 1;
    faults.replyDelayMs = (f >> 4) & 3;
    faults.delayCommand = f & 0x40 ? sim::CodePing : -1;
    const int ff = input.Byte();
    if (ff & 0x80) {
        sim::FirmwareFault fault;
        fault.kind = static_cast<sim::FirmwareFault::Kind>(ff & 3);
        fault.line = ((ff >> 2) & 7) + 1;
        fault.value = input.Byte();
        faults.firmwareFaults << fault;
    }
    QList<qsizetype> cuts;
    for (int n = (input.Byte() & 15) + 1; n > 0; --n)
        cuts << input.Byte();
    const QByteArray stream = input.Rest();

    const Outcome whole = Feed(faults, stream, {stream.size()});
    const Outcome pieces = Feed(faults, stream, cuts);
    FUZZ_CHECK(whole == pieces);

    // The frames are the stream itself; what is left is one unfinished
    // line frame, shorter than the longest the meter buffers.
    const QByteArray joined = whole.frames.join();
    FUZZ_CHECK(stream.startsWith(joined));
    const QByteArray partial = stream.mid(joined.size());
    FUZZ_CHECK(partial.size() < sim::MeterLogic::MaxLineFrame);
    if (!partial.isEmpty()) {
        const auto code = static_cast<std::uint8_t>(partial.front());
        FUZZ_CHECK(code == sim::CodeWriteParameters || code == sim::CodeFirmwareLine);
        FUZZ_CHECK(!partial.contains('\n'));
    }
    return 0;
}
