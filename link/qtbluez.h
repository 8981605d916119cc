#pragma once
// What the Qt backend asks BlueZ itself, over the system D-Bus, where Qt
// Bluetooth 6.4 falls short on Linux. Elsewhere (and in a build without Qt
// D-Bus) every function here does nothing and the watch reports nothing.

#include <QHash>
#include <QObject>
#include <QString>

namespace devlink::bluez {

// Qt picks its BlueZ D-Bus backend only if it can learn bluetoothd's version
// by running the daemon's executable. Where that fails it falls back to a
// raw-HCI backend that cannot connect without privileges. So: if the user
// has not set BLUETOOTH_FORCE_DBUS_LE_VERSION and org.bluez answers with the
// BlueZ 5 object manager, set it before Qt looks. Runs once per process;
// call it before the first Qt Bluetooth object is made.
void SelectDBusBackend();

// The value SelectDBusBackend sets: the first BlueZ with the GATT D-Bus API.
inline constexpr char DBusBackendVersion[] = "5.42";

// The address in a BlueZ device object path (".../hci0/dev_00_1B_7A_00_00_05"
// gives "00:1B:7A:00:00:05"); empty for any other path.
QString AddressOfDevicePath(const QString &path);

// Device names that BlueZ learns during a scan. Qt 6.4 keeps the name of a
// device's first sighting, so a name that comes with a later scan response
// (a `Name` property change) would otherwise be missed until the next scan.
class NameWatch : public QObject {
    Q_OBJECT
public:
    // More than this many devices in range are not remembered.
    static constexpr int MaxNames = 256;

    explicit NameWatch(QObject *parent = nullptr);
    ~NameWatch() override;

    void Start(); // listens until Stop(); names seen before stay known
    void Stop();
    // The name BlueZ gave the device with this address ("AA:BB:..."), if any.
    QString NameOf(const QString &address) const { return m_names.value(address.toUpper()); }

    // Takes the changed properties of a device object; public for the
    // D-Bus listener only.
    void Changed(const QString &path, const QVariantMap &properties);

signals:
    void nameChanged(const QString &address, const QString &name);

private:
    QObject *m_listener = nullptr; // receives the D-Bus signal while listening
    QHash<QString, QString> m_names; // address -> name
};

} // namespace devlink::bluez
