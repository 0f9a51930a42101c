#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>

#include <map>
#include <optional>
#include <vector>

class QDBusMessage;

namespace TAVIXLibCtl {

class AvahiDaemon;

// A room that announced itself, as far as it may be shown and joined.
struct FoundRoom
{
    QString service{}; // the instance name as announced
    QString name{};    // the same, cleaned as member names are, and bounded
    QString address{};
    quint16 port = 0;
    int members = -1; // -1 with the size when the room did not say
    int size = -1;
    QString key{};     // the first 16 hex digits of the host's key, or empty
    bool door = false; // joining takes a passphrase
    // Set by the list, which compares each room with the others and with the
    // keys kept: its name reads like another's; its address, port and key
    // agree with a host joined before (a hint: only the join proves it).
    bool alike = false;
    bool joinedBefore = false;

    bool full() const { return members >= 0 && members >= size; }
    // The address and port as an address box takes them: "192.168.1.20",
    // "192.168.1.20:6000", "[fd12::5]:6000".
    QString target() const;
    // A name as a reader takes it, to find names that read alike: NFKC,
    // without format characters, blanks run together.
    static QString readsAs(const QString &name);

    // Judges what the network said of a service: nothing to show when it
    // cannot be joined (no address, port 0, another protocol). Fields that
    // are missing or absurd are left out.
    static std::optional<FoundRoom> fromService(const QString &service, const QString &address,
                                                int port, const QList<QByteArray> &txt);
};

} // namespace TAVIXLibCtl

Q_DECLARE_METATYPE(TAVIXLibCtl::FoundRoom)

namespace TAVIXLibCtl {

// The rooms on the local network, as a list model: browses for _tavix._tcp
// through the Avahi daemon while started and keeps each room's address, port,
// name and members current. One row per room, in order of name, at most
// kMaxRooms of them. A room that cannot be resolved yet is tried again, less
// and less often. Without a daemon the list stays empty.
class RoomBrowser : public QAbstractListModel
{
    Q_OBJECT

public:
    // The places go to addresses in turn, the rooms of hosts joined before
    // (whose key is kept) ahead of all: every address's first room before
    // any address's second, and so on, the longest known first. Rooms that
    // cannot be listed take none, and those left out wait for a place. A
    // flood from one machine so takes only what no other machine wants.
    static constexpr int kMaxRooms = 64;
    // Names kept at all, listed or not: what a flood of names may cost.
    static constexpr int kMaxServices = 4096;
    // Resolvers at work at once, beside those following the rooms listed.
    static constexpr int kMaxResolving = 16;
    static constexpr qsizetype kMaxName = 64;
    // Qt::DisplayRole gives the name; how an entry reads is the window's.
    // The address alone.
    static constexpr int AddressRole = Qt::UserRole;
    // FoundRoom::target(), the name alone, and the key the room announced.
    static constexpr int TargetRole = Qt::UserRole + 1;
    static constexpr int NameRole = Qt::UserRole + 2;
    static constexpr int KeyRole = Qt::UserRole + 3;
    // The whole FoundRoom.
    static constexpr int RoomRole = Qt::UserRole + 4;

    explicit RoomBrowser(QObject *parent = nullptr);
    ~RoomBrowser() override;

    void start();
    // Stops browsing and empties the list.
    void stop();
    bool isActive() const { return m_active; }

    // Takes what was resolved for `service`, its TXT records in the order
    // they travel, as a room that may be listed, or stops showing it when it
    // is nothing to show. The daemon's answers come through here.
    void offer(const QString &service, const QString &address, int port, const QList<QByteArray> &txt);
    const QList<FoundRoom> &rooms() const { return m_rooms; }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

signals:
    // No daemon could be asked, or it refused to browse.
    void unavailable(const QString &why);
    // The daemon has told all it knows for now, and every room it named has
    // been tried: the list holds what the network said.
    void settled();

private:
    // Where the daemon saw a service: an interface and a protocol.
    struct Sighting
    {
        int interface = 0;
        int protocol = 0;
        bool operator==(const Sighting &) const = default;
    };
    struct Service
    {
        QString name{};
        QString domain{};
        std::vector<Sighting> seen{};
        Sighting resolving{};
        QString resolver{};     // object path, once the daemon made it
        quint64 request = 0;    // nonzero while a resolver is asked for or at work
        quint64 arrival = 0;    // the order in which names were first seen
        qint64 deadline = 0;    // on m_clock: a resolve not done by then failed
        qint64 retryAt = 0;     // on m_clock, after a failure
        int failures = 0;       // since it last resolved
        bool answered = false;  // resolved or failed at least once
        bool listed = false;    // it has a row
        bool following = false; // its resolver keeps that row current
    };
    // A room that may be listed, and since when it is known.
    struct Candidate
    {
        FoundRoom room{};
        quint64 since = 0;
    };

    void browse();
    void readPins();
    void handleSignal(const QDBusMessage &message);
    void serviceSeen(const QVariantList &args);
    void serviceGone(const QVariantList &args);
    bool makeRoomForOne();
    // Starts what resolves are due, up to kMaxResolving, and gives up on
    // those that took too long.
    void pump();
    void resolve(Service &service);
    void resolved(const QString &path, const QVariantList &args);
    void resolveFailed(Service &service);
    void dropService(std::map<QString, Service>::iterator service);
    void freeResolver(Service &service);
    void dropCandidate(const QString &service);
    void unindex(const Candidate &candidate);
    // Brings the rows in line with the candidates and the rule above.
    void relist();
    void forget();
    void checkSettled();
    // Sets the marks of rows `first` to `last` anew, and of every row whose
    // name stops or starts reading like another's.
    void mark(int first, int last);

    AvahiDaemon *m_daemon = nullptr;
    QString m_browser; // the daemon's browser object, once made
    std::map<QString, Service> m_services;                     // by name, resolved or not
    std::map<QString, Candidate> m_candidates;                 // by service name
    std::map<QString, std::map<quint64, QString>> m_byAddress; // address, since: service
    QSet<QString> m_pinned; // addresses of hosts whose key is kept
    QList<FoundRoom> m_rooms; // the rows
    QElapsedTimer m_clock;
    QTimer m_wake;            // for the next deadline or retry
    quint64 m_requests = 0;
    quint64 m_arrivals = 0;
    quint64 m_since = 0;
    bool m_active = false;
    bool m_browsing = false; // a browser is made or asked for
    bool m_allForNow = false; // the browser said it has named every room it knows
    bool m_marking = false;
};

} // namespace TAVIXLibCtl
