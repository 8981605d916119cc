#include "link/qtbluez.h"

#include <QLoggingCategory>
#include <QRegularExpression>

#include <mutex>

#if defined(Q_OS_LINUX) && defined(TARVOLIN_HAVE_QTDBUS)
#define TARVOLIN_ASK_BLUEZ 1
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#endif

Q_LOGGING_CATEGORY(lcBluez, "tarvolin.ble", QtWarningMsg)

namespace devlink::bluez {

namespace {

constexpr char ForceVersionVariable[] = "BLUETOOTH_FORCE_DBUS_LE_VERSION";
// Bluetooth names are at most 248 bytes; anything longer is not a name.
constexpr int MaxNameLength = 248;

#ifdef TARVOLIN_ASK_BLUEZ
const QString Service = QStringLiteral("org.bluez");
const QString DeviceInterface = QStringLiteral("org.bluez.Device1");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString ObjectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
// bluetoothd answers at once; a daemon that hangs must not hold up the start.
constexpr int ProbeTimeoutMs = 1500;
// Enough for every object a busy bluetoothd lists; the rest is not read.
constexpr int MaxObjects = 4096;

// The reply of GetManagedObjects holds at least one BlueZ interface (a real
// bluetoothd always has org.bluez.AgentManager1 on /org/bluez).
bool HasBluezInterface(const QDBusArgument &objects)
{
    int seen = 0;
    objects.beginMap();
    while (!objects.atEnd() && seen++ < MaxObjects) {
        objects.beginMapEntry();
        QDBusObjectPath path;
        objects >> path;
        objects.beginMap();
        while (!objects.atEnd()) {
            QString interface;
            QVariantMap properties;
            objects.beginMapEntry();
            objects >> interface >> properties;
            objects.endMapEntry();
            if (interface.startsWith(QLatin1String("org.bluez.")))
                return true; // the argument is our copy: leaving it half read is fine
        }
        objects.endMap();
        objects.endMapEntry();
    }
    return false;
}

bool BluezAnswers()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qCInfo(lcBluez) << "no system bus";
        return false;
    }
    QDBusConnectionInterface *daemon = bus.interface();
    if (!daemon || !daemon->isServiceRegistered(Service).value()) {
        qCInfo(lcBluez) << "nobody owns org.bluez on the system bus";
        return false;
    }
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(Service, QStringLiteral("/"), ObjectManagerInterface,
                                       QStringLiteral("GetManagedObjects")),
        QDBus::Block, ProbeTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("a{oa{sa{sv}}}") ||
        reply.arguments().isEmpty()) {
        qCInfo(lcBluez) << "org.bluez gave no object list:" << reply.errorMessage();
        return false;
    }
    return HasBluezInterface(reply.arguments().constFirst().value<QDBusArgument>());
}

// Receives the D-Bus signal; QDBusConnection::connect wants a slot.
class Listener : public QObject {
    Q_OBJECT
public:
    explicit Listener(NameWatch *watch) : QObject(watch), m_watch(watch) {}

public slots:
    void onPropertiesChanged(const QDBusMessage &message)
    {
        const QList<QVariant> arguments = message.arguments();
        if (arguments.size() >= 2 && arguments[0].toString() == DeviceInterface)
            m_watch->Changed(message.path(), qdbus_cast<QVariantMap>(arguments[1]));
    }

private:
    NameWatch *const m_watch;
};

bool ConnectListener(QObject *listener, bool on)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    // Any device object of org.bluez: the path is left open.
    const QStringList match{DeviceInterface};
    return on ? bus.connect(Service, QString(), PropertiesInterface, QStringLiteral("PropertiesChanged"),
                            match, QString(), listener, SLOT(onPropertiesChanged(QDBusMessage)))
              : bus.disconnect(Service, QString(), PropertiesInterface, QStringLiteral("PropertiesChanged"),
                               match, QString(), listener, SLOT(onPropertiesChanged(QDBusMessage)));
}
#endif

} // namespace

void SelectDBusBackend()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (!qEnvironmentVariableIsEmpty(ForceVersionVariable)) {
            qCInfo(lcBluez).noquote() << ForceVersionVariable << "set by the user:"
                                      << qEnvironmentVariable(ForceVersionVariable);
            return;
        }
#ifdef TARVOLIN_ASK_BLUEZ
        if (!BluezAnswers())
            return; // Qt finds no BlueZ either and says so as before
        qputenv(ForceVersionVariable, DBusBackendVersion);
        qCInfo(lcBluez) << "BlueZ 5 answers on the system bus; Qt's D-Bus backend selected with"
                        << ForceVersionVariable << "=" << DBusBackendVersion;
#endif
    });
}

QString AddressOfDevicePath(const QString &path)
{
    static const QRegularExpression device(
        QStringLiteral("/dev_([0-9A-Fa-f]{2}(?:_[0-9A-Fa-f]{2}){5})$"));
    const QRegularExpressionMatch m = device.match(path);
    return m.hasMatch() ? m.captured(1).replace(QLatin1Char('_'), QLatin1Char(':')).toUpper() : QString();
}

NameWatch::NameWatch(QObject *parent) : QObject(parent) {}

NameWatch::~NameWatch()
{
    Stop();
}

void NameWatch::Start()
{
#ifdef TARVOLIN_ASK_BLUEZ
    if (m_listener)
        return;
    m_listener = new Listener(this);
    if (!ConnectListener(m_listener, true)) {
        delete m_listener;
        m_listener = nullptr;
    }
#endif
}

void NameWatch::Stop()
{
#ifdef TARVOLIN_ASK_BLUEZ
    if (!m_listener)
        return;
    ConnectListener(m_listener, false);
    delete m_listener;
    m_listener = nullptr;
#endif
}

void NameWatch::Changed(const QString &path, const QVariantMap &properties)
{
    const QVariant value = properties.value(QStringLiteral("Name"));
    const QString address = AddressOfDevicePath(path);
    if (address.isEmpty() || value.typeId() != QMetaType::QString)
        return;
    const QString name = value.toString();
    if (name.isEmpty() || name.size() > MaxNameLength || m_names.value(address) == name)
        return;
    if (!m_names.contains(address) && m_names.size() >= MaxNames)
        return;
    m_names.insert(address, name);
    emit nameChanged(address, name);
}

} // namespace devlink::bluez

#include "qtbluez.moc"
