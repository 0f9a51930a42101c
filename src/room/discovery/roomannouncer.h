#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class QDBusMessage;

namespace TAVIXLibCtl {

class AvahiDaemon;

// What a hosted room tells the local network about itself.
struct Announcement
{
    QString hostName; // the host's display name
    quint16 port = 0;
    int members = 0;
    int size = 0;
    QByteArray fingerprint; // SHA-256 of the host's certificate
    bool door = false;      // a passphrase is needed to join

    bool operator==(const Announcement &) const = default;
};

// Publishes a hosted room as a DNS-SD service of type _tavix._tcp through the
// Avahi daemon, so that browsers on the local network find it. A name that
// another service holds gives way to the daemon's alternative; a daemon that
// comes back gets the announcement again. Whatever fails, the room goes on
// unannounced meanwhile and is announced again later, less and less often.
// Destroying the announcer withdraws it.
class RoomAnnouncer : public QObject
{
    Q_OBJECT

public:
    explicit RoomAnnouncer(QObject *parent = nullptr);
    ~RoomAnnouncer() override;

    // Publishes `room`, or brings what is published up to date.
    void announce(const Announcement &room);

    // "<display name> (<machine>)", cut to fit the 63 bytes DNS-SD allows.
    static QString instanceName(const QString &hostName, const QString &machine);
    static QList<QByteArray> txtRecords(const Announcement &room);

signals:
    // Why the room is not announced: at most once per announcer.
    void unavailable(const QString &why);

private:
    void sync();
    void addService();
    void takeAlternativeName();
    void handleSignal(const QDBusMessage &message);
    void forgetGroup();
    void fail(const QString &why);
    // Runs `step` for a reply only while nothing has been started over since.
    template <typename Step>
    std::function<void(const QDBusMessage &)> inThisEpoch(Step step);

    AvahiDaemon *m_daemon;
    std::optional<Announcement> m_wanted;
    std::optional<Announcement> m_published;
    QString m_group;      // the entry group's object path, once made
    QString m_ownName;    // the instance name the room asks for
    QString m_name;       // the one it gets: its own, or the daemon's alternative
    QString m_publishedName;
    int m_clashes = 0;
    int m_failures = 0;   // since it was last published as wanted
    QTimer m_retry;
    bool m_busy = false;  // a step is waiting for the daemon
    bool m_clashed = false;
    bool m_reported = false;
};

} // namespace TAVIXLibCtl
