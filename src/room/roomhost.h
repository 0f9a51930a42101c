#pragma once

#include "cpace.h"
#include "endofturn.h"
#include "framedlink.h"
#include "membertable.h"
#include "passphrase.h"
#include "roomdoor.h"
#include "roomtypes.h"
#include "stallrule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <utility>
#include <optional>
#include <vector>

namespace TAVIXLibCtl {

// The listening side of a room: the authority that gives out slots, relays
// every change to every member in one order, and reports that order upward.
// The hosting member holds slot 0.
class RoomHost : public QObject
{
    Q_OBJECT

public:
    // Connections that have not asked to join yet. At the cap, the one that
    // has gone longest without a step of its handshake (a whole first TLS
    // record, encryption, the preamble) makes way for the next, wherever
    // either comes from, once it has gone kStale without one; until then the
    // next waits in the kernel's queue, whose order no one can jump. A member
    // takes each step within a turn or two and sends its values and its join
    // with its preamble, so it outlasts any idle or stuck socket. Once
    // encrypted, a connection has Timeouts::join to ask to join. One dropped
    // after encryption is told why (RefuseReason::Busy).
    static constexpr int kMaxJoiners = 128;
    static constexpr std::chrono::milliseconds kStale{250};
    // A member's renames go out in a burst of this many, then one each
    // kRenameEvery. Until its next one may, the host reads nothing more from
    // it: nothing is lost or reordered, and nobody else waits.
    static constexpr int kRenameBurst = 3;
    static constexpr std::chrono::milliseconds kRenameEvery{1000};

    RoomHost(int size, const Timeouts &timeouts, QObject *parent = nullptr);
    ~RoomHost() override;

    // A room with a door lets in only members that show they know the
    // passphrase (see roomdoor.h); set before start().
    void setDoor(const Passphrase &passphrase) { m_door = passphrase; }
    bool hasDoor() const { return !m_door.isEmpty(); }

    // Listens on every local address, IPv4 and IPv6, as the identity kept
    // in `identityPath`, which is made the first time.
    bool listen(quint16 port, const QString &identityPath);
    EndReason listenError() const { return m_listenError; }
    // What went wrong in words, naming the file when it was the identity.
    QString listenErrorDetail() const { return m_listenErrorDetail; }
    quint16 port() const { return m_server.serverPort(); }
    // SHA-256 of the certificate members see.
    QByteArray fingerprint() const { return m_fingerprint; }

    // Seats the hosting member in slot 0 with its values.
    void start(const MemberValues::Values &hostValues);
    void setHostValue(const QString &key, const QString &value);
    void close();

    int size() const { return m_table.size(); }
    int joinerCount() const { return int(m_joiners.size()); }

signals:
    void roomEvent(const RoomEvent &event);

private:
    // A connection still in its handshake, with the values it will join with.
    struct Joiner
    {
        FramedLink *link = nullptr;
        MemberValues values;
        StallRule::Duration steppedAt{}; // its last step, on m_clock
        std::optional<StallRule::Duration> securedAt;
        QHostAddress from{}; // kept: a socket forgets it once closed
        // At a door: HELLO sent with `nonce`, ANSWER sent, CONFIRM good.
        enum class Door { Closed, Asked, Answered, Passed } door = Door::Closed;
        QByteArray nonce{};
        std::unique_ptr<Cpace::Exchange> exchange{};
    };

    void acceptConnections();
    // At the cap: makes way if a connection has gone kStale without a step.
    bool dropStalest();
    void dropJoiner(std::vector<Joiner>::iterator joiner);
    // Takes the connection off the list; returns its link.
    FramedLink *forgetJoiner(std::vector<Joiner>::iterator joiner);
    void stepped(FramedLink *link);
    // Drops those that did not ask to join in time and takes whom there is
    // room for; armJoinerCheck() sets the next check.
    void checkJoiners();
    void armJoinerCheck();
    void greet(FramedLink *link);
    void knock(std::vector<Joiner>::iterator joiner, const Wire::Message &message);
    void confirm(std::vector<Joiner>::iterator joiner, const Wire::Message &message);
    // Turns a joiner away with `reason`, when it can hear it.
    void refuse(std::vector<Joiner>::iterator joiner, Wire::RefuseReason reason);
    void handleJoinerMessage(FramedLink *link, const Wire::Message &message);
    void handleMemberMessage(int slot, const Wire::Message &message);
    // False when the rename is held back until its turn.
    bool takeRename(int slot, const QString &name);
    void releaseRenames();
    void armRenameCheck();
    // Whether a member's link is read: not while the room waits, nor while
    // one of its renames is held.
    bool reads(int slot) const { return !m_paused && !m_renames[size_t(slot)].held; }
    void refuseOtherVersion(FramedLink *link);
    bool loadIdentity(const QString &path);
    void admit(FramedLink *link);
    void depart(int slot);
    void update(int slot, const QString &key, const QString &value);
    void broadcast(const Wire::Message &message);
    void flushLinks();
    void updateBackpressure();
    void dropStalledMembers();
    // Unsent bytes by slot; below 0 where no member's link is.
    std::vector<qint64> backlogs() const;
    std::vector<Joiner>::iterator findJoiner(FramedLink *link);
    qint64 outboundLimit() const;
    StallRule::Duration sinceStart() const { return StallRule::Duration(m_clock.elapsed()); }

    // Hands out accepted connections as bare descriptors, one at a time:
    // while one waits, the rest wait in the kernel's queue.
    class Server : public QTcpServer
    {
    protected:
        void incomingConnection(qintptr descriptor) override;
    };
    // A descriptor in the shape QTcpServer keeps pending connections in, a
    // child of the server; it closes the descriptor unless it was taken.
    class Accepted : public QTcpSocket
    {
    public:
        Accepted(qintptr descriptor, QObject *parent) : QTcpSocket(parent), m_descriptor(descriptor) {}
        ~Accepted() override;
        qintptr take() { return std::exchange(m_descriptor, -1); }

    private:
        qintptr m_descriptor;
    };

    Server m_server;
    TlsContext m_tls;
    QByteArray m_fingerprint;
    QString m_listenErrorDetail;
    Timeouts m_timeouts;
    MemberTable m_table;
    std::vector<FramedLink *> m_links; // by slot; null for slot 0 and free slots
    struct Renames
    {
        StallRule::Duration paidUntil{}; // when the burst is whole again, on m_clock
        std::optional<QString> held;
    };
    std::vector<Renames> m_renames; // by slot
    QTimer m_renameCheck;
    std::vector<Joiner> m_joiners;
    QTimer m_joinerCheck;
    bool m_acceptWaits = false; // connections wait in the kernel's queue
    // Runs at the end of a turn that relayed something, before the links'
    // own flushes (it is asked for before the first write): the turn's lines
    // leave in one write per member, in slot order, before the loop polls again.
    EndOfTurn m_flushSoon{[this] { flushLinks(); }};
    EndReason m_listenError = EndReason::None;
    StallRule m_stall;
    QTimer m_stallCheck;
    QElapsedTimer m_clock; // since the host was made
    Passphrase m_door;
    RoomDoor::GuessLimit m_guesses;
    bool m_paused = false; // the room waits: no member is read
};

} // namespace TAVIXLibCtl
