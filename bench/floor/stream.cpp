#include "stream.h"

#include <openssl/err.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace bench {

namespace {

// The same as a plain recv takes at once, so that TLS reads no less per call.
constexpr long kReadAhead = 64 * 1024;

std::string opensslError(const char *what)
{
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return std::string(what) + ": " + text;
}

bool prepare(SSL_CTX *ctx)
{
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1)
        return false;
    // Partial writes let a blocked write resume from our own buffer, which
    // may grow in between.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Read a whole socket's worth at once, not a record header and then its body.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, kReadAhead);
    return true;
}

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(std::uint16_t(port));
    return addr;
}

void setNoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool wouldBlock(SSL *ssl, int result)
{
    const int error = SSL_get_error(ssl, result);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

} // namespace

TlsContexts::~TlsContexts()
{
    SSL_CTX_free(m_server);
    SSL_CTX_free(m_client);
}

bool TlsContexts::load(const std::string &identity, std::string *error)
{
    m_server = SSL_CTX_new(TLS_server_method());
    m_client = SSL_CTX_new(TLS_client_method());
    if (!prepare(m_server) || !prepare(m_client)) {
        *error = opensslError("cannot set up TLS");
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(m_server, identity.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(m_server, identity.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(m_server) != 1) {
        *error = opensslError(("cannot use " + identity).c_str());
        return false;
    }
    // No session is ever resumed here: no tickets to send or to read.
    SSL_CTX_set_num_tickets(m_server, 0);
    SSL_CTX_set_verify(m_client, SSL_VERIFY_NONE, nullptr);
    return true;
}

int listenOnLoopback(int *port, std::string *error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 256) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        *error = std::string("cannot listen: ") + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

bool Stream::connect(int port, SSL_CTX *tls, std::string *error)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopback(port);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        *error = std::string("cannot connect: ") + std::strerror(errno);
        close();
        return false;
    }
    setNoDelay(m_fd);
    if (tls && (!(m_ssl = SSL_new(tls)) || SSL_set_fd(m_ssl, m_fd) != 1 || SSL_connect(m_ssl) != 1)) {
        *error = opensslError("TLS handshake failed");
        close();
        return false;
    }
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool Stream::accept(int listening, SSL_CTX *tls)
{
    close();
    m_fd = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (m_fd < 0)
        return false;
    setNoDelay(m_fd);
    if (tls) {
        m_ssl = SSL_new(tls);
        SSL_set_fd(m_ssl, m_fd);
        SSL_set_accept_state(m_ssl);
    }
    return true;
}

int Stream::handshake(bool *wantWrite)
{
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1)
        return 1;
    const int error = SSL_get_error(m_ssl, result);
    *wantWrite = error == SSL_ERROR_WANT_WRITE;
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

bool Stream::read(std::string &in)
{
    char buffer[kReadAhead];
    if (!m_ssl) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            in.append(buffer, size_t(n));
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    // The first SSL_read makes the one recv; the rest decrypt what it brought.
    do {
        const int n = SSL_read(m_ssl, buffer, sizeof buffer);
        if (n <= 0)
            return wouldBlock(m_ssl, n);
        in.append(buffer, size_t(n));
    } while (SSL_has_pending(m_ssl));
    return true;
}

bool Stream::write(std::string &out, bool *blocked)
{
    *blocked = false;
    if (!m_ssl) {
        const ssize_t n = ::send(m_fd, out.data(), out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            *blocked = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            return *blocked;
        }
        out.erase(0, size_t(n));
        *blocked = !out.empty();
        return true;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const int n = SSL_write(m_ssl, out.data() + done, int(std::min<std::size_t>(out.size() - done, INT_MAX)));
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (!wouldBlock(m_ssl, n)) {
            out.clear();
            return false;
        }
        *blocked = true;
        break;
    }
    out.erase(0, done);
    return true;
}

void Stream::close()
{
    if (m_ssl) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace bench
