#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantList>

#include <functional>

class QDBusMessage;

namespace TAVIXLibCtl {

// The system's mDNS responder, the Avahi daemon, through its D-Bus interface
// on the system bus. Every call is asynchronous: without a bus or a daemon,
// announcing and browsing cost one failed connection, never a wait on the
// event loop.
class AvahiDaemon : public QObject
{
    Q_OBJECT

public:
    static inline const QString Service = QStringLiteral("org.freedesktop.Avahi");
    static inline const QString Server = QStringLiteral("org.freedesktop.Avahi.Server");
    static inline const QString Server2 = QStringLiteral("org.freedesktop.Avahi.Server2");
    static inline const QString EntryGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
    static inline const QString ServiceBrowser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
    static inline const QString ServiceResolver = QStringLiteral("org.freedesktop.Avahi.ServiceResolver");
    static inline const QString ServiceType = QStringLiteral("_tavix._tcp");
    static constexpr int AnyInterface = -1;
    enum Protocol { AnyProtocol = -1, IPv4 = 0, IPv6 = 1 };

    using Reply = std::function<void(const QDBusMessage &reply)>;

    explicit AvahiDaemon(QObject *parent = nullptr);

    // Looks for the daemon, and keeps watching it come and go.
    void start();
    bool isRunning() const { return m_running; }
    // From now on every signal of `interface` arrives through signalled().
    void listen(const QString &interface);
    // Calls `method`; `onReply` gets the reply or the error from the event
    // loop, and not at all once this object is gone.
    void call(const QString &path, const QString &interface, const QString &method,
              const QVariantList &args = {}, Reply onReply = {});
    // The object a reply names first, or empty.
    static QString objectPath(const QDBusMessage &reply);

signals:
    // The daemon is there and ready: at start, or back again.
    void running();
    // It went away, or stopped serving while it renames itself: what it made
    // for us is gone or is to be given back.
    void stopped();
    void unreachable(const QString &why);
    void signalled(const QDBusMessage &message);

private slots:
    // QtDBus hands out bus signals to slots named as strings only.
    void relay(const QDBusMessage &message);

private:
    void askState();
    void setRunning(bool running);

    QDBusConnection m_bus;
    bool m_started = false;
    bool m_running = false;
};

} // namespace TAVIXLibCtl
