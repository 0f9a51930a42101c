#include "roomguest.h"

#include <QHostInfo>
#include <QLoggingCategory>
#include <QTcpSocket>

namespace TAVIXLibCtl {

Q_LOGGING_CATEGORY(lcGuest, "tavix.room.guest", QtWarningMsg)

namespace {
// What a guest accepts queued toward the host before it counts as stuck.
constexpr qint64 kGuestOutboundLimit = 16 * 1024 * 1024;
} // namespace

RoomGuest::RoomGuest(const Timeouts &timeouts, QObject *parent)
    : QObject(parent), m_timeouts(timeouts)
{
    m_attemptTimer.setSingleShot(true);
    connect(&m_attemptTimer, &QTimer::timeout, this, [this] {
        // No answer to the SYN: try the next address.
        attemptFailed(EndReason::Unreachable);
    });
}

RoomGuest::~RoomGuest()
{
    close();
}

void RoomGuest::join(const QString &address, quint16 port, const MemberTable::Values &values)
{
    m_port = port;
    m_values = values;
    QHostAddress literal;
    if (literal.setAddress(address.trimmed())) {
        m_addresses = {literal};
        QMetaObject::invokeMethod(this, &RoomGuest::connectNext, Qt::QueuedConnection);
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
    const QHostAddress address = m_addresses.takeFirst();
    m_attempt = new QTcpSocket(this);
    connect(m_attempt, &QTcpSocket::connected, this, &RoomGuest::linked);
    connect(m_attempt, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            attemptFailed(EndReason::Refused);
            break;
        case QAbstractSocket::HostNotFoundError:
            attemptFailed(EndReason::HostNotFound);
            break;
        default:
            attemptFailed(EndReason::Unreachable);
            break;
        }
    });
    m_attemptTimer.start(m_timeouts.handshake);
    qCDebug(lcGuest) << "connecting to" << address << m_port;
    m_attempt->connectToHost(address, m_port);
}

void RoomGuest::attemptFailed(EndReason reason)
{
    if (!m_attempt)
        return;
    m_attemptTimer.stop();
    m_attempt->disconnect(this);
    m_attempt->abort();
    m_attempt->deleteLater();
    m_attempt = nullptr;
    // Refused means something answered; keep that over a later timeout.
    if (m_lastFailure != EndReason::Refused)
        m_lastFailure = reason;
    QMetaObject::invokeMethod(this, &RoomGuest::connectNext, Qt::QueuedConnection);
}

void RoomGuest::linked()
{
    m_attemptTimer.stop();
    QTcpSocket *socket = m_attempt;
    m_attempt = nullptr;
    socket->disconnect(this);

    m_link = new MemberConnection(socket, m_timeouts, kGuestOutboundLimit, this);
    connect(m_link, &MemberConnection::messageReceived, this, &RoomGuest::handleMessage);
    connect(m_link, &MemberConnection::ended, this, &RoomGuest::handleEnd);

    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        m_link->send(Wire::Message{Wire::MessageType::Set, 0, 0, 0, it.key(), it.value()});
    m_link->send(Wire::Message{Wire::MessageType::Join});
}

void RoomGuest::setValue(const QString &key, const QString &value)
{
    m_values.insert(key, value);
    if (m_link)
        m_link->send(Wire::Message{Wire::MessageType::Set, 0, 0, 0, key, value});
}

void RoomGuest::handleMessage(const Wire::Message &m)
{
    using Wire::MessageType;
    const bool admitted = m_size > 0;
    const bool slotOk = admitted && m.slot < m_size;
    switch (m.type) {
    case MessageType::Ping:
        return;
    case MessageType::Welcome:
        if (admitted)
            break;
        m_slot = m.slot;
        m_size = m.size;
        m_link->setHandshakeDone();
        emit welcomed(m_slot, m_size);
        return;
    case MessageType::Refuse:
        m_refusal = m.reason == int(Wire::RefuseReason::RoomFull) ? EndReason::RoomFull
                                                                  : EndReason::OtherProtocol;
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

void RoomGuest::handleEnd(MemberConnection::End end)
{
    m_link = nullptr;
    if (m_refusal != EndReason::None) {
        finish(m_refusal);
        return;
    }
    switch (end) {
    case MemberConnection::End::RemoteClosed:
        finish(m_size > 0 ? EndReason::HostLeft : EndReason::ConnectionLost);
        break;
    case MemberConnection::End::Stranger:
    case MemberConnection::End::OtherVersion:
    case MemberConnection::End::ProtocolError:
        finish(EndReason::OtherProtocol);
        break;
    case MemberConnection::End::HandshakeTimeout:
        finish(EndReason::NoAnswer);
        break;
    case MemberConnection::End::Broken:
    case MemberConnection::End::Silent:
    case MemberConnection::End::TooSlow:
        finish(EndReason::ConnectionLost);
        break;
    }
}

void RoomGuest::finish(EndReason reason)
{
    if (m_done)
        return;
    close();
    emit ended(reason);
}

void RoomGuest::close()
{
    if (m_done)
        return;
    m_done = true;
    m_attemptTimer.stop();
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    if (m_attempt) {
        m_attempt->disconnect(this);
        m_attempt->abort();
        m_attempt->deleteLater();
        m_attempt = nullptr;
    }
    if (m_link) {
        m_link->close();
        m_link = nullptr;
    }
}

} // namespace TAVIXLibCtl
