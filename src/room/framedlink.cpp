#include "framedlink.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>

namespace TAVIXLibCtl {

Q_LOGGING_CATEGORY(lcLink, "tavix.room.link", QtWarningMsg)

namespace {
// Qt stops reading from the kernel once this much is buffered, so a sender we
// do not read is held back by TCP itself.
constexpr qint64 kReadBuffer = 64 * 1024;
// Work done per turn of the event loop before yielding to other links.
constexpr qint64 kReadSlice = 256 * 1024;
// How long a closing link may take to flush.
constexpr std::chrono::milliseconds kLinger{5000};
// Checks per bound: a peer is found silent or stalled within a fifth of it.
constexpr int kTicksPerBound = 5;
constexpr std::chrono::milliseconds kShortestTick{10};

std::chrono::milliseconds tickInterval(const Timeouts &t)
{
    return std::max(kShortestTick, std::min(t.deadPeer, t.stall) / kTicksPerBound);
}
} // namespace

FramedLink::FramedLink(QTcpSocket *socket, const Timeouts &timeouts, qint64 outboundLimit,
                       QObject *parent)
    : FramedLink(socket, Role::Host, timeouts, outboundLimit, parent)
{
    startHandshake();
}

FramedLink::FramedLink(const QHostAddress &address, quint16 port, const Timeouts &timeouts,
                       qint64 outboundLimit, QObject *parent)
    : FramedLink(new QTcpSocket, Role::Member, timeouts, outboundLimit, parent)
{
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        startHandshake();
        emit connected();
    });
    qCDebug(lcLink) << "connecting to" << address << port;
    m_socket->connectToHost(address, port);
}

FramedLink::FramedLink(QTcpSocket *socket, Role role, const Timeouts &timeouts,
                       qint64 outboundLimit, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_role(role)
    , m_timeouts(timeouts)
    , m_outboundLimit(outboundLimit)
{
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &FramedLink::readIncoming);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &FramedLink::bytesWritten);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &FramedLink::socketError);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] { fail(End::RemoteClosed); });

    // One bound from the first SYN to the end of the room's handshake.
    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        fail(m_state == State::Connecting ? End::Unreachable : End::HandshakeTimeout);
    });
    m_handshakeTimer.start(m_timeouts.handshake);

    m_flushSoon.setSingleShot(true);
    m_flushSoon.setInterval(0);
    connect(&m_flushSoon, &QTimer::timeout, this, [this] {
        if (isLive())
            m_socket->flush();
    });
    m_readSoon.setSingleShot(true);
    m_readSoon.setInterval(0);
    connect(&m_readSoon, &QTimer::timeout, this, &FramedLink::readIncoming);
    connect(&m_heartbeat, &QTimer::timeout, this, &FramedLink::tick);
}

FramedLink::~FramedLink() = default;

void FramedLink::startHandshake()
{
    m_state = State::Handshaking;
    // Frames are written whole; without this, Nagle and delayed ACK stall
    // back-to-back messages.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket->setReadBufferSize(kReadBuffer);
    m_heartbeat.start(tickInterval(m_timeouts));
    m_lastHeard.start();
    send(Wire::preamble());
    if (m_socket->bytesAvailable() > 0)
        m_readSoon.start();
}

void FramedLink::socketError()
{
    switch (m_socket->error()) {
    case QAbstractSocket::RemoteHostClosedError:
        fail(End::RemoteClosed);
        return;
    case QAbstractSocket::ConnectionRefusedError:
        fail(m_state == State::Connecting ? End::Refused : End::Broken);
        return;
    default:
        fail(m_state == State::Connecting ? End::Unreachable : End::Broken);
        return;
    }
}

void FramedLink::send(const QByteArray &frame)
{
    if (!isLive())
        return;
    m_socket->write(frame);
    // Everything sent this turn leaves in one write at its end, without
    // waiting for the write notifier's own turn.
    if (!m_flushSoon.isActive())
        m_flushSoon.start();
    if (backlog() > m_outboundLimit) {
        // The caller may be walking its links: the end is reported from the
        // event loop.
        leave(State::Closed);
        m_socket->abort();
        QTimer::singleShot(0, this, [this] {
            emit ended(End::TooSlow);
            deleteLater();
        });
    }
}

qint64 FramedLink::backlog() const
{
    return m_socket->bytesToWrite();
}

void FramedLink::setReadingEnabled(bool enabled)
{
    if (m_readingEnabled == enabled)
        return;
    m_readingEnabled = enabled;
    // Silence while we were not listening proves nothing.
    m_lastHeard.restart();
    if (enabled)
        m_readSoon.start();
}

void FramedLink::setOpen()
{
    if (m_state != State::Handshaking)
        return;
    m_state = State::Open;
    m_handshakeTimer.stop();
}

void FramedLink::readIncoming()
{
    if (!isLive() || !m_readingEnabled || m_inReadLoop)
        return;
    m_inReadLoop = true;
    m_lastHeard.restart();

    // A handler below may spin a nested event loop in which this link ends and
    // is deleted: nothing of it is touched once that has happened.
    QPointer<FramedLink> self(this);
    qint64 consumed = 0;
    while (self && isLive() && m_readingEnabled) {
        if (m_preamble.size() < Wire::kPreambleSize) {
            if (!readPreamble())
                break;
            continue;
        }
        readFrames();
        if (!self || !isLive() || !m_readingEnabled)
            break;
        if (consumed >= kReadSlice) {
            if (m_socket->bytesAvailable() > 0)
                m_readSoon.start();
            break;
        }
        const QByteArray chunk = m_socket->read(kReadBuffer);
        if (chunk.isEmpty())
            break;
        consumed += chunk.size();
        m_reader.append(chunk);
    }
    if (self)
        m_inReadLoop = false;
}

bool FramedLink::readPreamble()
{
    const QByteArray bytes = m_socket->read(Wire::kPreambleSize - m_preamble.size());
    if (bytes.isEmpty())
        return false;
    m_preamble += bytes;
    quint16 version = 0;
    switch (Wire::checkPreamble(m_preamble, &version)) {
    case Wire::PreambleStatus::Incomplete:
    case Wire::PreambleStatus::Match:
        return true;
    case Wire::PreambleStatus::Stranger:
        fail(End::Stranger);
        return false;
    case Wire::PreambleStatus::OtherVersion:
        emit versionMismatch(version);
        fail(End::OtherVersion);
        return false;
    }
    return false;
}

void FramedLink::readFrames()
{
    QPointer<FramedLink> self(this);
    QByteArrayView body;
    while (isLive() && m_readingEnabled) {
        switch (m_reader.next(&body)) {
        case Wire::FrameReader::Result::NeedMore:
            return;
        case Wire::FrameReader::Result::Error:
            qCDebug(lcLink) << "dropping link:" << m_reader.errorString();
            fail(End::ProtocolError);
            return;
        case Wire::FrameReader::Result::Frame:
            break;
        }
        const auto message = Wire::decode(body);
        if (!message) {
            qCDebug(lcLink) << "dropping link: malformed message";
            fail(End::ProtocolError);
            return;
        }
        emit messageReceived(*message);
        if (!self)
            return;
    }
}

void FramedLink::tick()
{
    if (!isLive())
        return;
    if (m_socket->bytesToWrite() < kCongested)
        send(Wire::Message::ping());

    const auto silenceLimit = m_timeouts.deadPeer - tickInterval(m_timeouts);
    if (m_readingEnabled && m_lastHeard.elapsed() > silenceLimit.count()) {
        fail(End::Silent);
        return;
    }
    if (m_role == Role::Host && isCongested()) {
        if (!m_congestedSince.isValid())
            m_congestedSince.start();
        else if (m_congestedSince.elapsed() > m_timeouts.stall.count())
            fail(End::TooSlow);
    } else {
        m_congestedSince.invalidate();
    }
}

bool FramedLink::leave(State next)
{
    if (m_state == State::Closing || m_state == State::Closed)
        return false;
    m_state = next;
    m_handshakeTimer.stop();
    m_heartbeat.stop();
    m_flushSoon.stop();
    m_readSoon.stop();
    return true;
}

void FramedLink::fail(End reason)
{
    if (!leave(State::Closed))
        return;
    m_socket->abort();
    emit ended(reason);
    deleteLater();
}

void FramedLink::close()
{
    if (!leave(State::Closing))
        return;
    disconnect(m_socket, nullptr, this, nullptr);
    // Outlive the owner until the queue is flushed.
    setParent(nullptr);
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        m_socket->abort();
        deleteLater();
        return;
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &QObject::deleteLater);
    QTimer::singleShot(kLinger, this, &QObject::deleteLater);
    m_socket->disconnectFromHost();
}

void FramedLink::abort()
{
    if (!leave(State::Closed))
        return;
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    deleteLater();
}

} // namespace TAVIXLibCtl
