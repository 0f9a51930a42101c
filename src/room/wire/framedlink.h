#pragma once

#include "timeouts.h"
#include "tlsstream.h"
#include "wirecodec.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <span>

namespace TAVIXLibCtl {

// One framed link over TLS, used at both ends of a room: the connection
// attempt, TLS, the preamble, frames, heartbeat and silence detection, and a
// bounded outbound queue. Whom a host drops for holding its room up is the
// host's affair (StallRule).
//
// A link moves one way through its states:
//
//     Connecting -> Securing -> Handshaking -> Open -> Closing -> (deleted)
//          \____________\_____________\__________\______-> Closed -> (deleted)
//
// Connecting: a member's TCP connection attempt. Securing: TLS 1.3 is being
// set up; a host first looks at what the member sent, and answers a member
// of version 1, which speaks in plain text, in its own terms. Handshaking:
// encrypted; a member sends its preamble at once, a host once it has read
// the member's, in that member's version; the room's own handshake (hello,
// the door, join, welcome) is under way. The handshake bound runs from the first SYN to the end of the
// room's handshake. Open: the owner said the handshake is done. A link whose
// peer closed stays Handshaking or Open until what the peer said before is
// read, also when reading is paused meanwhile; then it ends.
// Closing: the owner closed it; what is queued still goes out, then the link
// deletes itself. Closed: it ended by itself or was aborted.
//
// Each side pings often enough for both its own dead-peer bound and the
// other side's, which the handshake tells it (setPeerDeadPeer()), so that no
// healthy peer is dropped because the two were set differently. Silence is
// measured also while reading is paused; only a read buffer left full by
// our own pause excuses it.
//
// What it emits, and when. Everything comes from the event loop, never from
// inside a call its owner made. A link that ends by itself says so once,
// through ended(), as it leaves the live states; one its owner closed or
// aborted says nothing. After that it emits nothing more and deletes itself
// later. A handler of secured() or messageReceived() may close or abort the
// link, or spin a nested event loop in which it is deleted.
class FramedLink : public QObject
{
    Q_OBJECT

public:
    enum class State { Connecting, Securing, Handshaking, Open, Closing, Closed };
    Q_ENUM(State)

    enum class End {
        Refused,           // connecting: nothing listens there
        Unreachable,       // connecting: no route, or no answer in time
        RemoteClosed,      // orderly close by the other side
        Broken,            // reset, or any other socket error
        Silent,            // nothing heard for the dead-peer time
        HandshakeTimeout,  // connected, but the handshake did not finish in time
        Stranger,          // the other side does not speak this protocol, or TLS failed
        OtherVersion,      // it does, in another version
        ProtocolError,     // a malformed frame or a message out of place
        TooSlow,           // its outbound queue stayed full or overflowed
    };
    Q_ENUM(End)

    // A host's end answers a connection; a member's makes it and checks the
    // host's certificate.
    enum class Role { Host, Member };

    // The stream stops reading from the kernel once this much is buffered,
    // so a sender we do not read is held back by TCP itself.
    static constexpr qint64 kReadBuffer = 64 * 1024;

    // The host's end of an accepted connection, with the host's certificate
    // and key in `tls`. What the socket holds already is looked at too.
    FramedLink(TlsStream *socket, const TlsContext &tls, const Timeouts &timeouts,
               qint64 outboundLimit, QObject *parent = nullptr);
    // A member's end: connects to `address`. secured() shows the host's
    // certificate before anything is said; ready() says when to speak.
    FramedLink(const QHostAddress &address, quint16 port, const Timeouts &timeouts,
               qint64 outboundLimit, QObject *parent = nullptr);
    ~FramedLink() override;

    State state() const { return m_state; }
    QHostAddress peerAddress() const;
    // The version the other side's preamble named; 0 until it is read.
    quint16 peerVersion() const { return m_peerVersion; }

    // Queues a frame; ignored unless handshaking or open. What is queued
    // leaves when control returns to the event loop, or at flush().
    void send(const QByteArray &frame);
    void send(const Wire::Message &message) { send(Wire::encode(message)); }
    void flush();
    qint64 backlog() const;

    // Backpressure: while off, nothing is read, so TCP slows the sender. On a
    // host, off means the room is waiting.
    void setReadingEnabled(bool enabled);
    // The room's handshake is done: the handshake bound no longer applies.
    void setOpen();
    // Keys its owner's messages mostly carry: read as these very strings.
    // They must outlive the link.
    void setKnownKeys(std::span<const QString> keys) { m_knownKeys = keys; }
    // The other side drops us after this much silence (from the handshake).
    void setPeerDeadPeer(std::chrono::milliseconds bound);
    // A member's handler of secured() may hold the link there, saying
    // nothing, until it resumes it (or aborts it); ready() follows resume()
    // from the event loop. The handshake bound runs on meanwhile.
    void hold();
    void resume();

    // Sends what is queued, then closes; the link outlives its owner until then.
    void close();
    // Drops the connection at once.
    void abort();

signals:
    // TLS is up; nothing of ours has been sent. A handler may abort().
    void secured(const QByteArray &peerFingerprint);
    // A host's end: the member took a step of its handshake (a whole first
    // TLS record, encryption, its preamble).
    void progressed();
    // A host's end: the member's preamble is read and ours is on its way.
    void greeted();
    void ready();
    void versionMismatch(quint16 version);
    void messageReceived(const Wire::Message &message);
    void ended(FramedLink::End reason);
    void bytesWritten();

private:
    FramedLink(TlsStream *socket, Role role, const Timeouts &timeouts, qint64 outboundLimit,
               QObject *parent);
    void tcpConnected();
    void lookAtFirstBytes();
    void answerInPlainText();
    void tlsEstablished();
    void goOn();
    void startHandshake();
    void sendPreamble(quint16 version);
    void socketError();
    void readIncoming();
    void keepIncoming();
    bool sliceUsedUp();
    qint64 take(qint64 most);
    void peerClosed();
    bool readPreamble();
    void readFrames();
    void tick();
    std::chrono::milliseconds tickInterval() const;
    bool isLive() const { return m_state == State::Handshaking || m_state == State::Open; }
    void closeGracefully();
    // Leaves the live states; false when the link already had.
    bool leave(State next);
    void fail(End reason);

    TlsStream *m_socket;
    const Role m_role;
    const Timeouts m_timeouts;
    const qint64 m_outboundLimit;
    State m_state = State::Connecting;
    Wire::FrameReader m_reader;
    QByteArray m_preamble;
    QTimer m_handshakeTimer;
    QTimer m_heartbeat;
    QTimer m_readSoon;   // reading resumes on a later turn
    QElapsedTimer m_lastHeard;
    std::chrono::milliseconds m_peerDeadPeer;
    bool m_readingEnabled = true;
    bool m_inReadLoop = false; // a handler's nested event loop must not re-enter it
    quint64 m_slicePass = 0;   // the turn m_sliceUsed counts, by EndOfTurn::pass()
    qint64 m_sliceUsed = 0;
    bool m_peerClosed = false; // what it said before is still being read
    bool m_held = false; // secured, and held there by the owner
    quint16 m_peerVersion = 0;
    bool m_preambleSent = false;
    std::span<const QString> m_knownKeys;
};

} // namespace TAVIXLibCtl
