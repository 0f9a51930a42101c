#pragma once

#include "framedlink.h"
#include "membertable.h"
#include "roomtypes.h"
#include "stallrule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QTcpServer>

#include <vector>

namespace TAVIXLibCtl {

// The listening side of a room: the authority that gives out slots, relays
// every change to every member in one order, and reports that order upward.
// The hosting member holds slot 0.
class RoomHost : public QObject
{
    Q_OBJECT

public:
    // Connections that have not finished their handshake. Beyond this one is
    // dropped: from the address that holds the most of them, so that one
    // source cannot push out another; of its connections, one with no whole
    // TLS record before one that has more, the oldest first. A member from
    // another address than a flood of idle sockets always gets in.
    static constexpr int kMaxPending = 32;

    RoomHost(int size, const Timeouts &timeouts, QObject *parent = nullptr);
    ~RoomHost() override;

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
    int pendingCount() const { return int(m_pending.size()); }

signals:
    void roomEvent(const RoomEvent &event);

private:
    // A connection still in its handshake, with the values it will join with.
    struct Pending
    {
        FramedLink *link = nullptr;
        MemberValues values;
    };

    void acceptConnections();
    void dropOnePending();
    void handlePendingMessage(FramedLink *link, const Wire::Message &message);
    void handleMemberMessage(int slot, const Wire::Message &message);
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
    std::vector<Pending>::iterator findPending(FramedLink *link);
    qint64 outboundLimit() const;

    // Hands out the descriptors of accepted connections.
    class Server : public QTcpServer
    {
    public:
        ~Server() override;
        std::vector<qintptr> accepted;

    protected:
        void incomingConnection(qintptr descriptor) override;
    };

    Server m_server;
    TlsContext m_tls;
    QByteArray m_fingerprint;
    QString m_listenErrorDetail;
    Timeouts m_timeouts;
    MemberTable m_table;
    std::vector<FramedLink *> m_links; // by slot; null for slot 0 and free slots
    std::vector<Pending> m_pending;
    // Runs at the end of a turn that relayed something, before the links'
    // own flushes (it is asked for before the first write): the turn's lines
    // leave in one write per member, in slot order, before the loop polls again.
    EndOfTurn m_flushSoon{[this] { flushLinks(); }};
    EndReason m_listenError = EndReason::None;
    StallRule m_stall;
    QTimer m_stallCheck;
    QElapsedTimer m_sinceStallCheck;
    bool m_paused = false; // the room waits: no member is read
};

} // namespace TAVIXLibCtl
