#include "framedlink.h"

#include <QLoggingCategory>
#include <QPointer>

namespace TAVIXLibCtl {

Q_LOGGING_CATEGORY(lcLink, "tavix.room.link", QtWarningMsg)

namespace {
// What a link handles in a turn of the event loop before yielding to the
// others; its lines relayed stay below what makes a host's room wait
// (StallRule::kBehind).
constexpr qint64 kReadSlice = 64 * 1024;
// How long a closing link may take to flush.
constexpr std::chrono::milliseconds kLinger{5000};
// Checks per bound: a peer is found silent or stalled within a fifth of it.
constexpr int kTicksPerBound = 5;
// What a peer may ask of our heartbeat at most.
constexpr std::chrono::milliseconds kShortestTick{10};
// A ping queued behind this much says nothing the data before it does not.
constexpr qint64 kPingBacklog = 128 * 1024;
// The first byte of a TLS handshake record: what a ClientHello starts with.
constexpr char kTlsHandshakeRecord = 0x16;
// Type, version and length come before a TLS record's body.
constexpr qint64 kTlsRecordHeader = 5;
} // namespace

FramedLink::FramedLink(TlsStream *socket, const TlsContext &tls, const Timeouts &timeouts,
                       qint64 outboundLimit, QObject *parent)
    : FramedLink(socket, Role::Host, timeouts, outboundLimit, parent)
{
    m_socket->setSslConfiguration(tls);
    connect(m_socket, &TlsStream::readyRead, this, &FramedLink::lookAtFirstBytes);
    tcpConnected();
    // A connection that waited to be taken may have spoken already.
    QTimer::singleShot(0, this, &FramedLink::lookAtFirstBytes);
}

FramedLink::FramedLink(const QHostAddress &address, quint16 port, const Timeouts &timeouts,
                       qint64 outboundLimit, QObject *parent)
    : FramedLink(new TlsStream, Role::Member, timeouts, outboundLimit, parent)
{
    m_socket->setSslConfiguration(TlsContext::forMember());
    connect(m_socket, &TlsStream::connected, this, [this] {
        tcpConnected();
        m_socket->startClientEncryption();
    });
    qCDebug(lcLink) << "connecting to" << address << port;
    m_socket->connectToHost(address, port);
}

FramedLink::FramedLink(TlsStream *socket, Role role, const Timeouts &timeouts,
                       qint64 outboundLimit, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_role(role)
    , m_timeouts(timeouts)
    , m_outboundLimit(outboundLimit)
    , m_peerDeadPeer(timeouts.deadPeer)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(kReadBuffer);
    connect(m_socket, &TlsStream::encrypted, this, &FramedLink::tlsEstablished);
    connect(m_socket, &TlsStream::readyRead, this, &FramedLink::readIncoming);
    // What is queued counts until it is on the wire, encrypted.
    connect(m_socket, &TlsStream::encryptedBytesWritten, this, &FramedLink::bytesWritten);
    connect(m_socket, &TlsStream::errorOccurred, this, &FramedLink::socketError);
    connect(m_socket, &TlsStream::disconnected, this, &FramedLink::peerClosed);

    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        fail(m_state == State::Connecting ? End::Unreachable : End::HandshakeTimeout);
    });
    m_handshakeTimer.start(m_timeouts.handshake);

    m_readSoon.setSingleShot(true);
    m_readSoon.setInterval(0);
    connect(&m_readSoon, &QTimer::timeout, this, &FramedLink::readIncoming);
    connect(&m_heartbeat, &QTimer::timeout, this, &FramedLink::tick);
}

FramedLink::~FramedLink() = default;

void FramedLink::tcpConnected()
{
    m_state = State::Securing;
    // Frames are written whole; without this, Nagle and delayed ACK stall
    // back-to-back messages.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
}

// A host's first look: a TLS record starts the handshake; the preamble of a
// room in plain text is a member of version 1.
void FramedLink::lookAtFirstBytes()
{
    if (m_state != State::Securing || m_socket->mode() != TlsStream::UnencryptedMode)
        return;
    const QByteArray first = m_socket->peek(Wire::kPreambleSize);
    if (first.isEmpty())
        return;
    if (first.front() == kTlsHandshakeRecord) {
        // Encryption starts once the first record is whole: until then the
        // connection has made no progress, which the host weighs when it
        // must drop one.
        if (first.size() >= kTlsRecordHeader) {
            const qint64 length = (quint8(first[3]) << 8) | quint8(first[4]);
            if (m_socket->bytesAvailable() < kTlsRecordHeader + length)
                return;
        } else {
            return;
        }
        disconnect(m_socket, &TlsStream::readyRead, this, &FramedLink::lookAtFirstBytes);
        m_socket->startServerEncryption();
        emit progressed();
        return;
    }
    switch (Wire::checkPreamble(first)) {
    case Wire::PreambleStatus::Incomplete:
        return;
    case Wire::PreambleStatus::Stranger:
        fail(End::Stranger);
        return;
    case Wire::PreambleStatus::Match:
    case Wire::PreambleStatus::OtherVersion:
        answerInPlainText();
        return;
    }
}

void FramedLink::answerInPlainText()
{
    // What a host of version 1 would say to another version: our preamble
    // and a refusal it can read, in the clear.
    leave(State::Closing);
    m_socket->write(Wire::preamble() + Wire::encode(Wire::Message::refuse(Wire::RefuseReason::OtherVersion)));
    closeGracefully();
    emit ended(End::OtherVersion);
}

void FramedLink::tlsEstablished()
{
    if (m_state != State::Securing)
        return;
    if (m_role == Role::Member) {
        QPointer<FramedLink> self(this);
        emit secured(m_socket->peerCertificateDigest());
        if (!self || m_state != State::Securing || m_held)
            return; // the owner did not trust it, or has not decided yet
    }
    goOn();
}

void FramedLink::goOn()
{
    startHandshake();
    if (m_role == Role::Member)
        emit ready();
    else
        emit progressed();
}

void FramedLink::hold()
{
    if (m_state == State::Securing)
        m_held = true;
}

void FramedLink::resume()
{
    if (!std::exchange(m_held, false))
        return;
    QTimer::singleShot(0, this, [this] {
        if (m_state == State::Securing)
            goOn();
    });
}

void FramedLink::startHandshake()
{
    m_state = State::Handshaking;
    m_heartbeat.start(tickInterval());
    m_lastHeard.start();
    // A host answers in the member's version, once it has read it.
    if (m_role == Role::Member)
        sendPreamble(Wire::kVersion);
    // What came with TLS, or while secured() was handled.
    m_readSoon.start();
}

void FramedLink::socketError()
{
    switch (m_socket->error()) {
    case QAbstractSocket::RemoteHostClosedError:
        peerClosed();
        return;
    case QAbstractSocket::ConnectionRefusedError:
        fail(m_state == State::Connecting ? End::Refused : End::Broken);
        return;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        fail(End::Stranger);
        return;
    default:
        fail(m_state == State::Connecting ? End::Unreachable : End::Broken);
        return;
    }
}

void FramedLink::send(const QByteArray &frame)
{
    if (!isLive() || m_peerClosed)
        return;
    // A host that speaks before the member's preamble came, to refuse it,
    // speaks its own version.
    if (!m_preambleSent)
        sendPreamble(Wire::kVersion);
    // What a turn queued is encrypted and written once, at the end of the
    // turn: one write per link per turn.
    m_socket->write(frame);
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

void FramedLink::sendPreamble(quint16 version)
{
    m_preambleSent = true;
    m_socket->write(Wire::preamble(version));
}

void FramedLink::flush()
{
    if (isLive())
        m_socket->flush();
}

QHostAddress FramedLink::peerAddress() const
{
    return m_socket->peerAddress();
}

qint64 FramedLink::backlog() const
{
    return m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite();
}

void FramedLink::setReadingEnabled(bool enabled)
{
    if (m_readingEnabled == enabled)
        return;
    m_readingEnabled = enabled;
    if (enabled)
        m_readSoon.start();
}

void FramedLink::setPeerDeadPeer(std::chrono::milliseconds bound)
{
    m_peerDeadPeer = bound;
    if (isLive())
        m_heartbeat.start(tickInterval());
}

std::chrono::milliseconds FramedLink::tickInterval() const
{
    return std::max(kShortestTick, std::min(m_timeouts.deadPeer, m_peerDeadPeer) / kTicksPerBound);
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
    if (!m_socket->isEncrypted())
        return; // the host's first look
    if (!isLive() || m_inReadLoop || !m_readingEnabled) {
        keepIncoming();
        return;
    }
    m_inReadLoop = true;

    // A handler below may spin a nested event loop in which this link ends and
    // is deleted: nothing of it is touched once that has happened.
    QPointer<FramedLink> self(this);
    bool later = false;
    while (self && isLive() && m_readingEnabled) {
        if (m_preamble.size() < Wire::kPreambleSize) {
            if (!readPreamble())
                break;
            continue;
        }
        readFrames();
        if (!self || !isLive() || !m_readingEnabled)
            break;
        if (sliceUsedUp()) {
            // Called by the stream without reading, it hears no more of it.
            m_readSoon.start();
            later = true;
            break;
        }
        if (take(kReadBuffer) <= 0)
            break;
    }
    if (!self)
        return;
    m_inReadLoop = false;
    if (m_peerClosed && !later && isLive() && m_readingEnabled && m_socket->bytesAvailable() == 0)
        fail(End::RemoteClosed);
}

// A turn's lines go out at its end, before the next turn reads on: so what
// one link's lines fill in a turn stays below what makes the host's room wait.
bool FramedLink::sliceUsedUp()
{
    if (EndOfTurn::pass() != m_slicePass) {
        m_slicePass = EndOfTurn::pass();
        m_sliceUsed = 0;
    }
    return m_sliceUsed >= kReadSlice;
}

// What comes while it cannot be handled (reading paused, a handler's nested
// event loop) is kept up to kReadBuffer; the stream then stops reading.
void FramedLink::keepIncoming()
{
    if (isLive() && m_preamble.size() == Wire::kPreambleSize)
        take(kReadBuffer - m_reader.buffered());
}

// Decrypts straight into the frame reader. Bytes that came in are word from
// the peer, even if they are not handled now; reading resumed after a pause
// has heard nothing new.
qint64 FramedLink::take(qint64 most)
{
    const qint64 got = most > 0 ? m_reader.appendFrom(m_socket, most) : 0;
    if (got > 0)
        m_lastHeard.restart();
    return got;
}

// What the peer said before it closed is still read and handled, also when
// reading is paused just then; the link ends once it has all been read.
void FramedLink::peerClosed()
{
    if (!isLive()) {
        fail(End::RemoteClosed);
        return;
    }
    m_peerClosed = true;
    m_heartbeat.stop();
    if (m_readingEnabled)
        m_readSoon.start();
}

bool FramedLink::readPreamble()
{
    const QByteArray bytes = m_socket->read(Wire::kPreambleSize - m_preamble.size());
    if (bytes.isEmpty())
        return false;
    m_preamble += bytes;
    quint16 version = 0;
    const quint16 oldest = m_role == Role::Host ? Wire::kOldestMemberVersion : Wire::kVersion;
    switch (Wire::checkPreamble(m_preamble, &version, oldest)) {
    case Wire::PreambleStatus::Incomplete:
        return true;
    case Wire::PreambleStatus::Match:
        m_peerVersion = version;
        if (m_role == Role::Host) {
            if (!m_preambleSent)
                sendPreamble(version);
            emit progressed();
            emit greeted();
        }
        return true;
    case Wire::PreambleStatus::Stranger:
        fail(End::Stranger);
        return false;
    case Wire::PreambleStatus::OtherVersion:
        if (m_role == Role::Host && !m_preambleSent)
            sendPreamble(Wire::kVersion);
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
    while (isLive() && m_readingEnabled && !sliceUsedUp()) {
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
        const auto message = Wire::decode(body, m_knownKeys);
        if (!message) {
            qCDebug(lcLink) << "dropping link: malformed message";
            fail(End::ProtocolError);
            return;
        }
        m_sliceUsed += body.size();
        emit messageReceived(*message);
        if (!self)
            return;
    }
}

void FramedLink::tick()
{
    if (!isLive())
        return;
    // A host says nothing before the member's preamble, which names the
    // version to answer in.
    if (backlog() <= kPingBacklog && m_preambleSent)
        send(Wire::Message::ping());

    // A full buffer that we do not read proves the peer spoke; we stopped listening.
    if (!m_readingEnabled && m_reader.buffered() >= kReadBuffer)
        m_lastHeard.restart();
    // Checked a tick early, so that no bound is ever overrun.
    if (m_lastHeard.elapsed() > (m_timeouts.deadPeer - tickInterval()).count())
        fail(End::Silent);
}

bool FramedLink::leave(State next)
{
    if (m_state == State::Closing || m_state == State::Closed)
        return false;
    m_state = next;
    m_handshakeTimer.stop();
    m_heartbeat.stop();
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
    closeGracefully();
}

void FramedLink::closeGracefully()
{
    m_state = State::Closing;
    disconnect(m_socket, nullptr, this, nullptr);
    // Outlive the owner until the queue is flushed.
    setParent(nullptr);
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        m_socket->abort();
        deleteLater();
        return;
    }
    connect(m_socket, &TlsStream::disconnected, this, &QObject::deleteLater);
    connect(m_socket, &TlsStream::errorOccurred, this, &QObject::deleteLater);
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
