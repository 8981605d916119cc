#pragma once
// Which meters are in reach: the list behind the window's "Choose meter"
// dialog, and the report of the tool's scan. A MeterScan scans with a
// component of its own and never connects, so the link-up that follows uses
// its own component untouched (only the radio's scan is shared, and this
// one has stopped by then).

#include "link/bluetoothle.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace devlink {

// One device a scan reported.
struct SeenDevice {
    QString name;
    QString address; // as TBluetoothLEDevice::Address gives it
    int rssi = RssiUnknown;
    bool IsMeter() const;
};

// Takes one report into `seen`: a device reported again (a name that came
// late, a new signal strength) keeps its place and takes what is new; a
// device without an address is told apart by its name.
void NoteSeen(QList<SeenDevice> &seen, const SeenDevice &report);

// "-52 dBm", or "-" when the stack gave no signal strength.
QString SignalText(int rssi);

// The rows of the choice: the meters among `seen`, strongest first (those
// without a signal strength last, each group in the order seen), and the
// meter `pinned` to (see AddressMatches) at the end, without a signal, when
// the scan has not met it: the current choice is always there to keep.
QList<SeenDevice> MeterRows(const QList<SeenDevice> &seen, const QString &pinned);

// What the window says of the choice: "Pinned to meter ADDRESS", or that
// any meter is taken.
QString PinnedMeterText(const QString &pinned);

class MeterScan : public QObject {
    Q_OBJECT
public:
    explicit MeterScan(std::unique_ptr<TBluetoothLE> component, QObject *parent = nullptr);
    ~MeterScan() override; // the component goes off

    // Starts a scan of `ms` from an empty list. False with the reason in
    // `error` when the scan cannot start (no adapter); the component is off.
    bool Start(int ms, QString *error);
    // Ends the scan now and switches the component off; Finished follows.
    void Stop();
    bool Scanning() const { return m_scanning; }
    // Everything the scan reported, in the order first seen.
    const QList<SeenDevice> &Seen() const { return m_seen; }

signals:
    // A device was reported or reported again.
    void Changed();
    // The scan ended (its time ran out, or Stop).
    void Finished();

private:
    const std::unique_ptr<TBluetoothLE> m_component;
    QList<SeenDevice> m_seen;
    QTimer m_end;
    bool m_scanning = false;
};

} // namespace devlink
