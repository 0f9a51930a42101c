#pragma once

#include <openssl/ssl.h>

#include <string>

namespace bench {

// TLS as the room has it: TLS 1.3 only, OpenSSL's default suites and groups,
// the room's own key and certificate on the relay, and clients that take the
// certificate unchecked (the room's members pin it instead).
class TlsContexts
{
public:
    TlsContexts() = default;
    ~TlsContexts();
    TlsContexts(const TlsContexts &) = delete;
    TlsContexts &operator=(const TlsContexts &) = delete;

    // `identity`: a PEM file holding the key and its certificate.
    bool load(const std::string &identity, std::string *error);
    SSL_CTX *server() const { return m_server; }
    SSL_CTX *client() const { return m_client; }

private:
    SSL_CTX *m_server = nullptr;
    SSL_CTX *m_client = nullptr;
};

// A listening socket on 127.0.0.1, non-blocking; its descriptor and *port,
// or -1 with the reason.
int listenOnLoopback(int *port, std::string *error);

// One non-blocking connection, plain or TLS, that asks the kernel for no
// more than a turn needs: one recv per read, and one send per write (per
// record with TLS). TCP_NODELAY.
class Stream
{
public:
    Stream() = default;
    ~Stream() { close(); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // Connects to 127.0.0.1:port, blocking until TLS (with `tls`) is set up.
    bool connect(int port, SSL_CTX *tls, std::string *error);
    // Takes the next waiting connection; TLS (with `tls`) then needs handshake().
    bool accept(int listening, SSL_CTX *tls);
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    SSL *ssl() const { return m_ssl; }

    // One step of a TLS handshake: 1 when done, 0 to wait (for writing when
    // *wantWrite), -1 when it failed.
    int handshake(bool *wantWrite);
    // Appends what one recv brought, with any TLS records that came whole
    // with it; false once the link has ended.
    bool read(std::string &in);
    // Sends from the front of `out` and erases what went. *blocked when the
    // kernel took less than all; false when the link failed.
    bool write(std::string &out, bool *blocked);
    void close();

private:
    int m_fd = -1;
    SSL *m_ssl = nullptr;
};

} // namespace bench
