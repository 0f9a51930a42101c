#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantList>

#include <functional>

class QDBusMessage;
class QLocalSocket;

namespace TAVIXLibCtl {

// The system's mDNS responder, the Avahi daemon, through its D-Bus interface
// on the system bus. Nothing here waits on the event loop: the bus is first
// asked, over a socket of our own, whether it answers at all, and only a bus
// that does is connected to; every call after that is asynchronous, and no
// signal is watched by a well-known name, which would have Qt ask the bus
// for its owner and wait. Without a bus or a daemon, announcing and browsing
// cost one failed attempt, said once; a bus that does not answer is asked
// again now and then.
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
    // Closes this object's own connection, which gives back to the daemon
    // all it made for us, without waiting for anything.
    ~AvahiDaemon() override;

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

    // Frees the daemon's object at `path`, if any, made as an `interface`.
    void giveBack(const QString &path, const QString &interface);
    // What the daemon made for us so far is gone, or is being given back:
    // replies to calls made before now no longer count.
    void forgetAll() { ++m_epoch; }
    // `onReply`, for a call whose reply makes an object of `interface`, runs
    // only when nothing was forgotten since the call; a later reply has the
    // object it made given back instead of kept by no one.
    Reply unlessForgotten(const QString &interface, Reply onReply);

signals:
    // The daemon is there and ready: at start, or back again.
    void running();
    // It went away, or stopped serving while it renames itself: what it made
    // for us is gone or is to be given back.
    void stopped();
    // Once until the bus and the daemon are reached again.
    void unreachable(const QString &why);
    void signalled(const QDBusMessage &message);

private slots:
    // QtDBus hands out bus signals to slots named as strings only.
    void relay(const QDBusMessage &message);

private:
    void probe();
    void endProbe();
    void connectBus();
    void subscribe(const QString &interface);
    void notReached(const QString &why);
    void askState();
    void setRunning(bool running);

    QString m_address;             // the system bus's, as libdbus would take it
    QDBusConnection m_bus{QString()};
    QString m_connection;          // the name Qt keeps m_bus under, once made
    QLocalSocket *m_probe = nullptr;
    QTimer m_probeDeadline;
    QStringList m_interfaces;      // listened to
    QString m_owner;               // the daemon's unique name: only it speaks for it
    quint64 m_epoch = 0;
    int m_attempts = 0;
    bool m_started = false;
    bool m_running = false;
    bool m_unreachable = false;    // said so, and not reached since
};

} // namespace TAVIXLibCtl
