#pragma once

#include "membertable.h"
#include "roomtypes.h"
#include "wirecodec.h"

#include <QObject>
#include <QPointer>

#include <deque>

namespace TAVIXLibCtl {

class RoomGuest;
class RoomHost;

// A member's side of a chat room, without any widget: hosts or joins a room
// and raises the room's changes, one at a time, from the event loop.
//
// Events are never raised from inside a call of this class: a change that
// comes from the network is raised as it is read, one made by a call waits
// for the event loop. Either way they come one at a time in the host's order,
// and a value is stored only after its event, so a handler still reads the
// old value.
class Room : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Hosting, Connecting, Joined };
    Q_ENUM(State)

    static constexpr int kMaxSize = Wire::kMaxRoomSize;

    explicit Room(QObject *parent = nullptr);
    ~Room() override;

    QString serverAddress() const { return m_address; }
    void setServerAddress(const QString &address) { m_address = address; }
    int port() const { return m_port; }
    void setPort(int port);
    // The room's size while in a room, the size to host with otherwise.
    int maxMembers() const;
    void setMaxMembers(int size);
    void setTimeouts(const Timeouts &timeouts) { m_timeouts = timeouts; }
    Timeouts timeouts() const { return m_timeouts; }

    void openServer();
    void openClient();
    void closeConnection();

    QString memberData(int index, const QString &key) const;
    void setData(const QString &key, const QString &value);
    QString data(const QString &key) const;

    State state() const { return m_state; }
    // Why the last session ended; None until one has.
    EndReason endReason() const { return m_endReason; }
    int memberCount() const { return m_table.presentCount(); }
    int ownSlot() const { return m_ownSlot; }
    // The port a host listens on, which may differ from port() when that is 0.
    quint16 boundPort() const { return m_boundPort; }
    // Bytes queued toward the host, for callers that pace themselves.
    qint64 pendingOutput() const;
    int pendingJoins() const;

signals:
    void dataChanged(int index, int second, const QString &key, const QString &value);
    void disconnected();
    void stateChanged();

private:
    // A change to raise, or the end of a session when `ends` is set.
    struct Op
    {
        quint64 session;
        RoomEvent event;
        bool ends = false;
        EndReason reason = EndReason::None;
    };

    quint64 beginSession(State state);
    void endSession(EndReason reason);
    void queue(Op op);
    void deliver();
    void apply(const Op &op);
    void teardown();

    struct CallGuard
    {
        explicit CallGuard(Room *room) : m_room(room) { ++m_room->m_callDepth; }
        ~CallGuard() { --m_room->m_callDepth; }
        Room *m_room;
    };

    QString m_address = QStringLiteral("localhost");
    int m_port = 5120;
    int m_requestedSize = 5;
    int m_roomSize = 5;
    Timeouts m_timeouts;

    MemberValues m_local;
    MemberTable m_table{5};
    int m_ownSlot = -1;

    State m_state = State::Idle;
    EndReason m_endReason = EndReason::None;
    quint64 m_session = 0;
    bool m_active = false; // a session is open and its end not yet queued
    quint16 m_boundPort = 0;

    RoomHost *m_host = nullptr;
    RoomGuest *m_guest = nullptr;

    std::deque<Op> m_queue;
    bool m_deliveryScheduled = false;
    bool m_delivering = false;
    int m_callDepth = 0; // inside one of our own methods: never raise there
};

// The reason in plain words, as a member reads it.
QString reasonText(EndReason reason);

} // namespace TAVIXLibCtl
