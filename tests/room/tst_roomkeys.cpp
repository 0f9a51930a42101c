// Private rooms: what a host's key is made of and kept in, what an
// eavesdropper on the way sees, and what a member does when the host it
// knew shows another key.
#include "hostidentity.h"
#include "knownhosts.h"
#include "rawpeer.h"
#include "roommember.h"
#include "roomtext.h"

#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace RoomTest;
using Raw::Message;
using Raw::MessageType;

namespace {

// Passes bytes between a member and the host, keeping a copy of both ways.
class RecordingRelay : public QTcpServer
{
public:
    explicit RecordingRelay(quint16 hostPort) : m_hostPort(hostPort)
    {
        listen(QHostAddress::LocalHost, 0);
    }
    QByteArray recorded;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *member = new QTcpSocket(this);
        member->setSocketDescriptor(descriptor);
        auto *host = new QTcpSocket(this);
        host->connectToHost(QHostAddress::LocalHost, m_hostPort);
        const auto pass = [this](QTcpSocket *from, QTcpSocket *to) {
            connect(from, &QTcpSocket::readyRead, this, [this, from, to] {
                const QByteArray bytes = from->readAll();
                recorded += bytes;
                to->write(bytes);
            });
        };
        pass(member, host);
        pass(host, member);
    }

private:
    quint16 m_hostPort;
};

// Points this user's configuration at a folder of the test's own.
class ConfigFolder
{
public:
    ConfigFolder() : m_saved(qgetenv("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", m_folder.path().toLocal8Bit());
    }
    ~ConfigFolder() { qputenv("XDG_CONFIG_HOME", m_saved); }

private:
    QTemporaryDir m_folder;
    QByteArray m_saved;
};

QByteArray pemOfNewIdentity(bool keyOnly)
{
    QTemporaryDir folder;
    QString error;
    const auto identity = HostIdentity::loadOrCreate(folder.filePath(QStringLiteral("id.pem")), &error);
    return keyOnly ? identity->key.toPem() : identity->key.toPem() + identity->certificate.toPem();
}

} // namespace

class tst_RoomKeys : public QObject
{
    Q_OBJECT

private slots:
    void aHostKeepsOneKeyAcrossRooms();
    void aKeyFileThatCannotServeKeepsTheHostFromStarting_data();
    void aKeyFileThatCannotServeKeepsTheHostFromStarting();
    void aRelayOnTheWaySeesNoNameAndNoLine();
    void aHostWithAnotherKeyIsRefusedUntilForgotten();
};

void tst_RoomKeys::aHostKeepsOneKeyAcrossRooms()
{
    ConfigFolder config;
    QByteArray first;
    for (int room = 0; room < 2; ++room) {
        auto h = host(QStringLiteral("H"));
        QCOMPARE(h->room->state(), Room::State::Hosting);
        QCOMPARE(h->room->hostFingerprint().size(), 32);
        if (room == 0)
            first = h->room->hostFingerprint();
        QCOMPARE(h->room->hostFingerprint(), first);
    }
    const QString path = HostIdentity::defaultPath();
    QVERIFY2(path.endsWith(QStringLiteral("/tavix/host-identity.pem")), qPrintable(path));
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                            | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                            | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFile::permissions(path) & others, QFileDevice::Permissions());
    // The fingerprint is the SHA-256 of the certificate in the file.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QSslCertificate certificate(file.readAll(), QSsl::Pem);
    QCOMPARE(first, QCryptographicHash::hash(certificate.toDer(), QCryptographicHash::Sha256));
}

void tst_RoomKeys::aKeyFileThatCannotServeKeepsTheHostFromStarting_data()
{
    QTest::addColumn<QByteArray>("contents"); // empty: a folder stands in its place
    QTest::newRow("a folder where the file should be") << QByteArray();
    QTest::newRow("a file of garbage") << QByteArray("-----BEGIN nonsense-----\n\x01\x02");
    QTest::newRow("a key without its certificate") << pemOfNewIdentity(true);
    QByteArray mixed = pemOfNewIdentity(true);
    const QByteArray other = pemOfNewIdentity(false);
    mixed += other.mid(other.indexOf("-----BEGIN CERTIFICATE"));
    QTest::newRow("a certificate that belongs to another key") << mixed;
}

void tst_RoomKeys::aKeyFileThatCannotServeKeepsTheHostFromStarting()
{
    QFETCH(QByteArray, contents);
    ConfigFolder config;
    const QString path = HostIdentity::defaultPath();
    QVERIFY(QDir().mkpath(contents.isEmpty() ? path : QFileInfo(path).absolutePath()));
    if (!contents.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    auto h = host(QStringLiteral("H"));
    QTRY_COMPARE(h->disconnects, 1);
    QCOMPARE(h->room->endReason(), EndReason::ListenFailed);
    QVERIFY2(h->room->endDetail().contains(path), qPrintable(h->room->endDetail()));
    // Never replaced behind the user's back.
    if (!contents.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), contents);
    } else {
        QVERIFY(QFileInfo(path).isDir());
    }
}

void tst_RoomKeys::aRelayOnTheWaySeesNoNameAndNoLine()
{
    auto h = host(QStringLiteral("ホスト"));
    RecordingRelay relay(portOf(*h));
    const QString name = QStringLiteral("ひみつの名前");
    const QString line = QStringLiteral("the password is swordfish");
    auto a = joiner(name, relay.serverPort());
    QTRY_VERIFY(joined(*a));
    a->room->setData(kChat, line);
    QTRY_COMPARE(h->room->memberData(1, kChat), line);
    QTRY_COMPARE(a->room->memberData(1, kChat), line);
    QVERIFY(relay.recorded.size() > 1000); // both handshakes and the room went through it
    for (const QString &secret : {name, line, QStringLiteral("ホスト")}) {
        QVERIFY2(!relay.recorded.contains(secret.toUtf8()), qPrintable(secret));
    }
    QVERIFY(!relay.recorded.contains("TVXR")); // not even the preamble
}

void tst_RoomKeys::aHostWithAnotherKeyIsRefusedUntilForgotten()
{
    ConfigFolder config;
    auto h = host(QStringLiteral("H"));
    const quint16 port = portOf(*h);
    const QByteArray knownKey = h->room->hostFingerprint();
    {
        auto a = joiner(QStringLiteral("A"), port);
        QTRY_VERIFY(joined(*a));
        QCOMPARE(a->room->hostFingerprint(), knownKey);
    }
    QCOMPARE(KnownHosts().fingerprint(QStringLiteral("127.0.0.1"), port), knownKey);
    h.reset();

    // Another machine answers at the same address and port, with a key of its own.
    QTemporaryDir elsewhere;
    Raw::Server impostor(Raw::Server::Speaks::Tls, elsewhere.filePath(QStringLiteral("id.pem")), port);
    QVERIFY(impostor.isListening());
    impostor.onPeer = [](Raw::Peer *p) {
        p->sendPreamble();
        p->send(Message::welcome(1, 5, 15000));
        p->send(Message::store(1, kName, QStringLiteral("A")));
        p->send(Message::arrive(1));
    };
    auto refused = joiner(QStringLiteral("A"), port);
    QTRY_COMPARE(refused->disconnects, 1);
    QCOMPARE(refused->room->endReason(), EndReason::HostKeyChanged);
    QCOMPARE(RoomText::reason(EndReason::HostKeyChanged), QStringLiteral("ホストの鍵が変わりました"));
    QVERIFY(refused->room->hostFingerprint() != knownKey); // shown, to compare aloud
    QTRY_COMPARE(impostor.peers.size(), 1);
    QTest::qWait(100); // what the member would have said is on its way by now
    QVERIFY(impostor.peers.first()->preambleIn().isEmpty()); // not a byte of the room, not the name
    QVERIFY(impostor.peers.first()->received.isEmpty());

    // Once the user forgets the old key, the new host is joined and kept.
    QCOMPARE(KnownHosts().forget(QStringLiteral("127.0.0.1")), 1);
    auto again = joiner(QStringLiteral("A"), port);
    QTRY_VERIFY(joined(*again));
    QCOMPARE(KnownHosts().fingerprint(QStringLiteral("127.0.0.1"), port), again->room->hostFingerprint());
    QCOMPARE(impostor.peers.last()->count(MessageType::Join), 1);
}

QTEST_GUILESS_MAIN(tst_RoomKeys)
#include "tst_roomkeys.moc"
