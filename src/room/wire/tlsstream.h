#pragma once

#include "endofturn.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QVariant>

struct bio_st;
struct bio_method_st;
struct ssl_st;
struct ssl_ctx_st;

namespace TAVIXLibCtl {

struct HostIdentity;

// How one side speaks TLS: 1.3 only, with OpenSSL's default suites and
// groups. A host shows its certificate and asks none of members; a member
// checks none against an authority, it pins the host's key (FramedLink's
// secured()). No session is resumed, so every join shows the host's key.
class TlsContext
{
public:
    TlsContext() = default;
    TlsContext(const TlsContext &other);
    TlsContext &operator=(const TlsContext &other);
    ~TlsContext();

    // Null, with OpenSSL's reason in `error`, when the identity is unusable.
    static TlsContext forHost(const HostIdentity &identity, QString *error);
    static TlsContext forMember();
    bool isNull() const { return !m_ctx; }
    ssl_ctx_st *handle() const { return m_ctx; }

private:
    explicit TlsContext(ssl_ctx_st *ctx) : m_ctx(ctx) {}
    ssl_ctx_st *m_ctx = nullptr;
};

// One TCP connection and its TLS, on a non-blocking socket that OpenSSL
// reads and writes through us: each wake-up reads what the socket has and
// decrypts it into the caller's buffer, and what a turn of the event loop
// queued is encrypted and written once at its end (EndOfTurn), with no
// buffer in between and no event posted to wake the loop. The names follow
// QSslSocket's where it does the same.
//
// Reading follows the reader: a readyRead() that nobody answers with read()
// stops the notices until the next read(), so bytes left in the kernel hold
// the sender back through TCP. Before TLS starts, what comes in is kept (up
// to setReadBufferSize()) for peek(), and TLS reads it first.
//
// Every signal comes from the event loop, never from inside a call of its
// owner: an end met inside read() or flush() is reported a turn later.
// abort() and the destructor say nothing.
class TlsStream : public QObject
{
    Q_OBJECT

public:
    enum SslMode { UnencryptedMode, SslClientMode, SslServerMode };

    explicit TlsStream(QObject *parent = nullptr);
    ~TlsStream() override;

    // An accepted connection; false when the descriptor is not a socket.
    bool setSocketDescriptor(qintptr descriptor);
    // connected() or errorOccurred() follows.
    void connectToHost(const QHostAddress &address, quint16 port);
    void setSslConfiguration(const TlsContext &context) { m_context = context; }
    void startServerEncryption() { startEncryption(SslServerMode); }
    void startClientEncryption() { startEncryption(SslClientMode); }

    QAbstractSocket::SocketState state() const { return m_state; }
    QAbstractSocket::SocketError error() const { return m_error; }
    SslMode mode() const { return m_mode; }
    bool isEncrypted() const { return m_encrypted; }
    QHostAddress peerAddress() const { return m_peer; }
    // SHA-256 of the certificate the other side showed; empty before TLS.
    QByteArray peerCertificateDigest() const;
    void setSocketOption(QAbstractSocket::SocketOption option, const QVariant &value);
    // How much comes in before TLS starts; 0: no limit.
    void setReadBufferSize(qint64 size) { m_readBufferSize = size; }

    // Before TLS, what came in and was not read.
    QByteArray peek(qint64 most) const { return m_in.mid(m_inStart, most); }
    // What can be read without waiting for the socket; 0 once input ended.
    qint64 bytesAvailable() const;
    // Up to `most` bytes of plain text straight into `data`: before TLS what
    // was kept, after it what the records decrypt to. 0 when nothing is
    // there now, -1 once the input ended (reported from the event loop).
    qint64 read(char *data, qint64 most);
    QByteArray read(qint64 most);

    // Queued until the end of the turn, or flush().
    qint64 write(const QByteArray &data);
    // Encrypts what is queued and hands the kernel what it takes; what it
    // does not take goes out as the socket drains.
    bool flush();
    qint64 bytesToWrite() const { return m_out.size(); }
    qint64 encryptedBytesToWrite() const { return m_wire.size() - m_wireStart; }

    // Writes what is queued and close_notify, shuts our half, and reads (and
    // drops) until the other side closes too: then disconnected().
    void disconnectFromHost();
    void abort();

signals:
    void connected();
    void encrypted();
    void readyRead();
    void encryptedBytesWritten(qint64 written);
    void errorOccurred(QAbstractSocket::SocketError error);
    void disconnected();

private:
    static bio_method_st *bioMethod();
    static int bioRead(bio_st *bio, char *data, int size);
    static int bioWrite(bio_st *bio, const char *data, int size);

    void open(int fd);
    void startEncryption(SslMode mode);
    void readable();
    void writable();
    void readPlain();
    void continueHandshake();
    void connectFinished();
    // Hands `size` bytes to the kernel, keeping what it does not take.
    void send(const char *data, qsizetype size);
    void sendQueued();
    void endOfTurn();
    void resumeNotices();
    // Input ended: by close_notify, end of file, a reset or broken TLS.
    void inputEnded(int sslError);
    void shutDownOurHalf();
    void drain();
    // The socket is closed; disconnected() follows from the event loop.
    void finishClosing();
    // Reported from the event loop; the first end wins.
    void report(QAbstractSocket::SocketError error);
    void reportClosed();
    void closeSocket();

    int m_fd = -1;
    ssl_st *m_ssl = nullptr;
    TlsContext m_context;
    QSocketNotifier m_readNotifier{QSocketNotifier::Read};
    QSocketNotifier m_writeNotifier{QSocketNotifier::Write};
    EndOfTurn m_flushSoon{[this] { endOfTurn(); }};
    QHostAddress m_peer;
    QAbstractSocket::SocketState m_state = QAbstractSocket::UnconnectedState;
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    SslMode m_mode = UnencryptedMode;

    QByteArray m_in; // plain text before TLS
    qsizetype m_inStart = 0;
    qint64 m_readBufferSize = 0;
    QByteArray m_out;  // plain text queued this turn
    QByteArray m_wire; // what the kernel has not taken yet
    qsizetype m_wireStart = 0;
    qint64 m_unannounced = 0; // written, encryptedBytesWritten() not emitted yet

    bool m_encrypted = false;
    bool m_drained = false;    // the last recv of this wake-up found the socket empty
    bool m_readCalled = false; // read() answered the readyRead() under way
    bool m_peerEnded = false;  // recv said end of file
    bool m_inputEnded = false;
    bool m_closing = false;
    bool m_ended = false; // an end was reported, or is on its way
    bool m_quiet = false; // aborted: nothing more is said
    int m_sendError = 0;
    int m_recvError = 0;
};

} // namespace TAVIXLibCtl
