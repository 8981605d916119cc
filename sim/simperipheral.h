#pragma once
// The simulated meter as a peripheral on the virtual link: a TCP server on
// loopback that advertises, accepts CONNECT and SUBSCRIBE, passes written
// bytes to its MeterLogic and sends the replies back as notifications. The
// transport faults of MeterFaults are played here.
//
// A SimPeripheral lives on one thread and is used only there; to drive one
// from a test thread while it runs on its own, use SimMeterThread.

#include "sim/meterlogic.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUuid>

#include <memory>
#include <optional>
#include <vector>

class QTcpSocket;

namespace sim {

inline const QUuid SerialServiceUuid{QStringLiteral("{49535343-FE7D-4AE5-8FA9-9FAFD205E455}")};
inline const QUuid SerialCharacteristicUuid{QStringLiteral("{49535343-1E4D-4BD9-BA61-23C647249616}")};
inline constexpr quint16 DefaultPort = 47001;

// What the peripheral shows before a connection is made.
struct Advertisement {
    enum Services {
        SerialService,                 // device information, then the serial service
        NoSerialService,               // device information only
        ServiceWithoutCharacteristic,  // the serial service lacks its characteristic
        Listed,                        // `listed`, in order; the serial service with its characteristic
    };
    Advertisement(QString name = QStringLiteral("Vorelt-ZEVQ25k"), Services services = SerialService,
                  std::optional<int> rssi = {})
        : name(std::move(name)), services(services), rssi(rssi)
    {
    }
    QString name;
    Services services;
    // The signal strength a central would measure, in dBm; none: not sent.
    std::optional<int> rssi;
    QList<QUuid> listed; // for Listed: the services a trace recorded
};

class SimPeripheral : public QObject {
    Q_OBJECT
public:
    // GATT statuses the peripheral answers with on its own account.
    static constexpr int StatusAttributeNotFound = 10;
    static constexpr int StatusError = 133;

    explicit SimPeripheral(QObject *parent = nullptr);
    ~SimPeripheral() override;

    // Listens on 127.0.0.1; port 0 picks a free one (see Port()).
    bool Listen(quint16 port = 0);
    quint16 Port() const { return m_server.serverPort(); }
    QString ErrorString() const { return m_server.errorString(); }

    MeterLogic &Meter() { return *m_meter; }
    const MeterLogic &Meter() const { return *m_meter; }
    // Another meter behind the same link (a trace played back).
    void UseMeter(std::unique_ptr<MeterLogic> meter) { m_meter = std::move(meter); }
    // Used for connections accepted from now on.
    Advertisement advertisement;

    // The peripheral ends every connection, as a meter switched off does.
    void CloseConnections();
    int ConnectionCount() const { return static_cast<int>(m_connections.size()); }
    // Writes `bytes` as they stand to every connection: a peripheral that
    // strays from the protocol (junk lines, answers nobody asked for).
    void SendRaw(const QByteArray &bytes);
    // Connections that got CONNECTED and are still open.
    int SessionCount() const;
    // Every line the central sent, line end removed, in order.
    const QList<QByteArray> &ReceivedLines() const { return m_lines; }

signals:
    void FrameReceived(const QByteArray &frame);
    void LineReceived(const QByteArray &line);
    void SessionStarted();   // CONNECTED was sent
    void ConnectionClosed(); // by either side

private:
    struct Connection;
    void Accept();
    void Advertise(Connection &connection);
    void ReadLines(QTcpSocket *socket);
    void Handle(Connection &connection, const QByteArray &text);
    void HandleConnect(Connection &connection);
    void HandleSubscribe(Connection &connection, const QList<QByteArray> &args);
    void HandleWrite(Connection &connection, const QList<QByteArray> &args);
    // Feeds bytes to the meter; returns its replies and reports new frames.
    QList<MeterLogic::Reply> Feed(QByteArrayView bytes);
    void SendReply(Connection &connection, const MeterLogic::Reply &reply);
    // Everything goes out through these, in the order given.
    void Send(Connection &connection, const QByteArray &lines);
    void Pump(Connection &connection);
    void ScheduleReplies(Connection &connection, const QList<MeterLogic::Reply> &replies,
                         bool immediateOnes);
    void SendDueReplies(QTcpSocket *socket);
    void ArmReplyTimer(Connection &connection);
    bool HasCharacteristic(const QUuid &uuid) const;
    Connection *Find(QTcpSocket *socket) const;
    void Drop(QTcpSocket *socket);

    QTcpServer m_server; // a child, so it moves along to the meter's thread
    std::unique_ptr<MeterLogic> m_meter = std::make_unique<MeterLogic>();
    std::vector<std::unique_ptr<Connection>> m_connections;
    QList<QByteArray> m_lines;
    QElapsedTimer m_clock; // when delayed replies are due
};

} // namespace sim
