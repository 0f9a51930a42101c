#pragma once

// A hand-driven end of a link, for playing a stranger, a broken member or a
// fake host against the real room: over TLS as a room speaks, or in plain
// text as a stranger or an old version would.

#include "hostidentity.h"
#include "wirecodec.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <memory>

namespace Raw {

using namespace TAVIXLibCtl::Wire;

class Peer : public QObject
{
public:
    explicit Peer(QSslSocket *socket = nullptr) : m_socket(socket ? socket : new QSslSocket)
    {
        m_socket->setParent(this);
        connect(m_socket, &QSslSocket::readyRead, this, &Peer::pump);
    }

    // Connects and starts TLS; what is sent before it is up waits for it.
    // Only TCP is waited for: the host may run on this thread.
    bool connectTo(quint16 port, const QHostAddress &address = QHostAddress::LocalHost)
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_socket->setSslConfiguration(tls);
        m_socket->connectToHostEncrypted(address.toString(), port);
        return m_socket->waitForConnected(5000);
    }
    // Plain TCP, as a stranger or a member of version 1 would connect.
    bool connectPlain(quint16 port, const QHostAddress &address = QHostAddress::LocalHost)
    {
        m_socket->connectToHost(address, port);
        return m_socket->waitForConnected(5000);
    }
    void sendPreamble(quint16 version = kVersion) { m_socket->write(TAVIXLibCtl::Wire::preamble(version)); }
    // A host's first words to a member: an open room.
    void greet()
    {
        sendPreamble();
        send(Message::hello({}));
    }
    void send(const Message &m) { m_socket->write(encode(m)); }
    void sendRaw(const QByteArray &bytes) { m_socket->write(bytes); }
    void join(const QString &name)
    {
        sendPreamble();
        send(Message::set(QStringLiteral("name"), name));
        send(Message::join(15000));
    }
    // Stop reading: TCP then holds the other side back.
    void stopReading() { m_reading = false; m_socket->setReadBufferSize(1); }
    void resumeReading()
    {
        m_reading = true;
        m_socket->setReadBufferSize(0);
        pump();
    }
    // Read no more than this, unparsed, in tenths of a second.
    void readTrickle(int bytesPerSecond)
    {
        stopReading();
        m_socket->setReadBufferSize(bytesPerSecond / 10);
        auto *tenth = new QTimer(this);
        connect(tenth, &QTimer::timeout, this, [this, bytesPerSecond] { m_socket->read(bytesPerSecond / 10); });
        tenth->start(100);
    }
    // Keep saying PING, as a live member does.
    void keepHeartbeat()
    {
        auto *beat = new QTimer(this);
        connect(beat, &QTimer::timeout, this, [this] {
            if (isOpen())
                send(Message::ping());
        });
        beat->start(100);
    }

    QSslSocket *socket() const { return m_socket; }
    bool isOpen() const { return m_socket->state() == QAbstractSocket::ConnectedState; }
    QByteArray preambleIn() const { return m_preamble; }
    QList<Message> received;
    bool broken = false;

    int count(MessageType type) const
    {
        return int(std::count_if(received.cbegin(), received.cend(),
                                 [type](const Message &m) { return m.type == type; }));
    }

private:
    void pump()
    {
        if (!m_reading)
            return;
        if (m_preamble.size() < kPreambleSize)
            m_preamble += m_socket->read(kPreambleSize - m_preamble.size());
        m_reader.append(m_socket->readAll());
        QByteArrayView body;
        for (;;) {
            const auto r = m_reader.next(&body);
            if (r == FrameReader::Result::NeedMore)
                return;
            const auto m = r == FrameReader::Result::Frame ? decode(body) : std::nullopt;
            if (!m) {
                broken = true;
                return;
            }
            received << *m;
        }
    }

    QSslSocket *m_socket;
    FrameReader m_reader;
    QByteArray m_preamble;
    bool m_reading = true;
};

// Accepts connections over TLS, as this user's room would, or in plain text,
// and keeps them as raw peers.
class Server : public QTcpServer
{
public:
    enum class Speaks { Tls, PlainText };
    // TLS as the identity kept in `identityPath`, on `port` or any free one.
    explicit Server(Speaks speaks = Speaks::Tls,
                    const QString &identityPath = TAVIXLibCtl::HostIdentity::defaultPath(),
                    quint16 port = 0)
        : m_tls(speaks == Speaks::Tls), m_identityPath(identityPath)
    {
        listen(QHostAddress::LocalHost, port);
    }
    QList<Peer *> peers;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QString error;
        const auto identity = TAVIXLibCtl::HostIdentity::loadOrCreate(m_identityPath, &error);
        auto *socket = new QSslSocket;
        socket->setSocketDescriptor(descriptor);
        if (identity && m_tls) {
            // TLS 1.3 with the host's key, as a host speaks it, asking
            // members for no certificate.
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            tls.setProtocol(QSsl::TlsV1_3OrLater);
            tls.setLocalCertificate(identity->certificate);
            tls.setPrivateKey(identity->key);
            tls.setPeerVerifyMode(QSslSocket::VerifyNone);
            socket->setSslConfiguration(tls);
            socket->startServerEncryption();
        }
        peers << new Peer(socket);
        peers.last()->setParent(this);
        if (onPeer)
            onPeer(peers.last());
    }

public:
    std::function<void(Peer *)> onPeer;

private:
    bool m_tls;
    QString m_identityPath;
};

// Passes bytes between a member and the host and keeps a copy of both ways:
// at once, or Sliced into pieces of one to seven bytes, one piece a
// millisecond each way, so that TLS records arrive cut at every place, the
// handshake's included.
class Relay : public QTcpServer
{
public:
    enum class Pace { Whole, Sliced };
    explicit Relay(quint16 hostPort, Pace pace = Pace::Whole) : m_hostPort(hostPort), m_pace(pace)
    {
        listen(QHostAddress::LocalHost, 0);
    }
    QByteArray recorded;
    int pieces = 0;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *member = new QTcpSocket(this);
        member->setSocketDescriptor(descriptor);
        auto *host = new QTcpSocket(this);
        host->connectToHost(QHostAddress::LocalHost, m_hostPort);
        pass(member, host);
        pass(host, member);
    }

private:
    void pass(QTcpSocket *from, QTcpSocket *to)
    {
        if (m_pace == Pace::Whole) {
            connect(from, &QTcpSocket::readyRead, this, [this, from, to] {
                const QByteArray bytes = from->readAll();
                recorded += bytes;
                to->write(bytes);
            });
            return;
        }
        to->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto pending = std::make_shared<QByteArray>();
        auto *pace = new QTimer(this);
        connect(from, &QTcpSocket::readyRead, pace, [this, from, pending, pace] {
            const QByteArray bytes = from->readAll();
            recorded += bytes;
            *pending += bytes;
            if (!pace->isActive())
                pace->start(1);
        });
        connect(pace, &QTimer::timeout, to, [this, to, pending, pace] {
            const qsizetype n = qMin<qsizetype>(pending->size(), 1 + pieces % 7);
            to->write(pending->left(n));
            to->flush();
            pending->remove(0, n);
            ++pieces;
            if (pending->isEmpty())
                pace->stop();
        });
    }

    quint16 m_hostPort;
    Pace m_pace;
};

} // namespace Raw
