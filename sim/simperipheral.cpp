#include "sim/simperipheral.h"

#include "vlink/vlinkwire.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <deque>

namespace sim {

namespace {

// A standard service ahead of the serial one, so the central has to look
// through the list rather than take the first entry.
const QUuid DeviceInformationUuid{QStringLiteral("{0000180A-0000-1000-8000-00805F9B34FB}")};
const QUuid ManufacturerNameUuid{QStringLiteral("{00002A29-0000-1000-8000-00805F9B34FB}")};

// A long reply's lines are made while the socket drains: a batch at a time,
// while less than HighWater waits in the socket's buffer.
constexpr qint64 HighWater = 256 * 1024;
constexpr qsizetype BatchBytes = 64 * 1024;

} // namespace

struct SimPeripheral::Connection {
    QTcpSocket *socket = nullptr;
    vlink::LineReader reader;
    bool connected = false;  // CONNECTED sent
    bool subscribed = false; // notifications on
    qint64 received = 0;     // written bytes taken on this connection
    // Replies that wait for their time, in the order the meter gave them;
    // one timer serves them one after the other, so none overtakes another.
    struct Pending {
        qint64 dueMs = 0; // on m_clock
        MeterLogic::Reply reply;
    };
    std::deque<Pending> pending;
    QTimer timer;
    // What waits to go out, in order: lines as they stand, or a reply's
    // notifications, made into lines as the socket takes them. A download
    // is tens of megabytes of lines; made all at once they held up its
    // first notification past the central's first-byte limit on a slow
    // machine, as a real meter, which starts at once, never does.
    struct Outgoing {
        QByteArray bytes;          // the lines, or the reply's bytes
        qsizetype notifySize = 0;  // 0: `bytes` are lines
        qsizetype failing = 0;     // notifications still to go as NOTIFYERR
        int failStatus = 0;
        qsizetype at = 0;          // the reply's bytes gone so far
    };
    std::deque<Outgoing> outbox;
};

SimPeripheral::SimPeripheral(QObject *parent) : QObject(parent), m_server(this)
{
    connect(&m_server, &QTcpServer::newConnection, this, &SimPeripheral::Accept);
}

SimPeripheral::~SimPeripheral()
{
    for (const auto &connection : m_connections) {
        connection->socket->disconnect(this);
        connection->socket->abort();
    }
}

bool SimPeripheral::Listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

int SimPeripheral::SessionCount() const
{
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const auto &c) { return c->connected; }));
}

void SimPeripheral::CloseConnections()
{
    while (!m_connections.empty())
        Drop(m_connections.front()->socket);
}

void SimPeripheral::SendRaw(const QByteArray &bytes)
{
    for (const auto &connection : m_connections)
        Send(*connection, bytes);
}

void SimPeripheral::Accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        // Precise: a coarse timer may be 5 % off, which moves a reply 2.9 s
        // late across the central's 3 s limit.
        connection->timer.setTimerType(Qt::PreciseTimer);
        connection->timer.setSingleShot(true);
        connect(&connection->timer, &QTimer::timeout, this, [this, socket] { SendDueReplies(socket); });
        m_connections.push_back(std::move(connection));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { ReadLines(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (Connection *drained = Find(socket))
                Pump(*drained);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
        Advertise(*m_connections.back());
    }
}

void SimPeripheral::Advertise(Connection &connection)
{
    QList<QList<QByteArray>> services;
    switch (advertisement.services) {
    case Advertisement::SerialService:
    case Advertisement::NoSerialService:
    case Advertisement::ServiceWithoutCharacteristic:
        services << QList<QByteArray>{vlink::FormatUuid(DeviceInformationUuid), vlink::FormatUuid(ManufacturerNameUuid)};
        if (advertisement.services == Advertisement::SerialService)
            services << QList<QByteArray>{vlink::FormatUuid(SerialServiceUuid), vlink::FormatUuid(SerialCharacteristicUuid)};
        else if (advertisement.services == Advertisement::ServiceWithoutCharacteristic)
            services << QList<QByteArray>{vlink::FormatUuid(SerialServiceUuid)};
        break;
    case Advertisement::Listed:
        for (const QUuid &uuid : advertisement.listed) {
            services << QList<QByteArray>{vlink::FormatUuid(uuid)};
            if (uuid == SerialServiceUuid)
                services.last() << vlink::FormatUuid(SerialCharacteristicUuid);
        }
        break;
    }
    QByteArray lines = "ADV " + advertisement.name.toUtf8() + '\n';
    if (advertisement.rssi)
        lines += vlink::FormatLine({"RSSI", QByteArray::number(*advertisement.rssi)});
    for (const QList<QByteArray> &service : services)
        lines += "SERVICE " + service.join(' ') + '\n';
    lines += vlink::FormatLine({"END"});
    Send(connection, lines);
}

SimPeripheral::Connection *SimPeripheral::Find(QTcpSocket *socket) const
{
    for (const auto &connection : m_connections) {
        if (connection->socket == socket)
            return connection.get();
    }
    return nullptr;
}

void SimPeripheral::Drop(QTcpSocket *socket)
{
    const auto it = std::find_if(m_connections.begin(), m_connections.end(),
                                 [socket](const auto &c) { return c->socket == socket; });
    if (it == m_connections.end())
        return;
    m_connections.erase(it);
    socket->disconnect(this);
    // What was already sent (a completion, a reply) still reaches the
    // central before the connection ends.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
    emit ConnectionClosed();
}

void SimPeripheral::ReadLines(QTcpSocket *socket)
{
    Connection *connection = Find(socket);
    if (!connection)
        return;
    connection->reader.Append(socket->readAll());
    // Handling a line may close this connection; look it up again each time.
    while ((connection = Find(socket)) != nullptr) {
        const std::optional<QByteArray> line = connection->reader.Next();
        if (!line)
            break;
        Handle(*connection, *line);
    }
}

void SimPeripheral::Handle(Connection &connection, const QByteArray &text)
{
    m_lines.append(text);
    emit LineReceived(text);
    const vlink::Line line = vlink::ParseLine(text);
    if (line.verb == "CONNECT")
        HandleConnect(connection);
    else if (line.verb == "SUBSCRIBE")
        HandleSubscribe(connection, line.args);
    else if (line.verb == "WRITE")
        HandleWrite(connection, line.args);
}

void SimPeripheral::HandleConnect(Connection &connection)
{
    if (m_meter->faults.refuseConnect)
        return;
    connection.connected = true;
    m_meter->ResetSession();
    Send(connection, vlink::FormatLine({"CONNECTED"}));
    emit SessionStarted();
}

bool SimPeripheral::HasCharacteristic(const QUuid &uuid) const
{
    return uuid == SerialCharacteristicUuid
        && (advertisement.services == Advertisement::SerialService
            || (advertisement.services == Advertisement::Listed && advertisement.listed.contains(SerialServiceUuid)));
}

void SimPeripheral::HandleSubscribe(Connection &connection, const QList<QByteArray> &args)
{
    if (args.isEmpty() || m_meter->faults.ignoreSubscribe)
        return;
    const std::optional<QUuid> uuid = vlink::ParseUuid(args[0]);
    int status = m_meter->faults.subscribeStatus;
    if (!connection.connected)
        status = StatusError;
    else if (!uuid || !HasCharacteristic(*uuid))
        status = StatusAttributeNotFound;
    connection.subscribed = connection.subscribed || status == 0;
    Send(connection, vlink::FormatLine({"SUBSCRIBED", args[0], QByteArray::number(status)}));
}

QList<MeterLogic::Reply> SimPeripheral::Feed(QByteArrayView bytes)
{
    const qsizetype before = m_meter->Frames().size();
    QList<MeterLogic::Reply> replies = m_meter->Receive(bytes);
    const QList<QByteArray> frames = m_meter->Frames().mid(before);
    for (const QByteArray &frame : frames)
        emit FrameReceived(frame);
    return replies;
}

void SimPeripheral::HandleWrite(Connection &connection, const QList<QByteArray> &args)
{
    if (args.isEmpty())
        return;
    // Every WRITE gets exactly one WRITTEN, whatever is wrong with it.
    const QByteArray uuidToken = args[0];
    QTcpSocket *socket = connection.socket;
    auto written = [this, &connection, &uuidToken](int status) {
        Send(connection, vlink::FormatLine({"WRITTEN", uuidToken, QByteArray::number(status)}));
    };
    const std::optional<QUuid> uuid = vlink::ParseUuid(uuidToken);
    const std::optional<QByteArray> bytes =
        vlink::ParseHex(args.size() > 1 ? QByteArrayView(args[1]) : QByteArrayView());
    MeterFaults &faults = m_meter->faults;
    if (!uuid || !HasCharacteristic(*uuid))
        return written(StatusAttributeNotFound);
    if (!connection.connected || !bytes)
        return written(StatusError);
    if (faults.writeFailCount != 0) {
        if (faults.writeFailCount > 0)
            --faults.writeFailCount;
        return written(faults.writeFailStatus);
    }
    if (faults.closeAfterBytes >= 0 && connection.received + bytes->size() >= faults.closeAfterBytes) {
        // The meter takes the bytes up to the limit and then goes silent.
        const qint64 take = std::max<qint64>(0, faults.closeAfterBytes - connection.received);
        connection.received += take;
        Feed(QByteArrayView(*bytes).first(take));
        m_meter->TakeDropRequest();
        Drop(socket);
        return;
    }
    connection.received += bytes->size();
    const QList<MeterLogic::Reply> replies = Feed(*bytes);
    if (m_meter->TakeDropRequest()) {
        // The write that carried the frame is never confirmed.
        Drop(socket);
        return;
    }
    if (faults.replyBeforeWritten) {
        ScheduleReplies(connection, replies, true);
        written(0);
    } else {
        written(0);
        ScheduleReplies(connection, replies, true);
    }
    ScheduleReplies(connection, replies, false);
}

void SimPeripheral::ScheduleReplies(Connection &connection, const QList<MeterLogic::Reply> &replies,
                                    bool immediateOnes)
{
    // Only the replies ahead of every delayed one leave at once; from the
    // first delayed one on, each waits its turn, so the meter's order is
    // the order on the link.
    qsizetype leading = 0;
    while (connection.pending.empty() && leading < replies.size() && replies[leading].delayMs <= 0)
        ++leading;
    if (immediateOnes) {
        for (qsizetype i = 0; i < leading; ++i)
            SendReply(connection, replies[i]);
        return;
    }
    if (!m_clock.isValid())
        m_clock.start();
    for (qsizetype i = leading; i < replies.size(); ++i) {
        const qint64 due = m_clock.elapsed() + std::max(0, replies[i].delayMs);
        const qint64 ahead = connection.pending.empty() ? 0 : connection.pending.back().dueMs;
        connection.pending.push_back({std::max(due, ahead), replies[i]});
    }
    if (!connection.timer.isActive())
        ArmReplyTimer(connection);
}

void SimPeripheral::SendDueReplies(QTcpSocket *socket)
{
    Connection *connection = Find(socket);
    if (!connection)
        return;
    while (!connection->pending.empty() && connection->pending.front().dueMs <= m_clock.elapsed()) {
        const MeterLogic::Reply reply = connection->pending.front().reply;
        connection->pending.pop_front();
        SendReply(*connection, reply);
    }
    ArmReplyTimer(*connection);
}

void SimPeripheral::ArmReplyTimer(Connection &connection)
{
    if (connection.pending.empty())
        return;
    const qint64 wait = connection.pending.front().dueMs - m_clock.elapsed();
    connection.timer.start(static_cast<int>(std::max<qint64>(0, wait)));
}

void SimPeripheral::SendReply(Connection &connection, const MeterLogic::Reply &answer)
{
    // Without notifications switched on the meter's answer goes nowhere.
    if (!connection.subscribed)
        return;
    MeterFaults &faults = m_meter->faults;
    if (answer.oneNotification) {
        const QByteArray uuid = vlink::FormatUuid(SerialCharacteristicUuid);
        Send(connection, answer.failStatus != 0
                             ? vlink::FormatLine({"NOTIFYERR", uuid, QByteArray::number(answer.failStatus)})
                             : vlink::FormatLine({"NOTIFY", uuid, vlink::FormatHex(answer.bytes)}));
        return;
    }
    // The faults as they stand now hold for the whole reply, however long
    // it takes to go out.
    Connection::Outgoing reply;
    reply.bytes = answer.bytes;
    reply.notifySize = std::max(1, faults.notifySize);
    const qsizetype notifications = (reply.bytes.size() + reply.notifySize - 1) / reply.notifySize;
    reply.failing = faults.notifyFailCount < 0 ? notifications
                                               : std::min<qsizetype>(notifications, faults.notifyFailCount);
    if (faults.notifyFailCount > 0)
        faults.notifyFailCount -= static_cast<int>(reply.failing);
    reply.failStatus = faults.notifyFailStatus;
    connection.outbox.push_back(std::move(reply));
    Pump(connection);
}

void SimPeripheral::Send(Connection &connection, const QByteArray &lines)
{
    connection.outbox.push_back({lines});
    Pump(connection);
}

void SimPeripheral::Pump(Connection &connection)
{
    QTcpSocket *socket = connection.socket;
    const QByteArray uuid = vlink::FormatUuid(SerialCharacteristicUuid);
    while (!connection.outbox.empty()) {
        Connection::Outgoing &next = connection.outbox.front();
        if (next.notifySize == 0) {
            socket->write(next.bytes);
            connection.outbox.pop_front();
            continue;
        }
        if (socket->bytesToWrite() >= HighWater)
            return; // bytesWritten brings us back
        QByteArray lines;
        while (next.at < next.bytes.size() && lines.size() < BatchBytes) {
            if (next.failing > 0) {
                --next.failing;
                lines += vlink::FormatLine({"NOTIFYERR", uuid, QByteArray::number(next.failStatus)});
            } else {
                lines += vlink::FormatLine(
                    {"NOTIFY", uuid, vlink::FormatHex(QByteArrayView(next.bytes).sliced(next.at).first(
                                         std::min(next.notifySize, next.bytes.size() - next.at)))});
            }
            next.at += next.notifySize;
        }
        socket->write(lines);
        if (next.at >= next.bytes.size())
            connection.outbox.pop_front();
    }
}

} // namespace sim
