#pragma once
// The writes of one device, in the order they were asked for. Each chunk
// goes out in pieces that fit one ATT write request: a longer write with
// response becomes a prepared ("long") write, which not every
// serial-over-GATT module accepts, and the meter's byte stream does not care
// how the bytes are cut. One piece is on the air at a time; a chunk completes
// once, after its last piece.

#include <QByteArray>

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

namespace devlink {

template <class Tag>
class GattWriteQueue {
public:
    struct Piece {
        Tag tag;
        QByteArray bytes;
    };

    static constexpr int MinimumMtu = 23; // every ATT bearer supports this much
    static constexpr int HeaderBytes = 3; // opcode and handle of a write request

    // What one write request carries at this MTU; 0 (chunks go whole) when
    // the platform does not tell the MTU.
    static int PayloadFor(int mtu) { return mtu <= 0 ? 0 : std::max(mtu, MinimumMtu) - HeaderBytes; }

    // Applies from the next piece on.
    void SetMtu(int mtu) { m_payload = PayloadFor(mtu); }
    void Add(Tag tag, const QByteArray &chunk) { m_chunks.push_back({tag, chunk, 0}); }
    bool Busy() const { return m_inFlight; }
    // The chunk whose piece is on the air (or goes next).
    std::optional<Tag> Front() const
    {
        return m_chunks.empty() ? std::nullopt : std::optional<Tag>(m_chunks.front().tag);
    }

    // The piece to write now, unless one is on the air or nothing waits.
    std::optional<Piece> Next()
    {
        if (m_inFlight || m_chunks.empty())
            return std::nullopt;
        const Chunk &c = m_chunks.front();
        const qsizetype left = c.bytes.size() - c.sent;
        m_pieceSize = m_payload > 0 ? std::min<qsizetype>(m_payload, left) : left;
        m_inFlight = true;
        return Piece{c.tag, c.bytes.mid(c.sent, m_pieceSize)};
    }

    // The piece on the air was written. The chunk's tag when that was its
    // last piece: its one completion is due.
    std::optional<Tag> Written()
    {
        if (!m_inFlight)
            return std::nullopt;
        m_inFlight = false;
        Chunk &c = m_chunks.front();
        c.sent += m_pieceSize;
        if (c.sent < c.bytes.size())
            return std::nullopt;
        const Tag done = c.tag;
        m_chunks.pop_front();
        return done;
    }

    // Every chunk not yet complete, in order, for its failure; leaves the
    // queue empty.
    std::vector<Tag> TakeAll()
    {
        std::vector<Tag> tags;
        for (const Chunk &c : m_chunks)
            tags.push_back(c.tag);
        m_chunks.clear();
        m_inFlight = false;
        return tags;
    }

private:
    struct Chunk {
        Tag tag;
        QByteArray bytes;
        qsizetype sent;
    };
    std::deque<Chunk> m_chunks;
    int m_payload = 0;
    qsizetype m_pieceSize = 0;
    bool m_inFlight = false;
};

} // namespace devlink
