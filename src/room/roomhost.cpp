#include "roomhost.h"

#include <QLoggingCategory>
#include <QTcpSocket>

namespace TAVIXLibCtl {

Q_LOGGING_CATEGORY(lcHost, "tavix.room.host", QtWarningMsg)

RoomHost::RoomHost(int size, const Timeouts &timeouts, QObject *parent)
    : QObject(parent), m_timeouts(timeouts), m_table(size), m_links(size_t(size), nullptr)
{
    connect(&m_server, &QTcpServer::newConnection, this, &RoomHost::acceptConnections);
}

RoomHost::~RoomHost()
{
    close();
}

bool RoomHost::listen(quint16 port)
{
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
    // Room for a whole snapshot of full members on top of the congestion mark.
    return 4 * MemberConnection::kCongested + qint64(size()) * MemberTable::kMaxUnits * 3;
}

void RoomHost::start(const MemberTable::Values &hostValues)
{
    for (auto it = hostValues.cbegin(); it != hostValues.cend(); ++it) {
        m_table.setValue(0, it.key(), it.value());
        emit roomEvent({RoomEvent::Kind::Store, 0, it.key(), it.value()});
    }
    m_table.occupy(0);
    emit roomEvent({RoomEvent::Kind::Arrive, 0, {}, {}});
    emit membersChanged();
}

void RoomHost::setHostValue(const QString &key, const QString &value)
{
    if (m_table.isPresent(0))
        update(0, key, value);
}

void RoomHost::close()
{
    m_server.close();
    for (auto &link : m_links) {
        if (link)
            link->close();
        link = nullptr;
    }
    for (auto &pending : m_pending)
        pending.link->abort();
    m_pending.clear();
}

void RoomHost::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        if (int(m_pending.size()) >= kMaxPending) {
            m_pending.front().link->abort();
            m_pending.erase(m_pending.begin());
        }
        auto *link = new MemberConnection(socket, m_timeouts, outboundLimit(), this);
        link->setDropWhenStalled(true);
        connect(link, &MemberConnection::messageReceived, this,
                [this, link](const Wire::Message &m) { handleMessage(link, m); });
        connect(link, &MemberConnection::versionMismatch, this, [this, link] {
            // Our preamble is already out; the joiner also gets a reason it can read.
            if (const auto it = findPending(link); it != m_pending.end())
                m_pending.erase(it);
            link->send(Wire::Message{Wire::MessageType::Refuse, 0, 0,
                                     int(Wire::RefuseReason::OtherVersion)});
            link->close();
        });
        connect(link, &MemberConnection::ended, this, [this, link] { handleEnd(link); });
        connect(link, &MemberConnection::bytesWritten, this, [this] {
            if (m_paused)
                updateBackpressure();
        });
        m_pending.push_back(Pending{link, {}});
    }
}

std::vector<RoomHost::Pending>::iterator RoomHost::findPending(MemberConnection *link)
{
    return std::find_if(m_pending.begin(), m_pending.end(),
                        [link](const Pending &p) { return p.link == link; });
}

void RoomHost::handleMessage(MemberConnection *link, const Wire::Message &m)
{
    using Wire::MessageType;
    if (link->slot < 0) {
        const auto it = findPending(link);
        if (it != m_pending.end())
            handlePendingMessage(*it, m);
        return;
    }
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Set:
        update(link->slot, m.key, m.value);
        return;
    default:
        qCDebug(lcHost) << "slot" << link->slot << "sent type" << int(m.type);
        link->abort(); // protocol error
        depart(link->slot);
        return;
    }
}

void RoomHost::handlePendingMessage(Pending &pending, const Wire::Message &m)
{
    using Wire::MessageType;
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Set:
        if (m.key == kPresenceKey || !pending.values.fits(m.key, m.value)) {
            qCDebug(lcHost) << "refusing a joiner's value for" << m.key.left(40);
            return;
        }
        pending.values.set(m.key, m.value);
        return;
    case MessageType::Join:
        admit(pending.link);
        return;
    default: {
        MemberConnection *link = pending.link;
        m_pending.erase(findPending(link));
        link->abort(); // protocol error
        return;
    }
    }
}

void RoomHost::admit(MemberConnection *link)
{
    using Wire::Message;
    using Wire::MessageType;
    const auto it = findPending(link);
    const MemberTable::Values values = it->values.all();
    m_pending.erase(it);

    const int slot = m_table.freeSlot(1);
    if (slot < 0) {
        link->send(Message{MessageType::Refuse, 0, 0, int(Wire::RefuseReason::RoomFull)});
        link->close();
        return;
    }
    link->slot = slot;
    link->setHandshakeDone();
    link->setReadingEnabled(!m_paused);

    link->send(Message{MessageType::Welcome, slot, size()});
    for (int p = 0; p < size(); ++p) {
        if (!m_table.isPresent(p))
            continue;
        const auto &present = m_table.values(p);
        for (auto v = present.cbegin(); v != present.cend(); ++v)
            link->send(Message{MessageType::Store, p, 0, 0, v.key(), v.value()});
        link->send(Message{MessageType::Store, p, 0, 0, kPresenceKey, kPresent});
    }
    m_links[size_t(slot)] = link;

    for (auto v = values.cbegin(); v != values.cend(); ++v) {
        m_table.setValue(slot, v.key(), v.value());
        broadcast(Message{MessageType::Store, slot, 0, 0, v.key(), v.value()});
        emit roomEvent({RoomEvent::Kind::Store, slot, v.key(), v.value()});
    }
    m_table.occupy(slot);
    broadcast(Message{MessageType::Arrive, slot});
    emit roomEvent({RoomEvent::Kind::Arrive, slot, {}, {}});
    emit membersChanged();
}

void RoomHost::handleEnd(MemberConnection *link)
{
    if (link->slot >= 0) {
        if (m_links[size_t(link->slot)] == link)
            depart(link->slot);
        return;
    }
    if (const auto it = findPending(link); it != m_pending.end())
        m_pending.erase(it);
}

void RoomHost::depart(int slot)
{
    if (slot <= 0 || !m_table.isPresent(slot))
        return;
    m_links[size_t(slot)] = nullptr;
    broadcast(Wire::Message{Wire::MessageType::Depart, slot});
    emit roomEvent({RoomEvent::Kind::Depart, slot, {}, {}});
    m_table.vacate(slot);
    emit membersChanged();
    if (m_paused)
        updateBackpressure();
}

void RoomHost::update(int slot, const QString &key, const QString &value)
{
    if (key == kPresenceKey)
        return; // presence belongs to the room
    if (key != kChatKey && m_table.value(slot, key) == value)
        return;
    if (!m_table.fits(slot, key, value)) {
        qCDebug(lcHost) << "refusing slot" << slot << "a value over its limits";
        return;
    }
    broadcast(Wire::Message{Wire::MessageType::Update, slot, 0, 0, key, value});
    emit roomEvent({RoomEvent::Kind::Update, slot, key, value});
    m_table.setValue(slot, key, value);
}

void RoomHost::broadcast(const Wire::Message &message)
{
    const QByteArray frame = Wire::encode(message);
    bool congested = false;
    for (MemberConnection *link : m_links) {
        if (!link)
            continue;
        link->send(frame);
        congested = congested || link->isCongested();
    }
    if (congested && !m_paused)
        updateBackpressure();
}

void RoomHost::updateBackpressure()
{
    // Pause on the congestion mark, resume well below it.
    bool over = false;
    bool clear = true;
    for (MemberConnection *link : m_links) {
        if (!link)
            continue;
        const qint64 backlog = link->backlog();
        over = over || backlog > MemberConnection::kCongested;
        clear = clear && backlog <= MemberConnection::kCongested / 2;
    }
    const bool paused = m_paused ? !clear : over;
    if (paused == m_paused)
        return;
    m_paused = paused;
    qCDebug(lcHost) << (paused ? "pausing" : "resuming") << "members' input";
    for (MemberConnection *link : m_links) {
        if (link)
            link->setReadingEnabled(!paused);
    }
}

} // namespace TAVIXLibCtl
