#include "roomguest.h"

#include "knownhosts.h"
#include "memberkeys.h"
#include "roomdoor.h"

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
// How often the kept keys' lock is tried while another process holds it.
constexpr std::chrono::milliseconds kLockRetry{20};
} // namespace

RoomGuest::RoomGuest(const Timeouts &timeouts, QObject *parent)
    : QObject(parent), m_timeouts(timeouts)
{
    m_judgeSoon.setSingleShot(true);
    m_judgeSoon.setInterval(kLockRetry);
    connect(&m_judgeSoon, &QTimer::timeout, this, &RoomGuest::judgeHost);
}

RoomGuest::~RoomGuest()
{
    close();
}

void RoomGuest::join(const QString &address, quint16 port, const MemberValues &values,
                     const QByteArray &trusted, const QByteArray &announced, const Passphrase &passphrase)
{
    m_passphrase = passphrase;
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
    m_link->setKnownKeys(MemberKeys::Shared);
    connect(m_link, &FramedLink::secured, this, &RoomGuest::checkHost);
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
    // shows the key it announced; the kept keys below still decide the rest.
    if (!m_announced.isEmpty() && !fingerprint.toHex().startsWith(m_announced)) {
        m_link->abort();
        m_link = nullptr;
        finish(EndReason::KeyNotAsAnnounced);
        return;
    }
    // Nothing of the room is sent until the key is vouched for, and kept on
    // a first visit; a kept key that cannot be read vouches for nothing.
    m_shown = fingerprint;
    m_lockWait.start();
    judgeHost();
    if (m_link && m_judgeSoon.isActive())
        m_link->hold();
}

// Judged under the kept keys' lock, never waiting for it here: while another
// process holds it, the link waits and the lock is tried again.
void RoomGuest::judgeHost()
{
    if (m_done || !m_link)
        return;
    const auto locking = m_lockWait.hasExpired(KnownHosts::kLockWaitMs) ? KnownHosts::Locking::Skip
                                                                        : KnownHosts::Locking::Try;
    const bool replace = !m_trusted.isEmpty() && m_shown == m_trusted;
    const KnownHosts::Decision decision = KnownHosts().decide(m_address, m_port, m_shown, replace, locking);
    QPointer<RoomGuest> self(this);
    switch (decision.outcome) {
    case KnownHosts::Decision::Outcome::Busy:
        m_judgeSoon.start();
        return;
    case KnownHosts::Decision::Outcome::Unreadable:
        m_link->abort();
        m_link = nullptr;
        finish(EndReason::KnownHostsUnreadable, decision.error);
        return;
    case KnownHosts::Decision::Outcome::Changed:
        m_link->abort();
        m_link = nullptr;
        emit hostKeyRefused(decision.kept.first());
        if (self)
            finish(EndReason::HostKeyChanged);
        return;
    case KnownHosts::Decision::Outcome::Join:
        if (!decision.error.isEmpty())
            emit keyNotKept(decision.error);
        if (self && m_link)
            m_link->resume();
        return;
    }
}

void RoomGuest::speak()
{
    m_spoken = true;
    for (const auto &[key, value] : m_values.all())
        m_link->send(Message::set(key, value));
    m_link->send(Message::join(Wire::deadPeerField(m_timeouts.deadPeer)));
}

void RoomGuest::greeted(const Message &hello)
{
    m_greeted = true;
    m_doorAsked = hello.door;
    if (!hello.door) {
        speak();
        return;
    }
    if (m_passphrase.isEmpty()) {
        m_link->abort();
        m_link = nullptr;
        finish(EndReason::PassphraseNeeded);
        return;
    }
    const QByteArray nonce = RoomDoor::nonce();
    m_door = std::make_unique<Cpace::Exchange>(
            Cpace::Exchange::Role::Initiator, m_passphrase.bytes(), RoomDoor::channel(m_shown),
            RoomDoor::session(hello.nonce, nonce), RoomDoor::kMemberData, RoomDoor::kHostData);
    m_link->send(Message::knock(nonce, m_door->share()));
}

// The host's share and its proof: one that does not know the passphrase, or
// speaks through a relay with another key, hears nothing more from us.
void RoomGuest::answered(const Message &answer)
{
    const std::unique_ptr<Cpace::Exchange> door = std::move(m_door);
    if (!door->receive(answer.share) || !door->confirms(answer.tag)) {
        m_link->abort();
        m_link = nullptr;
        finish(EndReason::PassphraseWrong);
        return;
    }
    m_link->send(Message::confirm(door->confirmation()));
    QPointer<RoomGuest> self(this);
    emit doorOpened();
    if (self && !m_done && m_link)
        speak();
}

void RoomGuest::setValue(const QString &key, const QString &value)
{
    m_values.set(key, value);
    if (m_link && m_spoken) {
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
    case MessageType::Hello:
        if (m_greeted)
            break;
        greeted(m);
        return;
    case MessageType::Answer:
        if (!m_door)
            break;
        answered(m);
        return;
    case MessageType::Welcome:
        if (admitted || !m_spoken)
            break;
        m_size = m.size;
        m_link->setOpen();
        m_link->setPeerDeadPeer(std::chrono::milliseconds(m.deadPeerMs));
        emit welcomed(m.slot, m_size);
        return;
    case MessageType::Refuse:
        switch (Wire::RefuseReason(m.reason)) {
        case Wire::RefuseReason::RoomFull:
            m_refusal = EndReason::RoomFull;
            return;
        case Wire::RefuseReason::Busy:
            m_refusal = EndReason::Busy;
            return;
        // Only a host that asked for a passphrase may say it was not right: from
        // any other it would only have the window ask for one.
        case Wire::RefuseReason::PassphraseNeeded:
            m_refusal = m_doorAsked ? EndReason::PassphraseNeeded : EndReason::OtherProtocol;
            return;
        case Wire::RefuseReason::PassphraseWrong:
            m_refusal = m_doorAsked ? EndReason::PassphraseWrong : EndReason::OtherProtocol;
            return;
        case Wire::RefuseReason::TryLater:
            m_refusal = m_doorAsked ? EndReason::PassphraseTryLater : EndReason::OtherProtocol;
            return;
        default:
            m_refusal = EndReason::OtherProtocol;
            return;
        }
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
    case MessageType::Knock:
    case MessageType::Confirm:
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
