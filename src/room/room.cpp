#include "room.h"

#include "roomguest.h"
#include "roomhost.h"
#include "wirecodec.h"

#include <stdexcept>

namespace TAVIXLibCtl {

Room::Room(QObject *parent) : QObject(parent) {}

Room::~Room()
{
    teardown();
}

void Room::setPort(int port)
{
    if (port < 0 || port > 65535)
        throw std::invalid_argument("Port must be from 1 to 65535 (0 hosts on any free port)");
    m_port = port;
}

int Room::maxMembers() const
{
    return m_state == State::Idle ? m_requestedSize : m_roomSize;
}

void Room::setMaxMembers(int size)
{
    if (size < 1 || size > kMaxSize)
        throw std::invalid_argument("MaxMembers must be from 1 to 256");
    m_requestedSize = size;
    if (m_state == State::Idle)
        m_table.reset(size);
}

qint64 Room::pendingOutput() const
{
    return m_guest ? m_guest->backlog() : 0;
}

int Room::pendingJoins() const
{
    return m_host ? m_host->pendingCount() : 0;
}

quint64 Room::beginSession(State state)
{
    if (m_active)
        closeConnection();
    ++m_session;
    m_active = true;
    m_state = state;
    m_roomSize = m_requestedSize;
    m_table.reset(m_roomSize);
    m_ownSlot = -1;
    m_boundPort = 0;
    return m_session;
}

void Room::openServer()
{
    CallGuard guard(this);
    const quint64 session = beginSession(State::Hosting);
    m_host = new RoomHost(m_roomSize, m_timeouts, this);
    connect(m_host, &RoomHost::roomEvent, this,
            [this, session](const RoomEvent &event) { queue(Op{session, event}); });
    if (!m_host->listen(quint16(m_port))) {
        endSession(m_host->listenError());
        emit stateChanged();
        return;
    }
    m_boundPort = m_host->port();
    m_ownSlot = 0;
    m_host->start(m_local.all());
    emit stateChanged();
}

void Room::openClient()
{
    if (m_port < 1)
        throw std::invalid_argument("Port must be from 1 to 65535 to join a room");
    CallGuard guard(this);
    const quint64 session = beginSession(State::Connecting);
    m_guest = new RoomGuest(m_timeouts, this);
    connect(m_guest, &RoomGuest::roomEvent, this,
            [this, session](const RoomEvent &event) { queue(Op{session, event}); });
    connect(m_guest, &RoomGuest::welcomed, this, [this](int slot, int size) {
        m_ownSlot = slot;
        m_roomSize = size;
        m_table.reset(size);
    });
    connect(m_guest, &RoomGuest::ended, this, [this, session](EndReason reason) {
        if (session == m_session && m_active)
            endSession(reason);
    });
    m_guest->join(m_address, quint16(m_port), m_local.all());
    emit stateChanged();
}

void Room::closeConnection()
{
    if (!m_active)
        return;
    CallGuard guard(this);
    teardown();
    // Changes not yet raised belong to a room the member has left.
    std::erase_if(m_queue, [this](const Op &op) {
        return op.session == m_session && !op.ends;
    });
    m_state = State::Idle;
    m_table.reset(m_requestedSize);
    m_ownSlot = -1;
    endSession(EndReason::Closed);
    emit stateChanged();
}

void Room::endSession(EndReason reason)
{
    teardown();
    m_active = false;
    queue(Op{m_session, {}, true, reason});
}

void Room::teardown()
{
    if (m_host) {
        m_host->disconnect(this);
        m_host->close();
        m_host->deleteLater();
        m_host = nullptr;
    }
    if (m_guest) {
        m_guest->disconnect(this);
        m_guest->close();
        m_guest->deleteLater();
        m_guest = nullptr;
    }
}

QString Room::memberData(int index, const QString &key) const
{
    return m_table.value(index, key);
}

void Room::setData(const QString &key, const QString &value)
{
    if (key.size() > Wire::kMaxText || value.size() > Wire::kMaxText)
        throw std::invalid_argument("a key or value is longer than 32767 characters");
    if (key == kPresenceKey)
        return; // presence belongs to the room
    const QString cleanKey = Wire::cleanText(key);
    const QString cleanValue = Wire::cleanText(value);
    if (!m_local.fits(cleanKey, cleanValue))
        throw std::invalid_argument("a member holds at most 32 keys and 196,608 characters");

    CallGuard guard(this);
    m_local.set(cleanKey, cleanValue);
    if (m_host)
        m_host->setHostValue(cleanKey, cleanValue);
    else if (m_guest)
        m_guest->setValue(cleanKey, cleanValue);
}

QString Room::data(const QString &key) const
{
    if (key == kPresenceKey)
        return m_ownSlot >= 0 && m_table.isPresent(m_ownSlot) ? kPresent : kAbsent;
    return m_local.value(key);
}

void Room::queue(Op op)
{
    m_queue.push_back(std::move(op));
    if (m_callDepth == 0 && !m_delivering) {
        deliver(); // straight from the network: no need to wait a turn
        return;
    }
    if (!m_deliveryScheduled) {
        m_deliveryScheduled = true;
        QMetaObject::invokeMethod(this, &Room::deliver, Qt::QueuedConnection);
    }
}

void Room::deliver()
{
    m_deliveryScheduled = false;
    if (m_delivering)
        return; // the loop below picks the new ones up
    m_delivering = true;
    QPointer<Room> self(this);
    while (self && !m_queue.empty()) {
        const Op op = std::move(m_queue.front());
        m_queue.pop_front();
        if (!op.ends && op.session != m_session)
            continue; // from a room already left
        apply(op);
    }
    if (self)
        m_delivering = false;
}

void Room::apply(const Op &op)
{
    const RoomEvent &e = op.event;
    const bool current = op.session == m_session;
    if (op.ends) {
        m_endReason = op.reason;
        if (current) {
            m_state = State::Idle;
            m_table.reset(m_requestedSize);
            m_ownSlot = -1;
            m_boundPort = 0;
        }
        emit stateChanged();
        emit disconnected();
        return;
    }
    switch (e.kind) {
    case RoomEvent::Kind::Store:
        if (e.key == kPresenceKey) {
            if (e.value == kPresent)
                m_table.occupy(e.slot); // a member already present when we joined
        } else if (m_table.fits(e.slot, e.key, e.value)) {
            m_table.setValue(e.slot, e.key, e.value);
        }
        return;
    case RoomEvent::Kind::Arrive:
        m_table.occupy(e.slot);
        if (e.slot == m_ownSlot && m_state == State::Connecting)
            m_state = State::Joined;
        emit stateChanged();
        emit dataChanged(e.slot, 0, kPresenceKey, kPresent);
        return;
    case RoomEvent::Kind::Update:
        if (!m_table.fits(e.slot, e.key, e.value))
            return;
        emit dataChanged(e.slot, 0, e.key, e.value);
        // The handler may have left the room; then there is nothing to store.
        if (current && m_state != State::Idle)
            m_table.setValue(e.slot, e.key, e.value);
        return;
    case RoomEvent::Kind::Depart:
        emit dataChanged(e.slot, 0, kPresenceKey, kAbsent);
        if (current && m_state != State::Idle) {
            m_table.vacate(e.slot);
            emit stateChanged();
        }
        return;
    }
}

QString reasonText(EndReason reason)
{
    switch (reason) {
    case EndReason::None:
        return {};
    case EndReason::Closed:
        return QStringLiteral("切断しました");
    case EndReason::PortInUse:
        return QStringLiteral("ポートが使用中です");
    case EndReason::ListenFailed:
        return QStringLiteral("サーバを開始できません");
    case EndReason::HostNotFound:
        return QStringLiteral("ホストが見つかりません");
    case EndReason::Refused:
        return QStringLiteral("接続を拒否されました");
    case EndReason::Unreachable:
        return QStringLiteral("ホストに届きません");
    case EndReason::NoAnswer:
        return QStringLiteral("応答がありません");
    case EndReason::RoomFull:
        return QStringLiteral("満員で入れません");
    case EndReason::OtherProtocol:
        return QStringLiteral("相手が違う方式です");
    case EndReason::HostLeft:
        return QStringLiteral("サーバが終了しました");
    case EndReason::ConnectionLost:
        return QStringLiteral("接続が切れました");
    }
    return {};
}

} // namespace TAVIXLibCtl
