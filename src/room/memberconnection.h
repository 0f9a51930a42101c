#pragma once

#include "roomtypes.h"
#include "wirecodec.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace TAVIXLibCtl {

// One framed link over TCP, on either end: preamble, frames, heartbeat,
// silence and stall detection, and a bounded outbound queue.
//
// It reports the end of the link once, through ended(); after that, or after
// the owner calls close() or abort(), it emits nothing more and deletes itself.
class MemberConnection : public QObject
{
    Q_OBJECT

public:
    enum class End {
        RemoteClosed,      // orderly close by the other side
        Broken,            // reset, or any other socket error
        Silent,            // nothing heard for the dead-peer time
        HandshakeTimeout,  // the handshake did not finish in time
        Stranger,          // the other side does not speak this protocol
        OtherVersion,      // it does, in another version
        ProtocolError,     // a malformed frame or a message out of place
        TooSlow,           // its outbound queue stayed full or overflowed
    };
    Q_ENUM(End)

    // Above this much unsent data the link counts as congested.
    static constexpr qint64 kCongested = 256 * 1024;

    // Takes ownership of a connected socket and sends the preamble at once.
    MemberConnection(QTcpSocket *socket, const Timeouts &timeouts, qint64 outboundLimit,
                     QObject *parent = nullptr);
    ~MemberConnection() override;

    void send(const QByteArray &frame);
    void send(const Wire::Message &message) { send(Wire::encode(message)); }
    qint64 backlog() const;
    bool isCongested() const { return backlog() > kCongested; }

    // Backpressure: while off, nothing is read, so TCP slows the sender.
    void setReadingEnabled(bool enabled);
    void setHandshakeDone();
    // A host drops a member whose queue stays congested; a member held back
    // by its host just waits.
    void setDropWhenStalled(bool drop) { m_dropWhenStalled = drop; }

    // Sends what is queued, then closes; the link outlives its owner until then.
    void close();
    void abort();

    int slot = -1; // the owner's bookkeeping

signals:
    void versionMismatch(quint16 version);
    void messageReceived(const Wire::Message &message);
    void ended(MemberConnection::End reason);
    void bytesWritten();

private:
    void processReadyRead();
    void flush();
    void processFrames();
    bool readPreamble();
    void tick();
    // Marks the link done; false when it already was.
    bool stop();
    void fail(End reason);

    QTcpSocket *m_socket;
    Timeouts m_timeouts;
    qint64 m_outboundLimit;
    Wire::FrameReader m_reader;
    QByteArray m_preamble;
    QTimer m_handshakeTimer;
    QTimer m_heartbeat;
    QElapsedTimer m_lastHeard;
    QElapsedTimer m_congestedSince;
    bool m_preambleDone = false;
    bool m_reading = true;
    bool m_done = false;
    bool m_overflowed = false;
    bool m_flushQueued = false;
    bool m_dropWhenStalled = false;
    bool m_processing = false;
    bool m_continueQueued = false;
};

} // namespace TAVIXLibCtl
