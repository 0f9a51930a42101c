#include "roomguest.h"

#include "knownhosts.h"

#include <QHostInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

namespace TAVIXLibCtl {

Q_LOGGING_CATEGORY(lcGuest, "tavix.room.guest", QtWarningMsg)

using Wire::Message;
using Wire::MessageType;

namespace {
// What a guest accepts queued toward the host before it counts as stuck.
constexpr qint64 kGuestOutboundLimit = 16 * 1024 * 1024;
} // namespace

RoomGuest::RoomGuest(const Timeouts &timeouts, QObject *parent)
    : QObject(parent), m_timeouts(timeouts)
{
}

RoomGuest::~RoomGuest()
{
    close();
}

void RoomGuest::join(const QString &address, quint16 port, const MemberValues &values,
                     const QByteArray &trusted, const QByteArray &announced)
{
    m_trusted = trusted;
    m_announced = announced.toLower();
    m_address = address;
    m_port = port;
    m_values = values;
    QHostAddress literal;
    if (literal.setAddress(address.trimmed())) {
        m_addresses = {literal};
        QTimer::singleShot(0, this, &RoomGuest::connectNext);
        return;
    }
    // Never blocks: the answer comes back through the event loop.
    m_lookupId = QHostInfo::lookupHost(address.trimmed(), this, &RoomGuest::hostResolved);
}

void RoomGuest::hostResolved(const QHostInfo &info)
{
    m_lookupId = -1;
    if (m_done)
        return;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        finish(EndReason::HostNotFound);
        return;
    }
    m_addresses = info.addresses();
    connectNext();
}

void RoomGuest::connectNext()
{
    if (m_done)
        return;
    if (m_addresses.isEmpty()) {
        finish(m_lastFailure);
        return;
    }
    m_link = new FramedLink(m_addresses.takeFirst(), m_port, m_timeouts, kGuestOutboundLimit, this);
    connect(m_link, &FramedLink::secured, this, &RoomGuest::checkHost);
    connect(m_link, &FramedLink::ready, this, &RoomGuest::linked);
    connect(m_link, &FramedLink::messageReceived, this, &RoomGuest::handleMessage);
    connect(m_link, &FramedLink::bytesWritten, this, &RoomGuest::bytesWritten);
    connect(m_link, &FramedLink::ended, this, &RoomGuest::handleEnd);
}

void RoomGuest::checkHost(const QByteArray &fingerprint)
{
    // A handler of the signal may spin an event loop in which the room ends.
    QPointer<RoomGuest> self(this);
    emit hostIdentified(fingerprint);
    if (!self || m_done || !m_link)
        return;
    // A room chosen from those announced is that room only if its host
    // shows the key it announced; the pins below still decide the rest.
    if (!m_announced.isEmpty() && !fingerprint.toHex().startsWith(m_announced)) {
        m_link->abort();
        m_link = nullptr;
        finish(EndReason::KeyNotAsAnnounced);
        return;
    }
    // Nothing of the room is sent until the key is vouched for; a kept key
    // that cannot be read vouches for nothing.
    const KnownHosts::Pins pins = KnownHosts().pins(m_address, m_port);
    switch (pins.status) {
    case KnownHosts::Pins::Status::Unreadable:
        m_link->abort();
        m_link = nullptr;
        finish(EndReason::KnownHostsUnreadable, pins.error);
        return;
    case KnownHosts::Pins::Status::Known:
        if (pins.fingerprints.contains(fingerprint))
            return;
        if (fingerprint == m_trusted) {
            m_newHost = fingerprint;
            m_replacesPin = true;
            return;
        }
        m_link->abort();
        m_link = nullptr;
        emit hostKeyRefused(pins.fingerprints.first());
        if (self)
            finish(EndReason::HostKeyChanged);
        return;
    case KnownHosts::Pins::Status::Unknown:
        m_newHost = fingerprint;
        return;
    }
}

void RoomGuest::linked()
{
    for (const auto &[key, value] : m_values.all())
        m_link->send(Message::set(key, value));
    m_link->send(Message::join(Wire::deadPeerField(m_timeouts.deadPeer)));
}

void RoomGuest::setValue(const QString &key, const QString &value)
{
    m_values.set(key, value);
    if (m_link && m_link->state() >= FramedLink::State::Handshaking) {
        m_link->send(Message::set(key, value));
    }
}

void RoomGuest::handleMessage(const Message &m)
{
    const bool admitted = m_size > 0;
    const bool slotOk = admitted && m.slot < m_size;
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Welcome:
        if (admitted)
            break;
        m_size = m.size;
        m_link->setOpen();
        m_link->setPeerDeadPeer(std::chrono::milliseconds(m.deadPeerMs));
        keepNewHost();
        emit welcomed(m.slot, m_size);
        return;
    case MessageType::Refuse:
        m_refusal = m.reason == int(Wire::RefuseReason::RoomFull) ? EndReason::RoomFull
                                                                  : EndReason::OtherProtocol;
        return;
    case MessageType::Bye:
        if (!admitted)
            break;
        m_refusal = EndReason::HostLeft;
        return;
    case MessageType::Store:
        if (!slotOk)
            break;
        emit roomEvent({RoomEvent::Kind::Store, m.slot, m.key, m.value});
        return;
    case MessageType::Update:
        if (!slotOk)
            break;
        emit roomEvent({RoomEvent::Kind::Update, m.slot, m.key, m.value});
        return;
    case MessageType::Arrive:
        if (!slotOk)
            break;
        emit roomEvent({RoomEvent::Kind::Arrive, m.slot, {}, {}});
        return;
    case MessageType::Depart:
        if (!slotOk)
            break;
        emit roomEvent({RoomEvent::Kind::Depart, m.slot, {}, {}});
        return;
    case MessageType::Set:
    case MessageType::Join:
        break;
    }
    qCDebug(lcGuest) << "host sent type" << int(m.type) << "out of place";
    m_link->abort(); // protocol error
    m_link = nullptr;
    finish(EndReason::OtherProtocol);
}

void RoomGuest::handleEnd(FramedLink::End end)
{
    m_link = nullptr;
    if (m_refusal != EndReason::None) {
        finish(m_refusal);
        return;
    }
    switch (end) {
    case FramedLink::End::Refused:
    case FramedLink::End::Unreachable:
        // Refused means something answered; keep that over a later timeout.
        if (m_lastFailure != EndReason::Refused)
            m_lastFailure = end == FramedLink::End::Refused ? EndReason::Refused
                                                             : EndReason::Unreachable;
        connectNext();
        break;
    case FramedLink::End::RemoteClosed:
        // A host that closes its room says so first; one that drops us, or
        // dies, just goes.
        finish(EndReason::ConnectionLost);
        break;
    case FramedLink::End::Stranger:
    case FramedLink::End::OtherVersion:
    case FramedLink::End::ProtocolError:
        finish(EndReason::OtherProtocol);
        break;
    case FramedLink::End::HandshakeTimeout:
        finish(EndReason::NoAnswer);
        break;
    case FramedLink::End::Broken:
    case FramedLink::End::Silent:
    case FramedLink::End::TooSlow:
        finish(EndReason::ConnectionLost);
        break;
    }
}

void RoomGuest::keepNewHost()
{
    if (m_newHost.isEmpty())
        return;
    QString error;
    if (!KnownHosts().remember(m_address, m_port, m_newHost, m_replacesPin, &error))
        emit keyNotKept(error);
}

void RoomGuest::finish(EndReason reason, const QString &detail)
{
    if (m_done)
        return;
    close();
    emit ended(reason, detail);
}

void RoomGuest::close()
{
    if (m_done)
        return;
    m_done = true;
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    if (m_link) {
        m_link->close();
        m_link = nullptr;
    }
}

} // namespace TAVIXLibCtl
