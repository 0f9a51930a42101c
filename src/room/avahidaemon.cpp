#include "avahidaemon.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

namespace TAVIXLibCtl {

namespace {

// The daemon answers at once or not at all; a call never waits longer.
constexpr int kCallTimeoutMs = 5000;
constexpr int kServerRunning = 2;

} // namespace

AvahiDaemon::AvahiDaemon(QObject *parent)
    : QObject(parent), m_bus(QDBusConnection::systemBus())
{
    // TXT records travel as aay.
    static const bool registered = (qDBusRegisterMetaType<QList<QByteArray>>(), true);
    Q_UNUSED(registered);
}

void AvahiDaemon::start()
{
    if (m_started)
        return;
    m_started = true;
    if (!m_bus.isConnected()) {
        // Told from the event loop, as every other answer is.
        QMetaObject::invokeMethod(this, [this] { emit unreachable(QStringLiteral("no system bus")); },
                                  Qt::QueuedConnection);
        return;
    }
    auto *watcher = new QDBusServiceWatcher(Service, m_bus,
                                            QDBusServiceWatcher::WatchForRegistration
                                                | QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &AvahiDaemon::askState);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { setRunning(false); });
    listen(Server);
    askState();
}

void AvahiDaemon::listen(const QString &interface)
{
    m_bus.connect(Service, QString(), interface, QString(), this, SLOT(relay(QDBusMessage)));
}

void AvahiDaemon::call(const QString &path, const QString &interface, const QString &method,
                       const QVariantList &args, Reply onReply)
{
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

QString AvahiDaemon::objectPath(const QDBusMessage &reply)
{
    return reply.arguments().value(0).value<QDBusObjectPath>().path();
}

void AvahiDaemon::relay(const QDBusMessage &message)
{
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
            emit unreachable(reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
                                     || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")
                                 ? QStringLiteral("no Avahi daemon on the system bus")
                                 : reply.errorMessage());
            return;
        }
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
