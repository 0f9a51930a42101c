#include "tlsstream.h"

#include "hostidentity.h"

#include <QPointer>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TAVIXLibCtl {

namespace {

// One recv takes every record a busy link holds.
constexpr int kReadAhead = 64 * 1024;
// A queue that grew this big for a slow peer gives its memory back once empty.
constexpr qsizetype kKeptCapacity = 256 * 1024;
// What the other side still says while we close is read in pieces this big, and dropped.
constexpr size_t kDrainChunk = 16 * 1024;

bool isRetry(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

QAbstractSocket::SocketError connectError(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QAbstractSocket::ConnectionRefusedError;
    case EACCES:
    case EPERM:
        return QAbstractSocket::SocketAccessError;
    default:
        return QAbstractSocket::NetworkError;
    }
}

// A reset is the other side gone, as an orderly close is.
QAbstractSocket::SocketError ioError(int error)
{
    return error == ECONNRESET || error == EPIPE ? QAbstractSocket::RemoteHostClosedError
                                                  : QAbstractSocket::NetworkError;
}

socklen_t toSockaddr(const QHostAddress &address, quint16 port, sockaddr_storage *out)
{
    *out = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof *in;
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
    if (const QString scope = address.scopeId(); !scope.isEmpty()) {
        bool numeric = false;
        const uint index = scope.toUInt(&numeric);
        in6->sin6_scope_id = numeric ? index : ::if_nametoindex(scope.toLatin1().constData());
    }
    return sizeof *in6;
}

SSL_CTX *newContext(const SSL_METHOD *method)
{
    SSL_CTX *ctx = SSL_CTX_new(method);
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, kReadAhead);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return ctx;
}

long bioControl(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

} // namespace

TlsContext::TlsContext(const TlsContext &other) : m_ctx(other.m_ctx)
{
    if (m_ctx)
        SSL_CTX_up_ref(m_ctx);
}

TlsContext &TlsContext::operator=(const TlsContext &other)
{
    if (other.m_ctx)
        SSL_CTX_up_ref(other.m_ctx);
    SSL_CTX_free(m_ctx);
    m_ctx = other.m_ctx;
    return *this;
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(m_ctx);
}

TlsContext TlsContext::forHost(const HostIdentity &identity, QString *error)
{
    ERR_clear_error();
    TlsContext context(newContext(TLS_server_method()));
    const QByteArray pem = identity.key.toPem() + identity.certificate.toPem();
    BIO *in = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    EVP_PKEY *key = in ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
    X509 *certificate = key ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr;
    const bool usable = context.m_ctx && certificate
                        && SSL_CTX_use_certificate(context.m_ctx, certificate) == 1
                        && SSL_CTX_use_PrivateKey(context.m_ctx, key) == 1
                        && SSL_CTX_check_private_key(context.m_ctx) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    BIO_free(in);
    if (!usable) {
        char reason[256] = "";
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        *error = QStringLiteral("cannot speak TLS with the host's key (%1)").arg(QString::fromLatin1(reason));
        return {};
    }
    // Nothing is resumed, so tickets would only cost the join.
    SSL_CTX_set_num_tickets(context.m_ctx, 0);
    return context;
}

TlsContext TlsContext::forMember()
{
    return TlsContext(newContext(TLS_client_method()));
}

bio_method_st *TlsStream::bioMethod()
{
    // Made once, kept for the life of the process.
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tavix stream");
        BIO_meth_set_read(m, &TlsStream::bioRead);
        BIO_meth_set_write(m, &TlsStream::bioWrite);
        BIO_meth_set_ctrl(m, &bioControl);
        return m;
    }();
    return method;
}

TlsStream::TlsStream(QObject *parent) : QObject(parent)
{
    connect(&m_readNotifier, &QSocketNotifier::activated, this, &TlsStream::readable);
    connect(&m_writeNotifier, &QSocketNotifier::activated, this, &TlsStream::writable);
}

TlsStream::~TlsStream()
{
    closeSocket();
}

void TlsStream::open(int fd)
{
    m_fd = fd;
    m_readNotifier.setSocket(fd);
    m_writeNotifier.setSocket(fd);
}

bool TlsStream::setSocketDescriptor(qintptr descriptor)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = int(descriptor);
    if (m_fd >= 0 || ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return false;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    m_peer = QHostAddress(reinterpret_cast<const sockaddr *>(&peer));
    open(fd);
    m_state = QAbstractSocket::ConnectedState;
    m_readNotifier.setEnabled(true);
    return true;
}

void TlsStream::connectToHost(const QHostAddress &address, quint16 port)
{
    sockaddr_storage to;
    const socklen_t length = toSockaddr(address, port, &to);
    m_peer = address;
    m_state = QAbstractSocket::ConnectingState;
    const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        report(QAbstractSocket::UnsupportedSocketOperationError);
        return;
    }
    open(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), length) == 0 || errno == EINPROGRESS)
        m_writeNotifier.setEnabled(true); // said from the event loop, even when at once
    else
        report(connectError(errno));
}

void TlsStream::connectFinished()
{
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == EINPROGRESS || error == EALREADY)
        return;
    m_writeNotifier.setEnabled(false);
    if (error != 0) {
        report(connectError(error));
        return;
    }
    m_state = QAbstractSocket::ConnectedState;
    emit connected();
}

void TlsStream::setSocketOption(QAbstractSocket::SocketOption option, const QVariant &value)
{
    const int on = value.toInt();
    if (option == QAbstractSocket::LowDelayOption)
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    else if (option == QAbstractSocket::KeepAliveOption)
        ::setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

void TlsStream::startEncryption(SslMode mode)
{
    if (m_ssl || m_fd < 0 || m_ended)
        return;
    m_ssl = m_context.isNull() ? nullptr : SSL_new(m_context.handle());
    BIO *bio = m_ssl ? BIO_new(bioMethod()) : nullptr;
    if (!bio) {
        report(QAbstractSocket::SslInternalError);
        return;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl, bio, bio);
    if (mode == SslServerMode)
        SSL_set_accept_state(m_ssl);
    else
        SSL_set_connect_state(m_ssl);
    m_mode = mode;
    m_readNotifier.setEnabled(true);
    continueHandshake(); // what it says first; it cannot finish without an answer
}

void TlsStream::continueHandshake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    const int sslError = result == 1 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, result);
    if (m_sendError) {
        report(ioError(m_sendError));
        return;
    }
    if (result == 1) {
        m_encrypted = true;
        if (!m_out.isEmpty())
            m_flushSoon.request();
        emit encrypted();
        return;
    }
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE)
        return;
    if (m_recvError)
        report(ioError(m_recvError));
    else if (m_peerEnded)
        reportClosed();
    else
        report(QAbstractSocket::SslHandshakeFailedError);
}

QByteArray TlsStream::peerCertificateDigest() const
{
    X509 *certificate = m_encrypted ? SSL_get0_peer_certificate(m_ssl) : nullptr;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), qsizetype(length));
}

void TlsStream::readable()
{
    m_drained = false;
    if (m_closing) {
        drain();
        return;
    }
    if (!m_ssl) {
        readPlain();
        return;
    }
    if (!m_encrypted) {
        continueHandshake();
        return;
    }
    m_readCalled = false;
    const QPointer<TlsStream> self(this);
    emit readyRead();
    // Nobody read: no more notices until someone does.
    if (self && !m_readCalled)
        m_readNotifier.setEnabled(false);
}

void TlsStream::readPlain()
{
    const qsizetype limit = m_readBufferSize > 0 ? qsizetype(m_readBufferSize) : kReadAhead;
    const qsizetype room = limit - (m_in.size() - m_inStart);
    if (room <= 0) {
        m_readNotifier.setEnabled(false);
        return;
    }
    const qsizetype had = m_in.size();
    m_in.resize(had + room);
    const ssize_t got = ::recv(m_fd, m_in.data() + had, size_t(room), 0);
    m_in.resize(had + qMax<ssize_t>(got, 0));
    if (got > 0) {
        emit readyRead();
        return;
    }
    if (got < 0 && isRetry(errno))
        return;
    m_inputEnded = true;
    if (got == 0)
        reportClosed();
    else
        report(ioError(errno));
}

qint64 TlsStream::bytesAvailable() const
{
    if (m_fd < 0 || m_inputEnded)
        return 0;
    if (!m_ssl)
        return m_in.size() - m_inStart;
    if (!m_encrypted)
        return 0;
    // A record not yet whole counts as something to try.
    const int pending = SSL_pending(m_ssl);
    return pending > 0 ? pending : (SSL_has_pending(m_ssl) ? 1 : 0);
}

void TlsStream::resumeNotices()
{
    if (m_fd >= 0 && !m_ended && !m_closing && !m_readNotifier.isEnabled())
        m_readNotifier.setEnabled(true);
}

qint64 TlsStream::read(char *data, qint64 most)
{
    m_readCalled = true;
    if (m_fd < 0 || m_inputEnded)
        return -1;
    resumeNotices();
    if (most <= 0)
        return 0;
    if (!m_ssl) {
        const qint64 n = qMin<qint64>(most, m_in.size() - m_inStart);
        std::memcpy(data, m_in.constData() + m_inStart, size_t(n));
        m_inStart += n;
        return n;
    }
    if (!m_encrypted)
        return 0;
    ERR_clear_error();
    size_t got = 0;
    const int result = SSL_read_ex(m_ssl, data, size_t(most), &got);
    if (result == 1) {
        if (m_sendError) // answering a key update, say
            report(ioError(m_sendError));
        return qint64(got);
    }
    const int sslError = SSL_get_error(m_ssl, result);
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE)
        return 0;
    inputEnded(sslError);
    return -1;
}

QByteArray TlsStream::read(qint64 most)
{
    QByteArray bytes(most, Qt::Uninitialized);
    bytes.resize(qMax<qint64>(read(bytes.data(), most), 0));
    return bytes;
}

void TlsStream::inputEnded(int sslError)
{
    m_inputEnded = true;
    m_readNotifier.setEnabled(false);
    if (m_recvError)
        report(ioError(m_recvError));
    else if (sslError == SSL_ERROR_ZERO_RETURN || m_peerEnded)
        reportClosed(); // close_notify, or the end of the stream without it
    else
        report(QAbstractSocket::SslInternalError);
}

int TlsStream::bioRead(bio_st *bio, char *data, int size)
{
    auto *self = static_cast<TlsStream *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (self->m_inStart < self->m_in.size()) { // what came before TLS started
        const int n = int(qMin<qsizetype>(size, self->m_in.size() - self->m_inStart));
        std::memcpy(data, self->m_in.constData() + self->m_inStart, size_t(n));
        self->m_inStart += n;
        if (self->m_inStart == self->m_in.size()) {
            self->m_in = QByteArray();
            self->m_inStart = 0;
        }
        return n;
    }
    // A recv that came back short found the socket empty: the next would
    // only say so again.
    if (self->m_drained) {
        BIO_set_retry_read(bio);
        return -1;
    }
    const ssize_t got = ::recv(self->m_fd, data, size_t(size), 0);
    if (got > 0) {
        self->m_drained = got < size;
        return int(got);
    }
    if (got == 0) {
        self->m_peerEnded = true;
        return 0;
    }
    if (isRetry(errno)) {
        self->m_drained = true;
        BIO_set_retry_read(bio);
        return -1;
    }
    self->m_recvError = errno;
    return -1;
}

// Never blocks TLS: what the kernel does not take waits in m_wire, and a
// broken socket is reported after the TLS call.
int TlsStream::bioWrite(bio_st *bio, const char *data, int size)
{
    auto *self = static_cast<TlsStream *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    self->send(data, size);
    return size;
}

void TlsStream::send(const char *data, qsizetype size)
{
    if (m_sendError || m_fd < 0)
        return;
    if (m_wireStart == m_wire.size()) {
        const ssize_t sent = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL);
        if (sent < 0 && !isRetry(errno)) {
            m_sendError = errno;
            return;
        }
        const qsizetype taken = qMax<ssize_t>(sent, 0);
        m_unannounced += taken;
        if (taken == size)
            return;
        data += taken;
        size -= taken;
    }
    m_wire.append(data, size);
    m_writeNotifier.setEnabled(true);
}

qint64 TlsStream::write(const QByteArray &data)
{
    if (m_fd < 0 || m_closing)
        return -1;
    m_out.append(QByteArrayView(data)); // a copy: the caller's frame goes to every member
    m_flushSoon.request();
    return data.size();
}

bool TlsStream::flush()
{
    if (m_out.isEmpty() || m_state != QAbstractSocket::ConnectedState || (m_ssl && !m_encrypted))
        return false;
    bool done = true;
    if (m_ssl) {
        ERR_clear_error();
        size_t written = 0;
        done = SSL_write_ex(m_ssl, m_out.constData(), size_t(m_out.size()), &written) == 1;
    } else {
        send(m_out.constData(), m_out.size());
    }
    if (m_out.capacity() > kKeptCapacity)
        m_out = QByteArray();
    else
        m_out.resize(0);
    if (m_sendError)
        report(ioError(m_sendError));
    else if (!done)
        report(QAbstractSocket::SslInternalError);
    return done && !m_sendError;
}

void TlsStream::writable()
{
    if (m_state == QAbstractSocket::ConnectingState) {
        connectFinished();
        return;
    }
    sendQueued();
}

void TlsStream::sendQueued()
{
    // One send a wake-up: a second would mostly find the socket full.
    const ssize_t sent = ::send(m_fd, m_wire.constData() + m_wireStart, size_t(m_wire.size() - m_wireStart),
                                MSG_NOSIGNAL);
    if (sent < 0 && !isRetry(errno)) {
        m_sendError = errno;
        m_writeNotifier.setEnabled(false);
        if (m_closing) {
            finishClosing();
        } else {
            report(ioError(m_sendError));
        }
        return;
    }
    m_wireStart += qMax<ssize_t>(sent, 0);
    m_unannounced += qMax<ssize_t>(sent, 0);
    if (m_wireStart == m_wire.size()) {
        if (m_wire.capacity() > kKeptCapacity)
            m_wire = QByteArray();
        else
            m_wire.resize(0);
        m_wireStart = 0;
        m_writeNotifier.setEnabled(false);
        if (m_closing) {
            shutDownOurHalf();
            return;
        }
    } else if (m_wireStart > m_wire.size() / 2) {
        m_wire.remove(0, m_wireStart);
        m_wireStart = 0;
    }
    if (m_unannounced > 0 && !m_closing)
        emit encryptedBytesWritten(std::exchange(m_unannounced, 0));
}

void TlsStream::endOfTurn()
{
    flush();
    if (m_unannounced > 0 && !m_closing)
        emit encryptedBytesWritten(std::exchange(m_unannounced, 0));
}

void TlsStream::disconnectFromHost()
{
    if (m_fd < 0 || m_closing)
        return;
    if (m_state != QAbstractSocket::ConnectedState || (m_ssl && !m_encrypted)) {
        finishClosing();
        return;
    }
    flush();
    m_flushSoon.cancel();
    m_closing = true;
    m_state = QAbstractSocket::ClosingState;
    if (m_ssl && !m_sendError) {
        ERR_clear_error();
        SSL_shutdown(m_ssl); // close_notify
    }
    m_readNotifier.setEnabled(true); // read and drop until the other side closes
    if (m_wireStart == m_wire.size())
        shutDownOurHalf();
}

void TlsStream::shutDownOurHalf()
{
    ::shutdown(m_fd, SHUT_WR);
    if (m_peerEnded || m_sendError)
        finishClosing();
}

void TlsStream::drain()
{
    char sink[kDrainChunk];
    const ssize_t got = ::recv(m_fd, sink, sizeof sink, 0);
    if (got > 0 || (got < 0 && isRetry(errno)))
        return;
    m_peerEnded = true;
    m_readNotifier.setEnabled(false);
    // What we still owe goes out first, unless the socket is broken.
    if (got < 0 || m_wireStart == m_wire.size())
        finishClosing();
}

void TlsStream::finishClosing()
{
    closeSocket();
    QMetaObject::invokeMethod(this, [this] {
        if (!m_quiet)
            emit disconnected();
    }, Qt::QueuedConnection);
}

void TlsStream::abort()
{
    closeSocket();
    m_ended = true;
    m_quiet = true;
}

void TlsStream::report(QAbstractSocket::SocketError error)
{
    if (m_ended)
        return;
    m_ended = true;
    m_error = error;
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    QMetaObject::invokeMethod(this, [this, error] {
        if (!m_quiet)
            emit errorOccurred(error);
    }, Qt::QueuedConnection);
}

void TlsStream::reportClosed()
{
    if (m_ended)
        return;
    m_ended = true;
    m_error = QAbstractSocket::RemoteHostClosedError;
    QMetaObject::invokeMethod(this, [this] {
        if (!m_quiet)
            emit disconnected();
    }, Qt::QueuedConnection);
}

void TlsStream::closeSocket()
{
    m_flushSoon.cancel();
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    m_readNotifier.setSocket(-1);
    m_writeNotifier.setSocket(-1);
    if (m_ssl) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_state = QAbstractSocket::UnconnectedState;
}

} // namespace TAVIXLibCtl
