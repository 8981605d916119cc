// What the virtual link's central makes of each received line (VLinkPeer,
// the line handling of VLinkBluetoothLE): however the reads cut the bytes,
// the same events come out; what a peer makes it hold stays within the caps;
// and events keep their promises (a write completion only for a write sent,
// a notification only for a subscribed characteristic, a failure never with
// status 0, nothing after a cut-off).
//
// The fuzzer plays the central as VLinkBluetoothLE does: at END it sends
// CONNECT and subscribes to a characteristic the input picks; a subscription
// answered 0 is followed by the writes the input asks for; the connection
// may end after the event the input names. The peer takes lines of at most
// 8 KiB rather than the megabyte of the real one: lines at and past the
// limit, and floods past the caps, then cost kilobytes.

#include "fuzzing.h"
#include "link/vlinkpeer.h"

#include <QList>
#include <QStringList>

#include <algorithm>

namespace {

using devlink::VLinkEvent;
using devlink::VLinkPeer;

// Marks let a short input stand for a long stream. 0xFE, a 24-bit length
// and a byte: that many copies of the byte (lines at and past the length
// limit). 0xFD and a count: the line after it (up to its LF) that many
// times four (a flood of SERVICE lines past the caps).
constexpr char ByteRun = '\xFE';
constexpr char LineRun = '\xFD';
// Long enough for a SERVICE line with every characteristic the caps allow.
constexpr qsizetype MaxLine = 8 * 1024;
constexpr qsizetype MaxStream = 3 * MaxLine;

QByteArray Expand(const QByteArray &text)
{
    QByteArray stream;
    for (qsizetype i = 0; i < text.size() && stream.size() < MaxStream; ++i) {
        const auto byte = [&](qsizetype k) { return static_cast<unsigned char>(text[i + k]); };
        if (text[i] == ByteRun && i + 4 < text.size()) {
            const qsizetype length = byte(1) << 16 | byte(2) << 8 | byte(3);
            stream.append(QByteArray(std::min(length, MaxStream - stream.size()), text[i + 4]));
            i += 4;
        } else if (text[i] == LineRun && i + 1 < text.size()) {
            const qsizetype end = text.indexOf('\n', i + 2);
            const QByteArray line = text.mid(i + 2, end < 0 ? -1 : end - i - 1);
            for (int n = byte(1) * 4; n > 0 && stream.size() < MaxStream; --n)
                stream.append(line);
            i = end < 0 ? text.size() : end;
        } else {
            stream.append(text[i]);
        }
    }
    return stream.left(MaxStream);
}

struct Choices {
    int subscribeTo = 0; // which characteristic, counted over all services
    int writes = 0;      // sent after a successful subscription
    int closeAfter = 0;  // the connection ends after this many events (0: never)
};

class Central {
public:
    explicit Central(const Choices &choices) : m_choices(choices) {}

    void Receive(QByteArrayView bytes)
    {
        m_peer.Receive(bytes);
        while (const std::optional<VLinkEvent> event = m_peer.Next()) {
            Apply(*event);
            CheckCaps(bytes.size());
        }
        CheckCaps(0);
    }
    const QStringList &Log() const { return m_log; }

private:
    void Apply(const VLinkEvent &event)
    {
        FUZZ_CHECK(!m_cutOff);
        switch (event.kind) {
        case VLinkEvent::Advertised:
            FUZZ_CHECK(m_peer.Advertised());
            m_log << QStringLiteral("advertised %1, %2 services").arg(m_peer.Name()).arg(m_peer.Services().size());
            m_peer.NoteConnect();
            Subscribe();
            break;
        case VLinkEvent::SubscribeAnswer:
            m_log << QStringLiteral("subscribe answered %1").arg(event.status);
            if (event.status == 0) {
                for (int n = 0; n < m_choices.writes; ++n, ++m_writesSent)
                    m_peer.NoteWrite();
            }
            break;
        case VLinkEvent::Written:
            FUZZ_CHECK(++m_completions <= m_writesSent);
            FUZZ_CHECK(Index(event.characteristic) >= 0);
            m_log << QStringLiteral("written %1 %2").arg(Index(event.characteristic)).arg(event.status);
            break;
        case VLinkEvent::Notified:
            FUZZ_CHECK(Index(event.characteristic) >= 0 && event.characteristic->subscribed);
            FUZZ_CHECK(event.status == 0 || event.bytes.isEmpty());
            m_log << QStringLiteral("notified %1 %2 %3")
                         .arg(Index(event.characteristic))
                         .arg(event.status)
                         .arg(QString::fromLatin1(event.bytes.toHex()));
            break;
        case VLinkEvent::CutOff:
            m_cutOff = true;
            FUZZ_CHECK(m_peer.IsCutOff() && !event.reason.isEmpty());
            m_log << QStringLiteral("cut off: %1").arg(event.reason);
            break;
        }
        if (++m_events == m_choices.closeAfter) {
            m_peer.Closed();
            m_writesSent = m_completions; // writes in flight get no completion
            m_log << QStringLiteral("closed");
        }
    }

    void Subscribe()
    {
        QList<devlink::VLinkCharacteristic *> all;
        for (const auto &service : m_peer.Services())
            for (const auto &characteristic : service->characteristics)
                all << characteristic.get();
        if (all.isEmpty())
            return;
        m_peer.AwaitSubscribe(all[m_choices.subscribeTo % all.size()]->Uuid());
    }

    // Where a characteristic stands among all of the peer's; -1 for none.
    int Index(const devlink::VLinkCharacteristic *wanted) const
    {
        int index = 0;
        for (const auto &service : m_peer.Services()) {
            for (const auto &characteristic : service->characteristics) {
                if (characteristic.get() == wanted)
                    return index;
                ++index;
            }
        }
        return -1;
    }

    void CheckCaps(qsizetype lastRead) const
    {
        FUZZ_CHECK(m_peer.Services().size() <= std::size_t(VLinkPeer::MaxServices));
        int characteristics = 0;
        for (const auto &service : m_peer.Services())
            characteristics += int(service->characteristics.size());
        FUZZ_CHECK(characteristics == m_peer.CharacteristicCount());
        FUZZ_CHECK(characteristics <= VLinkPeer::MaxCharacteristics);
        // Each byte of the name decodes to at most one UTF-16 unit.
        FUZZ_CHECK(m_peer.Name().size() <= VLinkPeer::MaxNameBytes);
        FUZZ_CHECK(m_peer.Buffered() <= MaxLine + 1 + lastRead);
        FUZZ_CHECK(!m_peer.IsCutOff() || m_peer.Buffered() == 0);
    }

    VLinkPeer m_peer{MaxLine};
    Choices m_choices;
    QStringList m_log;
    int m_events = 0;
    int m_writesSent = 0;
    int m_completions = 0;
    bool m_cutOff = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    const QList<qsizetype> cuts = input.Cuts();
    Choices choices;
    choices.subscribeTo = input.Byte();
    choices.writes = input.Byte() & 7;
    choices.closeAfter = input.Byte();
    const QByteArray stream = Expand(input.Rest());

    Central whole(choices);
    whole.Receive(stream);

    Central pieces(choices);
    fuzz::InPieces(stream, cuts, [&](QByteArrayView piece) { pieces.Receive(piece); });
    FUZZ_CHECK(pieces.Log() == whole.Log());
    return 0;
}
