#include "roomhost.h"

#include "hostidentity.h"
#include "memberkeys.h"

#include <QHash>
#include <QLoggingCategory>
#include <QPointer>

#include <unistd.h>

namespace TAVIXLibCtl {

Q_LOGGING_CATEGORY(lcHost, "tavix.room.host", QtWarningMsg)

namespace {
constexpr int kListenBacklog = 512;

// A value as it enters the room: a name without invisible marks.
QString entering(const QString &key, const QString &value)
{
    return key == MemberKeys::Name ? Wire::withoutFormatCharacters(value) : value;
}
} // namespace

using Wire::Message;
using Wire::MessageType;

RoomHost::RoomHost(int size, const Timeouts &timeouts, QObject *parent)
    : QObject(parent)
    , m_timeouts(timeouts)
    , m_table(size)
    , m_links(size_t(size), nullptr)
    , m_stall(timeouts.stall)
{
    // Never early: the rule counts a check as one interval at most.
    m_stallCheck.setTimerType(Qt::PreciseTimer);
    m_stallCheck.setInterval(m_stall.interval());
    connect(&m_stallCheck, &QTimer::timeout, this, &RoomHost::dropStalledMembers);
    connect(&m_server, &QTcpServer::newConnection, this, &RoomHost::acceptConnections);
}

RoomHost::~RoomHost()
{
    close();
}

void RoomHost::Server::incomingConnection(qintptr descriptor)
{
    accepted.push_back(descriptor);
}

RoomHost::Server::~Server()
{
    for (const qintptr descriptor : accepted)
        ::close(int(descriptor));
}

bool RoomHost::loadIdentity(const QString &path)
{
    QString error;
    const auto identity = HostIdentity::loadOrCreate(path, &error);
    if (!identity) {
        m_listenError = EndReason::ListenFailed;
        m_listenErrorDetail = error;
        return false;
    }
    m_tls = TlsContext::forHost(*identity, &m_listenErrorDetail);
    if (m_tls.isNull()) {
        m_listenError = EndReason::ListenFailed;
        return false;
    }
    m_fingerprint = identity->fingerprint();
    return true;
}

bool RoomHost::listen(quint16 port, const QString &identityPath)
{
    if (!loadIdentity(identityPath))
        return false;
    // A burst of connections waits in the kernel rather than losing a
    // member's SYN to a full queue: a lost SYN costs it a second or more.
    m_server.setListenBacklogSize(kListenBacklog);
    // Any is dual-stack: one socket takes IPv4 and IPv6 joiners alike.
    if (m_server.listen(QHostAddress::Any, port))
        return true;
    m_listenError = m_server.serverError() == QAbstractSocket::AddressInUseError
                        ? EndReason::PortInUse
                        : EndReason::ListenFailed;
    qCDebug(lcHost) << "cannot listen:" << m_server.errorString();
    return false;
}

qint64 RoomHost::outboundLimit() const
{
    // Room for a whole snapshot of full members on top of what makes the
    // room wait.
    return 4 * StallRule::kBehind
           + qint64(size()) * MemberValues::kMaxUnits * Wire::kUtf8BytesPerUnit;
}

void RoomHost::start(const MemberValues::Values &hostValues)
{
    for (const auto &[key, value] : hostValues) {
        m_table.setValue(0, key, value);
        emit roomEvent({RoomEvent::Kind::Store, 0, key, value});
    }
    m_table.occupy(0);
    emit roomEvent({RoomEvent::Kind::Arrive, 0, {}, {}});
    m_sinceStallCheck.start();
    m_stallCheck.start();
}

void RoomHost::setHostValue(const QString &key, const QString &value)
{
    if (m_table.isPresent(0))
        update(0, key, value);
}

void RoomHost::close()
{
    m_server.close();
    m_stallCheck.stop();
    for (auto &link : m_links) {
        if (link) {
            // Members tell a room that ended from a link that broke by this.
            link->send(Message::bye());
            link->close();
        }
        link = nullptr;
    }
    for (auto &pending : m_pending)
        pending.link->abort();
    m_pending.clear();
}

void RoomHost::acceptConnections()
{
    for (const qintptr descriptor : std::exchange(m_server.accepted, {})) {
        auto *socket = new TlsStream;
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            delete socket;
            continue;
        }
        if (int(m_pending.size()) >= kMaxPending)
            dropOnePending();
        auto *link = new FramedLink(socket, m_tls, m_timeouts, outboundLimit(), this);
        connect(link, &FramedLink::messageReceived, this,
                [this, link](const Message &m) { handlePendingMessage(link, m); });
        connect(link, &FramedLink::versionMismatch, this, [this, link] { refuseOtherVersion(link); });
        connect(link, &FramedLink::ended, this, [this, link] {
            if (const auto it = findPending(link); it != m_pending.end())
                m_pending.erase(it);
        });
        connect(link, &FramedLink::bytesWritten, this, [this] {
            if (m_paused)
                updateBackpressure();
        });
        m_pending.push_back(Pending{link, {}});
    }
}

void RoomHost::dropOnePending()
{
    QHash<QHostAddress, int> perAddress;
    for (const Pending &p : m_pending)
        ++perAddress[p.link->peerAddress()];
    auto victim = m_pending.end();
    int most = 0;
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        const int count = perAddress.value(it->link->peerAddress());
        // Oldest first: only a strictly better choice replaces one found.
        if (count > most
            || (count == most && it->link->progress() < victim->link->progress())) {
            victim = it;
            most = count;
        }
    }
    if (victim == m_pending.end())
        return;
    victim->link->abort();
    m_pending.erase(victim);
}

std::vector<RoomHost::Pending>::iterator RoomHost::findPending(FramedLink *link)
{
    return std::find_if(m_pending.begin(), m_pending.end(),
                        [link](const Pending &p) { return p.link == link; });
}

void RoomHost::refuseOtherVersion(FramedLink *link)
{
    // Our preamble is already out; the joiner also gets a reason it can read.
    if (const auto it = findPending(link); it != m_pending.end())
        m_pending.erase(it);
    link->send(Message::refuse(Wire::RefuseReason::OtherVersion));
    link->close();
}

void RoomHost::handlePendingMessage(FramedLink *link, const Message &m)
{
    const auto pending = findPending(link);
    if (pending == m_pending.end())
        return;
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Set: {
        const qsizetype at = pending->values.find(m.key);
        if (m.key == MemberKeys::Presence || !pending->values.fits(at, m.key, m.value)) {
            qCDebug(lcHost) << "refusing a joiner's value for" << m.key.left(40);
            return;
        }
        pending->values.set(at, m.key, m.value);
        return;
    }
    case MessageType::Join:
        link->setPeerDeadPeer(std::chrono::milliseconds(m.deadPeerMs));
        admit(link);
        return;
    default:
        m_pending.erase(pending);
        link->abort(); // protocol error
        return;
    }
}

void RoomHost::handleMemberMessage(int slot, const Message &m)
{
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Set:
        update(slot, m.key, m.value);
        return;
    default:
        qCDebug(lcHost) << "slot" << slot << "sent type" << int(m.type);
        m_links[size_t(slot)]->abort(); // protocol error
        depart(slot);
        return;
    }
}

void RoomHost::admit(FramedLink *link)
{
    const auto it = findPending(link);
    const MemberValues::Values values = it->values.all();
    m_pending.erase(it);

    const int slot = m_table.freeSlot(1);
    if (slot < 0) {
        link->send(Message::refuse(Wire::RefuseReason::RoomFull));
        link->close();
        return;
    }
    disconnect(link, &FramedLink::messageReceived, this, nullptr);
    disconnect(link, &FramedLink::ended, this, nullptr);
    connect(link, &FramedLink::messageReceived, this,
            [this, slot](const Message &m) { handleMemberMessage(slot, m); });
    connect(link, &FramedLink::ended, this, [this, link, slot] {
        if (m_links[size_t(slot)] == link)
            depart(slot);
    });
    link->setOpen();
    link->setReadingEnabled(!m_paused);

    m_flushSoon.request();
    link->send(Message::welcome(slot, size(), Wire::deadPeerField(m_timeouts.deadPeer)));
    for (int p = 0; p < size(); ++p) {
        if (!m_table.isPresent(p))
            continue;
        for (const auto &[key, value] : m_table.values(p))
            link->send(Message::store(p, key, value));
        link->send(Message::store(p, MemberKeys::Presence, MemberKeys::Present));
    }
    m_links[size_t(slot)] = link;

    for (const auto &[key, given] : values) {
        const QString value = entering(key, given);
        m_table.setValue(slot, key, value);
        broadcast(Message::store(slot, key, value));
        emit roomEvent({RoomEvent::Kind::Store, slot, key, value});
    }
    m_table.occupy(slot);
    broadcast(Message::arrive(slot));
    emit roomEvent({RoomEvent::Kind::Arrive, slot, {}, {}});
}

void RoomHost::depart(int slot)
{
    if (slot <= 0 || !m_table.isPresent(slot))
        return;
    m_links[size_t(slot)] = nullptr;
    broadcast(Message::depart(slot));
    m_table.vacate(slot);
    if (m_paused)
        updateBackpressure();
    // Last: a handler may close the room, or delete it and us with it.
    emit roomEvent({RoomEvent::Kind::Depart, slot, {}, {}});
}

void RoomHost::update(int slot, const QString &key, const QString &given)
{
    const QString value = entering(key, given);
    if (key == MemberKeys::Presence)
        return; // presence belongs to the room
    MemberValues *values = m_table.slotValues(slot);
    if (!values)
        return;
    const qsizetype at = values->find(key);
    if (key != MemberKeys::Chat && values->valueAt(at) == value)
        return;
    if (!values->fits(at, key, value)) {
        qCDebug(lcHost) << "refusing slot" << slot << "a value over its limits";
        return;
    }
    // Stored before the event: a member admitted while a handler runs gets
    // the new value in its snapshot, having missed the broadcast.
    values->set(at, key, value);
    broadcast(Message::update(slot, key, value));
    emit roomEvent({RoomEvent::Kind::Update, slot, key, value});
}

void RoomHost::broadcast(const Message &message)
{
    const QByteArray frame = Wire::encode(message);
    m_flushSoon.request();
    bool behind = false;
    for (FramedLink *link : m_links) {
        if (!link)
            continue;
        link->send(frame);
        behind = behind || link->backlog() > StallRule::kBehind;
    }
    if (behind && !m_paused)
        updateBackpressure();
}

void RoomHost::flushLinks()
{
    for (FramedLink *link : m_links) {
        if (link)
            link->flush();
    }
}

std::vector<qint64> RoomHost::backlogs() const
{
    std::vector<qint64> backlogs(m_links.size(), -1);
    for (size_t slot = 0; slot < m_links.size(); ++slot) {
        if (m_links[slot])
            backlogs[slot] = m_links[slot]->backlog();
    }
    return backlogs;
}

void RoomHost::updateBackpressure()
{
    const bool paused = StallRule::roomWaits(m_paused, backlogs());
    if (paused == m_paused)
        return;
    m_paused = paused;
    qCDebug(lcHost) << (paused ? "pausing" : "resuming") << "members' input";
    for (FramedLink *link : m_links) {
        if (link)
            link->setReadingEnabled(!paused);
    }
}

void RoomHost::dropStalledMembers()
{
    // The timer keeps its pace and is never early: a check whose handler ran
    // a little sooner after it fired than the last one's did still counts a
    // whole interval, or five of them would fall short of the bound and the
    // member would hold the room up for an interval more.
    const std::chrono::milliseconds elapsed = std::max(std::chrono::milliseconds(m_sinceStallCheck.restart()),
                                                       m_stall.interval());
    const QPointer<RoomHost> self(this);
    for (const int slot : m_stall.advance(elapsed, m_paused, backlogs())) {
        // A handler of the last departure may have closed the room or deleted it.
        if (!self || !m_links[size_t(slot)])
            return;
        qCDebug(lcHost) << "slot" << slot << "held the room up too long";
        m_links[size_t(slot)]->abort();
        depart(slot);
    }
}

} // namespace TAVIXLibCtl
