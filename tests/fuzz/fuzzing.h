#pragma once
// What every fuzzer here shares: a property check that stops the run with a
// finding, and a cursor that takes the choices (cut sizes, modes) from the
// front of the input so the fuzzer can steer them too.

#include <QByteArray>
#include <QList>
#include <QString>

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

} // namespace fuzz
