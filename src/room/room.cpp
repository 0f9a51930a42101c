#include "room.h"

#include "hostidentity.h"
#include "memberkeys.h"
#include "roomannouncer.h"
#include "roomdefaults.h"
#include "roomguest.h"
#include "roomhost.h"
#include "wirecodec.h"

#include <QPointer>
#include <QScopedValueRollback>
#include <QSslSocket>

namespace TAVIXLibCtl {

Room::Room(QObject *parent)
    : QObject(parent)
    , m_port(RoomDefaults::Port)
    , m_requestedSize(RoomDefaults::Size)
    , m_roomSize(RoomDefaults::Size)
    , m_table(RoomDefaults::Size)
{
    m_raiseSoon.setSingleShot(true);
    m_raiseSoon.setInterval(0);
    connect(&m_raiseSoon, &QTimer::timeout, this, [this] { raiseQueued(); });
}

Room::~Room()
{
    teardown();
}

bool Room::setPort(int port)
{
    if (port < 0 || port > 65535)
        return false;
    m_port = port;
    return true;
}

int Room::maxMembers() const
{
    return m_state == State::Idle ? m_requestedSize : m_roomSize;
}

bool Room::setMaxMembers(int size)
{
    if (size < 1 || size > kMaxSize)
        return false;
    m_requestedSize = size;
    if (m_state == State::Idle)
        m_table.reset(size);
    return true;
}

qint64 Room::pendingOutput() const
{
    return m_guest ? m_guest->backlog() : 0;
}

int Room::pendingJoins() const
{
    return m_host ? m_host->joinerCount() : 0;
}

void Room::beginRoom(State state)
{
    if (m_open)
        closeConnection();
    dropUnraised();
    m_open = true;
    m_state = state;
    m_roomSize = m_requestedSize;
    m_table.reset(m_roomSize);
    m_ownSlot = -1;
    m_boundPort = 0;
    m_hostFingerprint.clear();
    m_rememberedFingerprint.clear();
    m_keyNotKept.clear();
}

void Room::becomeIdle()
{
    m_state = State::Idle;
    m_table.reset(m_requestedSize);
    m_ownSlot = -1;
    m_boundPort = 0;
}

// Idle when the call returns; the end is raised from the event loop.
void Room::failToOpen(EndReason reason, const QString &detail)
{
    endRoom(reason, detail);
    becomeIdle();
    emit stateChanged();
}

void Room::openServer()
{
    QScopedValueRollback inCall(m_inCall, true);
    beginRoom(State::Hosting);
    if (!QSslSocket::supportsSsl()) {
        failToOpen(EndReason::NoTls);
        return;
    }
    m_host = new RoomHost(m_roomSize, m_timeouts, this);
    m_host->setDoor(std::exchange(m_nextDoor, {}));
    connect(m_host, &RoomHost::roomEvent, this, [this](const RoomEvent &event) { queue({event}); });
    if (!m_host->listen(quint16(m_port), HostIdentity::defaultPath())) {
        failToOpen(m_host->listenError(), m_host->listenErrorDetail());
        return;
    }
    m_boundPort = m_host->port();
    m_hostFingerprint = m_host->fingerprint();
    m_ownSlot = 0;
    m_host->start(m_local.all());
    if (m_announced) {
        m_announcer = new RoomAnnouncer(this);
        connect(m_announcer, &RoomAnnouncer::unavailable, this, [this](const QString &why) {
            // A room hosted again and again gives the same reason once.
            if (std::exchange(m_notAnnouncedWhy, why) != why)
                emit notAnnounced(why);
        });
        connect(this, &Room::stateChanged, m_announcer, [this] { announce(); });
    }
    emit stateChanged();
}

bool Room::openClient()
{
    const std::optional<RoomAddress::Target> target = RoomAddress::parse(m_address, quint16(m_port));
    if (target && target->port < 1)
        return false;
    QScopedValueRollback inCall(m_inCall, true);
    beginRoom(State::Connecting);
    m_joined = target.value_or(RoomAddress::Target{m_address.trimmed(), quint16(m_port)});
    if (m_expected.address != m_address)
        m_expected = {};
    m_announcedKey = m_expected.keyPrefix;
    if (!target) {
        failToOpen(EndReason::HostNotFound);
        return true;
    }
    if (!QSslSocket::supportsSsl()) {
        failToOpen(EndReason::NoTls);
        return true;
    }
    m_guest = new RoomGuest(m_timeouts, this);
    connect(m_guest, &RoomGuest::roomEvent, this, [this](const RoomEvent &event) { queue({event}); });
    connect(m_guest, &RoomGuest::welcomed, this, [this](int slot, int size) {
        m_ownSlot = slot;
        m_roomSize = size;
        m_table.reset(size);
    });
    connect(m_guest, &RoomGuest::bytesWritten, this, &Room::outputWritten);
    connect(m_guest, &RoomGuest::hostIdentified, this, [this](const QByteArray &fingerprint) {
        m_hostFingerprint = fingerprint;
        emit stateChanged();
    });
    connect(m_guest, &RoomGuest::hostKeyRefused, this,
            [this](const QByteArray &remembered) { m_rememberedFingerprint = remembered; });
    connect(m_guest, &RoomGuest::keyNotKept, this, [this](const QString &error) {
        m_keyNotKept = error;
        emit stateChanged();
    });
    connect(m_guest, &RoomGuest::ended, this, [this](EndReason reason, const QString &detail) {
        if (m_open)
            endRoom(reason, detail);
    });
    const QString at = m_joined.host + u' ' + QString::number(m_joined.port);
    m_offering = std::exchange(m_offered, {});
    if (m_offering.isEmpty())
        m_offering = m_accepted.value(at);
    connect(m_guest, &RoomGuest::doorOpened, this, [this, at] { m_accepted.insert(at, m_offering); });
    connect(m_guest, &RoomGuest::ended, this, [this, at](EndReason reason) {
        if (reason == EndReason::PassphraseWrong)
            m_accepted.remove(at); // the room's passphrase changed since
    });
    const bool trusted = m_trusted.at.host == m_joined.host && m_trusted.at.port == m_joined.port;
    m_guest->join(m_joined.host, m_joined.port, m_local, trusted ? m_trusted.fingerprint : QByteArray(),
                  m_announcedKey.toLatin1(), m_offering);
    m_trusted = {};
    emit stateChanged();
    return true;
}

bool Room::hasDoor() const
{
    return m_host && m_host->hasDoor();
}

void Room::trustHostKey(const QByteArray &fingerprint)
{
    const auto at = RoomAddress::parse(m_address, quint16(m_port));
    m_trusted = {at.value_or(RoomAddress::Target{}), fingerprint};
}

void Room::expectHostKey(const QString &address, const QString &keyPrefix)
{
    m_expected = address.isEmpty() ? ExpectedKey{} : ExpectedKey{address, keyPrefix};
}

void Room::closeConnection()
{
    if (!m_open)
        return;
    QScopedValueRollback inCall(m_inCall, true);
    teardown();
    // Changes not yet raised belong to a room the member has left.
    dropUnraised();
    becomeIdle();
    endRoom(EndReason::Closed);
    emit stateChanged();
}

void Room::endRoom(EndReason reason, const QString &detail)
{
    teardown();
    m_open = false;
    queue({.end = reason, .detail = detail});
}

void Room::dropUnraised()
{
    ++m_roomSerial;
    std::erase_if(m_queue, [](const Change &c) { return c.end == EndReason::None; });
    for (Change &c : m_queue)
        c.resetsRoom = false;
}

void Room::teardown()
{
    if (m_announcer) {
        // Its end withdraws the room from the network.
        m_announcer->disconnect(this);
        disconnect(this, nullptr, m_announcer, nullptr);
        m_announcer->deleteLater();
        m_announcer = nullptr;
    }
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

void Room::announce()
{
    m_announcer->announce({.hostName = m_local.value(MemberKeys::Name), .port = m_boundPort,
                           .members = memberCount(), .size = m_roomSize,
                           .fingerprint = m_hostFingerprint, .door = hasDoor()});
}

QString Room::memberData(int slot, const QString &key) const
{
    return m_table.value(slot, key);
}

Room::SetResult Room::setData(const QString &key, const QString &value)
{
    if (key.size() > Wire::kMaxText || value.size() > Wire::kMaxText)
        return SetResult::TooLong;
    if (key == MemberKeys::Presence)
        return SetResult::Stored;
    const QString cleanKey = Wire::cleanText(key);
    const QString cleanValue = MemberValues::kept(
            cleanKey, cleanKey == MemberKeys::Name ? Wire::withoutFormatCharacters(Wire::cleanText(value))
                                                   : Wire::cleanText(value));
    const qsizetype at = m_local.find(cleanKey);
    if (!m_local.fits(at, cleanKey, cleanValue))
        return SetResult::OverLimits;

    QScopedValueRollback inCall(m_inCall, true);
    m_local.set(at, cleanKey, cleanValue);
    if (m_host)
        m_host->setHostValue(cleanKey, cleanValue);
    else if (m_guest)
        m_guest->setValue(cleanKey, cleanValue);
    if (m_announcer && cleanKey == MemberKeys::Name)
        announce();
    return SetResult::Stored;
}

QString Room::data(const QString &key) const
{
    if (key == MemberKeys::Presence) {
        return m_ownSlot >= 0 && m_table.isPresent(m_ownSlot) ? MemberKeys::Present
                                                              : MemberKeys::Absent;
    }
    return m_local.value(key);
}

void Room::queue(Change change)
{
    if (!m_raising && !m_inCall && m_queue.empty()) {
        // Straight from the network with nothing before it: raised at once,
        // without a turn through the queue.
        raiseQueued(&change);
        return;
    }
    m_queue.push_back(std::move(change));
    if (m_raising)
        return; // the running loop takes it up
    if (m_inCall)
        m_raiseSoon.start();
    else
        raiseQueued(); // straight from the network: no need to wait a turn
}

void Room::raiseQueued(const Change *first)
{
    if (m_raising)
        return;
    m_raising = true;
    // A handler may delete this room, also from a nested event loop.
    const QPointer<Room> self(this);
    if (first && !raise(*first, self))
        return;
    while (!m_queue.empty()) {
        const Change next = std::move(m_queue.front());
        m_queue.pop_front();
        if (!raise(next, self))
            return; // deleted by a handler: nothing of it is left to touch
    }
    m_raising = false;
}

bool Room::raise(const Change &change, const QPointer<Room> &self)
{
    // A handler may delete this room, or leave or replace the room it is
    // in, also from a nested event loop: after each signal, nothing is
    // touched once the room is gone, and nothing stored once it was left.
    const quint64 room = m_roomSerial;
    const auto sameRoom = [&] { return self && room == m_roomSerial; };
    const RoomEvent &e = change.event;
    if (change.end != EndReason::None) {
        m_endReason = change.end;
        m_endDetail = change.detail;
        if (change.resetsRoom)
            becomeIdle();
        emit stateChanged();
        if (!self)
            return false;
        emit disconnected();
        return bool(self);
    }
    switch (e.kind) {
    case RoomEvent::Kind::Store:
        if (e.key == MemberKeys::Presence) {
            if (e.value == MemberKeys::Present)
                m_table.occupy(e.slot); // a member already present when we joined
        } else if (m_table.fits(e.slot, e.key, e.value)) {
            m_table.setValue(e.slot, e.key, e.value);
        }
        break;
    case RoomEvent::Kind::Arrive:
        m_table.occupy(e.slot);
        if (e.slot == m_ownSlot && m_state == State::Connecting)
            m_state = State::Joined;
        emit stateChanged();
        if (sameRoom())
            emit dataChanged(e.slot, MemberKeys::Presence, MemberKeys::Present);
        break;
    case RoomEvent::Kind::Update: {
        // Looked up once: the table only changes here, or is reset with a
        // new room, which sameRoom() tells.
        MemberValues *values = m_table.slotValues(e.slot);
        const qsizetype at = values ? values->find(e.key) : MemberValues::kAbsent;
        if (!values || !values->fits(at, e.key, e.value))
            break;
        emit dataChanged(e.slot, e.key, e.value);
        if (sameRoom() && e.key != MemberKeys::Presence)
            values->set(at, e.key, e.value);
        break;
    }
    case RoomEvent::Kind::Depart:
        emit dataChanged(e.slot, MemberKeys::Presence, MemberKeys::Absent);
        if (sameRoom()) {
            m_table.vacate(e.slot);
            emit stateChanged();
        }
        break;
    }
    return bool(self);
}

} // namespace TAVIXLibCtl
