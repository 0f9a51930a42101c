#include "memberconnection.h"

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
constexpr int kLingerMs = 5000;

std::chrono::milliseconds tickInterval(const Timeouts &t)
{
    return std::max(std::chrono::milliseconds(10), std::min(t.deadPeer, t.stall) / 5);
}
} // namespace

MemberConnection::MemberConnection(QTcpSocket *socket, const Timeouts &timeouts,
                                   qint64 outboundLimit, QObject *parent)
    : QObject(parent), m_socket(socket), m_timeouts(timeouts), m_outboundLimit(outboundLimit)
{
    m_socket->setParent(this);
    // Frames are written whole; without this, Nagle and delayed ACK stall
    // back-to-back messages.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket->setReadBufferSize(kReadBuffer);

    connect(m_socket, &QTcpSocket::readyRead, this, &MemberConnection::processReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &MemberConnection::bytesWritten);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        fail(error == QAbstractSocket::RemoteHostClosedError ? End::RemoteClosed : End::Broken);
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] { fail(End::RemoteClosed); });

    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] { fail(End::HandshakeTimeout); });
    m_handshakeTimer.start(m_timeouts.handshake);

    connect(&m_heartbeat, &QTimer::timeout, this, &MemberConnection::tick);
    m_heartbeat.start(tickInterval(m_timeouts));
    m_lastHeard.start();

    m_socket->write(Wire::preamble());
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &MemberConnection::processReadyRead, Qt::QueuedConnection);
}

MemberConnection::~MemberConnection() = default;

void MemberConnection::send(const QByteArray &frame)
{
    if (m_done || m_overflowed)
        return;
    m_socket->write(frame);
    if (!m_flushQueued) {
        // Everything sent this turn leaves in one write at its end, without
        // waiting for the write notifier's own turn.
        m_flushQueued = true;
        QMetaObject::invokeMethod(this, &MemberConnection::flush, Qt::QueuedConnection);
    }
    if (backlog() > m_outboundLimit) {
        // Reported from the event loop: the caller may be walking its links.
        m_overflowed = true;
        QMetaObject::invokeMethod(this, [this] { fail(End::TooSlow); }, Qt::QueuedConnection);
    }
}

void MemberConnection::flush()
{
    m_flushQueued = false;
    if (!m_done)
        m_socket->flush();
}

qint64 MemberConnection::backlog() const
{
    return m_socket->bytesToWrite();
}

void MemberConnection::setReadingEnabled(bool enabled)
{
    if (m_reading == enabled)
        return;
    m_reading = enabled;
    // Silence while we were not listening proves nothing.
    m_lastHeard.restart();
    if (enabled && !m_continueQueued) {
        m_continueQueued = true;
        QMetaObject::invokeMethod(this, &MemberConnection::processReadyRead, Qt::QueuedConnection);
    }
}

void MemberConnection::setHandshakeDone()
{
    m_handshakeTimer.stop();
}

void MemberConnection::processReadyRead()
{
    m_continueQueued = false;
    if (m_done || m_processing)
        return;
    m_processing = true;
    m_lastHeard.restart();

    qint64 consumed = 0;
    QPointer<MemberConnection> self(this);
    while (self && !m_done && m_reading) {
        if (!m_preambleDone) {
            if (!readPreamble())
                break;
            continue;
        }
        processFrames();
        if (!self || m_done || !m_reading)
            break;
        if (consumed >= kReadSlice) {
            if (m_socket->bytesAvailable() > 0 && !m_continueQueued) {
                m_continueQueued = true;
                QMetaObject::invokeMethod(this, &MemberConnection::processReadyRead,
                                          Qt::QueuedConnection);
            }
            break;
        }
        const QByteArray chunk = m_socket->read(kReadBuffer);
        if (chunk.isEmpty())
            break;
        consumed += chunk.size();
        m_reader.append(chunk);
    }
    if (self)
        m_processing = false;
}

bool MemberConnection::readPreamble()
{
    const QByteArray bytes = m_socket->read(Wire::kPreambleSize - m_preamble.size());
    if (bytes.isEmpty())
        return false;
    m_preamble += bytes;
    quint16 version = 0;
    switch (Wire::checkPreamble(m_preamble, &version)) {
    case Wire::PreambleStatus::Incomplete:
        return true;
    case Wire::PreambleStatus::Match:
        m_preambleDone = true;
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

void MemberConnection::processFrames()
{
    QPointer<MemberConnection> self(this);
    QByteArrayView body;
    while (!m_done && m_reading) {
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

void MemberConnection::tick()
{
    if (m_done)
        return;
    if (m_socket->bytesToWrite() < MemberConnection::kCongested)
        send(Wire::encode(Wire::Message{Wire::MessageType::Ping}));

    const auto silenceLimit = m_timeouts.deadPeer - tickInterval(m_timeouts);
    if (m_reading && m_lastHeard.elapsed() > silenceLimit.count()) {
        fail(End::Silent);
        return;
    }
    if (m_dropWhenStalled && isCongested()) {
        if (!m_congestedSince.isValid())
            m_congestedSince.start();
        else if (m_congestedSince.elapsed() > m_timeouts.stall.count())
            fail(End::TooSlow);
    } else {
        m_congestedSince.invalidate();
    }
}

bool MemberConnection::stop()
{
    if (m_done)
        return false;
    m_done = true;
    m_handshakeTimer.stop();
    m_heartbeat.stop();
    return true;
}

void MemberConnection::fail(End reason)
{
    if (!stop())
        return;
    m_socket->abort();
    emit ended(reason);
    deleteLater();
}

void MemberConnection::close()
{
    if (!stop())
        return;
    disconnect(m_socket, nullptr, this, nullptr);
    // Outlive the owner until the queue is flushed.
    setParent(nullptr);
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &QObject::deleteLater);
    QTimer::singleShot(kLingerMs, this, &QObject::deleteLater);
    m_socket->disconnectFromHost();
}

void MemberConnection::abort()
{
    if (!stop())
        return;
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    deleteLater();
}

} // namespace TAVIXLibCtl
