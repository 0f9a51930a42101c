#pragma once

#include "membertable.h"
#include "passphrase.h"
#include "roomaddress.h"
#include "roomtypes.h"
#include "wirecodec.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <deque>

namespace TAVIXLibCtl {

class RoomAnnouncer;
class RoomGuest;
class RoomHost;

// A member's side of a chat room, without any widget: hosts or joins a room
// and raises the room's changes.
//
// Signals. dataChanged() and disconnected() come only from the event loop,
// never from inside a call of this class, one at a time, in the order the
// host decided. stateChanged() comes at once, inside the call, so that
// state() is true when the call returns.
//
// Values. While an arrival or a departure is raised, the member is there to
// be read; a changed value is stored after its event, so a handler reads the
// old one. What a newcomer learns of those already there raises nothing.
//
// Handlers may call back, close the room, open another, spin a nested event
// loop, or delete the room. What comes up meanwhile waits its turn, and
// nothing of a room left or deleted is raised after.
class Room : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Hosting, Connecting, Joined };
    Q_ENUM(State)

    // Why setData() did not store a value.
    enum class SetResult { Stored, TooLong, OverLimits };

    static constexpr int kMaxSize = Wire::kMaxRoomSize;

    explicit Room(QObject *parent = nullptr);
    ~Room() override;

    // Where to join: an address or host name, with ":port" or "[IPv6]:port"
    // to join another port than port() (see RoomAddress::parse).
    QString serverAddress() const { return m_address; }
    void setServerAddress(const QString &address) { m_address = address; }
    int port() const { return m_port; }
    // False, changing nothing, for a port outside 0-65535.
    bool setPort(int port);
    // The room's size while in a room, the size to host with otherwise.
    int maxMembers() const;
    // False, changing nothing, for a size outside 1-kMaxSize.
    bool setMaxMembers(int size);
    void setTimeouts(const Timeouts &timeouts) { m_timeouts = timeouts; }
    Timeouts timeouts() const { return m_timeouts; }
    // Whether a room hosted from now on announces itself on the local
    // network (off unless asked for).
    void setAnnounced(bool announced) { m_announced = announced; }
    bool announced() const { return m_announced; }

    void openServer();
    // False, opening nothing, when the port is 0 and the address names none.
    // An address that names a port that is not one ends the room as
    // HostNotFound.
    bool openClient();
    // The address and port the last join went to, as serverAddress() and
    // port() named them: what the host's key is kept under.
    QString joinAddress() const { return m_joined.host; }
    quint16 joinPort() const { return m_joined.port; }
    void closeConnection();

    QString memberData(int slot, const QString &key) const;
    // Presence belongs to the room: setting it is quietly ignored.
    SetResult setData(const QString &key, const QString &value);
    QString data(const QString &key) const;

    State state() const { return m_state; }
    // Why the last room ended; None until one has.
    EndReason endReason() const { return m_endReason; }
    // More about it where there is more to say, such as the file that kept
    // a host from starting.
    QString endDetail() const { return m_endDetail; }
    // SHA-256 of the host's certificate: our own while hosting, the host's
    // once it has shown it. Kept after a room ends, until the next one opens.
    QByteArray hostFingerprint() const { return m_hostFingerprint; }
    // After HostKeyChanged: the key kept for the address, which the host no
    // longer shows.
    QByteArray rememberedFingerprint() const { return m_rememberedFingerprint; }
    // The next join to serverAddress() at port() accepts `fingerprint` in
    // place of the key kept for it, and keeps it instead.
    void trustHostKey(const QByteArray &fingerprint);
    // Joins while serverAddress() is exactly `address` refuse a host whose
    // key does not start with `keyPrefix` (hex), the key a room announced
    // along with that address; the first join to another address, or an
    // empty `address`, drops it.
    void expectHostKey(const QString &address, const QString &keyPrefix);
    // The next openServer() hosts a room with this passphrase as its door;
    // an empty one, or none, hosts an open room.
    void setDoor(const Passphrase &passphrase) { m_nextDoor = passphrase; }
    // Whether the room hosted now has a door.
    bool hasDoor() const;
    // The next openClient() offers this passphrase at a door. Without one,
    // the one last accepted at the same address and port is offered: an
    // accepted passphrase is kept in memory for as long as the room object
    // lives, never anywhere else.
    void offerPassphrase(const Passphrase &passphrase) { m_offered = passphrase; }
    // The key prefix the last join was bound to, or empty.
    QString announcedKey() const { return m_announcedKey; }
    // Why the host's key could not be kept this room; empty when it was, or
    // there was nothing to keep.
    QString keyNotKept() const { return m_keyNotKept; }
    int memberCount() const { return m_table.presentCount(); }
    int ownSlot() const { return m_ownSlot; }
    // The port a host listens on, which may differ from port() when that is 0.
    quint16 boundPort() const { return m_boundPort; }
    // Bytes queued toward the host, for callers that pace themselves.
    qint64 pendingOutput() const;
    // Connections a host holds that have not finished their handshake: only
    // tests ask, to watch the cap that keeps a flood of them from members.
    int pendingJoins() const;

signals:
    void dataChanged(int slot, const QString &key, const QString &value);
    void disconnected();
    void stateChanged();
    // Bytes queued toward the host went out; pendingOutput() says how many are left.
    void outputWritten();
    // The room hosted is not announced, and why; it goes on all the same.
    // Each reason is given once, however often the room is hosted.
    void notAnnounced(const QString &why);

private:
    // A change to raise, or the end of a room when `end` is set.
    struct Change
    {
        RoomEvent event{};
        EndReason end = EndReason::None;
        QString detail{};
        bool resetsRoom = true; // an end of the current room, not of one since replaced
    };

    void beginRoom(State state);
    void becomeIdle();
    void failToOpen(EndReason reason, const QString &detail = {});
    void endRoom(EndReason reason, const QString &detail = {});
    void dropUnraised();
    void queue(Change change);
    // Raises `first`, when given, then whatever is queued.
    void raiseQueued(const Change *first = nullptr);
    // False when a handler deleted this room.
    bool raise(const Change &change, const QPointer<Room> &self);
    void teardown();
    void announce();

    QString m_address = QStringLiteral("localhost");
    int m_port;
    int m_requestedSize;
    int m_roomSize;
    Timeouts m_timeouts;

    MemberValues m_local;
    MemberTable m_table;
    int m_ownSlot = -1;

    State m_state = State::Idle;
    EndReason m_endReason = EndReason::None;
    QString m_endDetail;
    QByteArray m_hostFingerprint;
    QByteArray m_rememberedFingerprint;
    QString m_keyNotKept;
    struct TrustedKey
    {
        RoomAddress::Target at;
        QByteArray fingerprint;
    } m_trusted;
    RoomAddress::Target m_joined;
    Passphrase m_nextDoor;
    Passphrase m_offered;
    QHash<QString, Passphrase> m_accepted; // by "host port"
    Passphrase m_offering; // what the current join offers
    struct ExpectedKey
    {
        QString address;
        QString keyPrefix;
    } m_expected;
    QString m_announcedKey;
    bool m_open = false; // a room is open and its end not yet queued
    quint64 m_roomSerial = 0; // counts rooms opened and left, to tell them apart
    quint16 m_boundPort = 0;

    RoomHost *m_host = nullptr;
    RoomGuest *m_guest = nullptr;
    RoomAnnouncer *m_announcer = nullptr;
    bool m_announced = false;
    QString m_notAnnouncedWhy; // the reason given last

    std::deque<Change> m_queue;
    QTimer m_raiseSoon;
    bool m_inCall = false;  // inside one of our own methods: never raise there
    bool m_raising = false; // a handler is running
};

} // namespace TAVIXLibCtl
