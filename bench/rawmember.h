#pragma once

// A member spoken for by hand over TLS, as a hostile or broken one would
// speak: it joins, then does what an item has it do, bypassing everything a
// member's own room would check.

#include "wirecodec.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <functional>

namespace bench {

class RawMember : public QObject
{
public:
    // Joins the room at `address` and `port` as `name`, then calls `joined`.
    RawMember(const QHostAddress &address, quint16 port, const QString &name, std::function<void()> joined = {})
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.setSslConfiguration(tls);
        connect(&socket, &QSslSocket::encrypted, this, [this, name, joined = std::move(joined)] {
            using namespace TAVIXLibCtl::Wire;
            socket.write(preamble() + encode(Message::set(QStringLiteral("name"), name))
                         + encode(Message::join(15000)));
            if (joined)
                joined();
        });
        connect(&socket, &QSslSocket::readyRead, this, [this] {
            if (reading)
                socket.readAll();
        });
        socket.connectToHostEncrypted(address.toString(), port);
    }
    void send(const TAVIXLibCtl::Wire::Message &message) { socket.write(TAVIXLibCtl::Wire::encode(message)); }
    // Reads no more, but keeps saying PING: a member that is alive and stuck.
    void stopReading()
    {
        reading = false;
        socket.setReadBufferSize(1);
        connect(&beat, &QTimer::timeout, this, [this] { send(TAVIXLibCtl::Wire::Message::ping()); });
        beat.start(100);
    }

    QSslSocket socket;
    bool reading = true;

private:
    QTimer beat;
};

} // namespace bench
