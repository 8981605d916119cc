#pragma once
// What every fuzzer here shares: a property check that stops the run with a
// finding, and a cursor that takes the choices (cut sizes, modes) from the
// front of the input so the fuzzer can steer them too.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken property is a finding like a crash: libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__,    \
                         __LINE__);                                                        \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}

    // The next byte, 0 once the input is used up.
    std::uint8_t Byte()
    {
        return m_pos < m_size ? m_data[m_pos++] : 0;
    }
    std::uint16_t Word()
    {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }
    // Everything not taken yet.
    QByteArray Rest()
    {
        const auto *from = reinterpret_cast<const char *>(m_data + m_pos);
        const auto count = static_cast<qsizetype>(m_size - m_pos);
        m_pos = m_size;
        return QByteArray(from, count);
    }
    std::size_t Left() const { return m_size - m_pos; }
    // Read sizes for a stream cut into pieces: up to 16, each 0..127 bytes
    // or, with the high bit, a multiple of 16 KiB.
    QList<qsizetype> Cuts()
    {
        QList<qsizetype> cuts;
        for (int n = (Byte() & 15) + 1; n > 0; --n) {
            const int b = Byte();
            cuts.append(b & 0x80 ? qsizetype(b & 0x7F) << 14 : b);
        }
        return cuts;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Hands `stream` to `take` in pieces of the sizes in `cuts`, used in turn;
// cuts that are all empty get one of the whole stream. Past `maxReads`
// pieces the rest goes at once, so megabytes in one-byte reads cannot stall
// the fuzzer.
template <typename Take>
void InPieces(const QByteArray &stream, QList<qsizetype> cuts, Take &&take, qsizetype maxReads = 4096)
{
    if (std::all_of(cuts.cbegin(), cuts.cend(), [](qsizetype n) { return n == 0; }))
        cuts.append(std::max<qsizetype>(stream.size(), 1));
    qsizetype at = 0;
    for (qsizetype k = 0; at < stream.size(); ++k) {
        const qsizetype n = k >= maxReads ? stream.size() - at : std::min(cuts[k % cuts.size()], stream.size() - at);
        take(QByteArrayView(stream).sliced(at, n));
        at += n;
    }
}

} // namespace fuzz
