#include "avahidaemon.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QLocalSocket>
#include <QTimer>

namespace TAVIXLibCtl {

namespace {

// The daemon answers at once or not at all; a call never waits longer.
constexpr int kCallTimeoutMs = 5000;
// A bus answers the first line of a connection at once; one silent this
// long is hung.
constexpr int kProbeMs = 1000;
// How often a bus not reached is asked again.
constexpr int kReprobeMs = 30000;
// How soon a daemon that did not say how it is is asked again: its coming
// and going is watched, but not its waking up.
constexpr int kReaskMs = 1000;
constexpr int kServerRunning = 2;
const QString kNoBus = QStringLiteral("no system bus");

// Where the first unix socket of a D-Bus address list is, or nothing.
struct BusSocket
{
    QString name;
    bool abstract = false;
};

BusSocket firstSocket(const QString &addresses)
{
    for (const QString &address : addresses.split(u';', Qt::SkipEmptyParts)) {
        if (!address.startsWith(QLatin1String("unix:")))
            continue;
        for (const QString &pair : address.mid(5).split(u',')) {
            const QString key = pair.section(u'=', 0, 0);
            const QString value =
                QString::fromLocal8Bit(QByteArray::fromPercentEncoding(pair.section(u'=', 1).toLatin1()));
            if (key == QLatin1String("path") || key == QLatin1String("abstract"))
                return {value, key == QLatin1String("abstract")};
        }
    }
    return {};
}

} // namespace

AvahiDaemon::AvahiDaemon(QObject *parent) : QObject(parent)
{
    // TXT records travel as aay.
    static const bool registered = (qDBusRegisterMetaType<QList<QByteArray>>(), true);
    Q_UNUSED(registered);
    m_probeDeadline.setSingleShot(true);
    connect(&m_probeDeadline, &QTimer::timeout, this, [this] {
        endProbe();
        notReached(QStringLiteral("the system bus does not answer"));
    });
}

AvahiDaemon::~AvahiDaemon()
{
    endProbe();
    // Calls still waiting go before the connection they wait on.
    qDeleteAll(findChildren<QDBusPendingCallWatcher *>(Qt::FindDirectChildrenOnly));
    if (!m_connection.isEmpty())
        QDBusConnection::disconnectFromBus(m_connection);
}

void AvahiDaemon::start()
{
    if (m_started)
        return;
    m_started = true;
    m_address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS",
                                     QStringLiteral("unix:path=/var/run/dbus/system_bus_socket"));
    // Told from the event loop, as every other answer is.
    QTimer::singleShot(0, this, &AvahiDaemon::probe);
}

// Knocks at the bus's socket and waits for its first line, which a bus that
// libdbus would wait on forever never sends.
void AvahiDaemon::probe()
{
    const BusSocket socket = firstSocket(m_address);
    if (socket.name.isEmpty()) {
        connectBus(); // nothing to knock at: as libdbus takes it
        return;
    }
    m_probe = new QLocalSocket(this);
    if (socket.abstract)
        m_probe->setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    connect(m_probe, &QLocalSocket::connected, m_probe,
            [probe = m_probe] { probe->write(QByteArrayLiteral("\0AUTH\r\n")); });
    connect(m_probe, &QLocalSocket::readyRead, this, [this] {
        if (!m_probe->canReadLine())
            return;
        endProbe();
        connectBus();
    });
    connect(m_probe, &QLocalSocket::errorOccurred, this, [this] {
        endProbe();
        notReached(kNoBus);
    });
    m_probeDeadline.start(kProbeMs);
    m_probe->connectToServer(socket.name);
}

void AvahiDaemon::endProbe()
{
    m_probeDeadline.stop();
    if (!m_probe)
        return;
    m_probe->disconnect(this);
    m_probe->abort();
    m_probe->deleteLater();
    m_probe = nullptr;
}

// A bus that has just answered takes a connection at once; only one that
// hangs in the very moment between would hold it up. Every signal is watched
// from any sender and judged by relay(): a well-known name would have Qt ask
// the bus for its owner, and wait.
void AvahiDaemon::connectBus()
{
    m_connection = QStringLiteral("tavix avahi %1 %2").arg(quintptr(this), 0, 16).arg(++m_attempts);
    m_bus = QDBusConnection::connectToBus(m_address, m_connection);
    if (!m_bus.isConnected()) {
        const QString why = m_bus.lastError().message();
        QDBusConnection::disconnectFromBus(m_connection);
        m_bus = QDBusConnection(QString());
        m_connection.clear();
        notReached(why.isEmpty() ? kNoBus : why);
        return;
    }
    auto *watcher = new QDBusServiceWatcher(Service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &owner) {
                // Whatever the old owner made for us is gone with it.
                m_owner.clear();
                setRunning(false);
                if (!owner.isEmpty())
                    askState();
            });
    subscribe(Server);
    for (const QString &interface : std::as_const(m_interfaces))
        subscribe(interface);
    askState();
}

void AvahiDaemon::subscribe(const QString &interface)
{
    m_bus.connect(QString(), QString(), interface, QString(), this, SLOT(relay(QDBusMessage)));
}

void AvahiDaemon::notReached(const QString &why)
{
    if (!std::exchange(m_unreachable, true))
        emit unreachable(why);
    if (!m_bus.isConnected())
        QTimer::singleShot(kReprobeMs, this, &AvahiDaemon::probe);
}

void AvahiDaemon::listen(const QString &interface)
{
    if (m_interfaces.contains(interface))
        return;
    m_interfaces << interface;
    if (m_bus.isConnected())
        subscribe(interface);
}

void AvahiDaemon::call(const QString &path, const QString &interface, const QString &method,
                       const QVariantList &args, Reply onReply)
{
    if (!m_bus.isConnected()) {
        if (onReply) {
            QMetaObject::invokeMethod(
                    this, [onReply] { onReply(QDBusMessage::createError(QDBusError::Disconnected, kNoBus)); },
                    Qt::QueuedConnection);
        }
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(Service, path, interface, method);
    message.setArguments(args);
    // A daemon that is not running is not started for us.
    message.setAutoStartService(false);
    if (!onReply) {
        m_bus.send(message);
        return;
    }
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [watcher, onReply = std::move(onReply)] {
                watcher->deleteLater();
                onReply(watcher->reply());
            });
}

AvahiDaemon::Reply AvahiDaemon::unlessForgotten(const QString &interface, Reply onReply)
{
    return [this, interface, epoch = m_epoch, onReply = std::move(onReply)](const QDBusMessage &reply) {
        if (epoch == m_epoch) {
            onReply(reply);
            return;
        }
        giveBack(objectPath(reply), interface);
    };
}

void AvahiDaemon::giveBack(const QString &path, const QString &interface)
{
    if (!path.isEmpty())
        call(path, interface, QStringLiteral("Free"));
}

QString AvahiDaemon::objectPath(const QDBusMessage &reply)
{
    return reply.arguments().value(0).value<QDBusObjectPath>().path();
}

void AvahiDaemon::relay(const QDBusMessage &message)
{
    // Anyone on the bus may send a signal that names Avahi's interfaces.
    if (m_owner.isEmpty() || message.service() != m_owner)
        return;
    if (message.interface() == Server && message.member() == QLatin1String("StateChanged")) {
        const QVariantList args = message.arguments();
        setRunning(!args.isEmpty() && args.first().toInt() == kServerRunning);
        return;
    }
    emit signalled(message);
}

void AvahiDaemon::askState()
{
    call(QStringLiteral("/"), Server, QStringLiteral("GetState"), {}, [this](const QDBusMessage &reply) {
        if (reply.type() == QDBusMessage::ErrorMessage) {
            setRunning(false);
            const bool absent = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
                                || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
            notReached(absent ? QStringLiteral("no Avahi daemon on the system bus") : reply.errorMessage());
            if (!absent)
                QTimer::singleShot(kReaskMs, this, &AvahiDaemon::askState);
            return;
        }
        m_owner = reply.service();
        m_unreachable = false;
        const QVariantList args = reply.arguments();
        setRunning(!args.isEmpty() && args.first().toInt() == kServerRunning);
    });
}

void AvahiDaemon::setRunning(bool running)
{
    if (running == m_running)
        return;
    m_running = running;
    if (running)
        emit this->running();
    else
        emit stopped();
}

} // namespace TAVIXLibCtl
