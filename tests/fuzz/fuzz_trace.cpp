// Reading a trace to play it back (zevq-sim --replay): any input is either
// refused with a message that names the trace, or gives a meter with bytes
// to play; what is kept never exceeds what the text can hold (two hex
// digits a byte), and each answer belongs to a frame the trace wrote.

#include "fuzzing.h"
#include "sim/replay.h"

#include <QBuffer>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QBuffer buffer;
    buffer.setData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    buffer.open(QIODevice::ReadOnly);
    QString error;
    const std::optional<sim::RecordedMeter> meter = sim::ReadTrace(buffer, QStringLiteral("fuzz.txt"), &error);
    if (!meter) {
        FUZZ_CHECK(error.startsWith(QStringLiteral("fuzz.txt")));
        return 0;
    }
    FUZZ_CHECK(meter->notifications > 0);
    qsizetype kept = 0;
    for (const auto &[frame, answers] : meter->answers) {
        FUZZ_CHECK(!answers.isEmpty());
        kept += frame.size();
        for (const sim::RecordedAnswer &answer : answers)
            for (const sim::RecordedNotification &n : answer)
                kept += n.bytes.size();
    }
    FUZZ_CHECK(kept <= static_cast<qsizetype>(size) / 2);
    return 0;
}
