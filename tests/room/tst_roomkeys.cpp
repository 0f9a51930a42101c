// Private rooms: what a host's key is made of and kept in, what an
// eavesdropper on the way sees, and what a member does when the host it
// knew shows another key.
#include "hostidentity.h"
#include "knownhosts.h"
#include "rawpeer.h"
#include "roommember.h"
#include "roomtext.h"
#include "../configfolder.h"

#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace RoomTest;
using Raw::Message;
using Raw::MessageType;

namespace {

void write(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        file.write(contents);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A fingerprint of 32 bytes that are all `byte`, and as a line kept for 127.0.0.1:5120.
QByteArray pin(char byte)
{
    return QByteArray(32, byte);
}
QByteArray line(char byte, const QByteArray &address = "127.0.0.1")
{
    return address + " 5120 " + pin(byte).toHex();
}

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
    void aKeyFileIsUsedOnlyWhenWholeAndPrivate_data();
    void aKeyFileIsUsedOnlyWhenWholeAndPrivate();
    void aRelayOnTheWaySeesNoNameAndNoLine();
    void keptKeysFailClosedAndKeepWhatTheyDoNotRead_data();
    void keptKeysFailClosedAndKeepWhatTheyDoNotRead();
    void membersKeepingKeysAtOnceLoseNone_data();
    void membersKeepingKeysAtOnceLoseNone();
    void aHostTheKeptKeysDoNotVouchForHearsNothing_data();
    void aHostTheKeptKeysDoNotVouchForHearsNothing();
    void aJoinGoesToThePortItsAddressNames_data();
    void aJoinGoesToThePortItsAddressNames();
    void aFirstVisitWaitsForTheKeptKeysLockWithoutBlocking();
};

void tst_RoomKeys::aHostKeepsOneKeyAcrossRooms()
{
    ConfigFolder config;
    const mode_t umask = ::umask(0); // a folder for keys is private whatever the umask
    auto restoreUmask = qScopeGuard([umask] { ::umask(umask); });
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
    QCOMPARE(QFile::permissions(QFileInfo(path).absolutePath()) & others, QFileDevice::Permissions());
    // The fingerprint is the SHA-256 of the certificate in the file.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QSslCertificate certificate(file.readAll(), QSsl::Pem);
    QCOMPARE(first, QCryptographicHash::hash(certificate.toDer(), QCryptographicHash::Sha256));
}

void tst_RoomKeys::aKeyFileIsUsedOnlyWhenWholeAndPrivate_data()
{
    QTest::addColumn<QByteArray>("contents"); // "folder": a folder stands in its place
    QTest::addColumn<QString>("prepare");
    QTest::addColumn<QString>("refusal"); // what the detail says; empty: the room opens
    const QByteArray whole = pemOfNewIdentity(false);
    QTest::newRow("a folder where the file should be") << QByteArray("folder") << "" << "cannot read";
    QTest::newRow("a file of garbage")
        << QByteArray("-----BEGIN nonsense-----\n\x01\x02") << "" << "no usable key";
    QTest::newRow("a key without its certificate") << pemOfNewIdentity(true) << "" << "no usable key";
    QByteArray mixed = pemOfNewIdentity(true);
    mixed += whole.mid(whole.indexOf("-----BEGIN CERTIFICATE"));
    QTest::newRow("a certificate that belongs to another key") << mixed << "" << "no usable key";
    QTest::newRow("a key file of another user") << whole << "foreign" << "belongs to another user";
    QTest::newRow("a key file others may read is made private") << whole << "readable" << "";
    QTest::newRow("a folder others may read is made private") << whole << "openFolder" << "";
    QTest::newRow("a stale temporary file is not reused") << QByteArray() << "stale" << "";
    QTest::newRow("a link planted where the temporary goes") << QByteArray() << "link" << "";
}

void tst_RoomKeys::aKeyFileIsUsedOnlyWhenWholeAndPrivate()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, prepare);
    QFETCH(QString, refusal);
    ConfigFolder config;
    const QString path = HostIdentity::defaultPath();
    const QString temporary = path + QStringLiteral(".%1.tmp").arg(::getpid());
    const QString victim = path + QStringLiteral(".victim");
    QVERIFY(QDir().mkpath(contents == "folder" ? path : QFileInfo(path).absolutePath()));
    if (!contents.isEmpty() && contents != "folder")
        write(path, contents);
    if (prepare == QLatin1String("foreign")) {
        if (::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    } else if (prepare == QLatin1String("readable")) {
        QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("readable by others")));
    } else if (prepare == QLatin1String("openFolder")) {
        const QString folder = QFileInfo(path).absolutePath();
        QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFileDevice::ReadOther | QFileDevice::ExeOther));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("open to others; it is now private")));
    } else if (prepare == QLatin1String("stale")) {
        write(temporary, "left by a process that died");
    } else if (prepare == QLatin1String("link")) {
        write(victim, "not yours");
        QVERIFY(QFile::link(victim, temporary));
    }
    auto h = host(QStringLiteral("H"));
    if (refusal.isEmpty()) {
        QCOMPARE(h->room->state(), Room::State::Hosting);
        QCOMPARE(QFile::permissions(path), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
        QCOMPARE(QFile::permissions(QFileInfo(path).absolutePath()) & QFileDevice::ReadOther, QFileDevice::Permissions());
        QVERIFY(!QFileInfo(path).isSymLink());
        QVERIFY(!QFileInfo::exists(temporary) && !QFileInfo(temporary).isSymLink());
        if (prepare == QLatin1String("link"))
            QCOMPARE(readAll(victim), QByteArray("not yours"));
        return;
    }
    // Not hosting once the call returns; its end follows from the event loop.
    QCOMPARE(h->room->state(), Room::State::Idle);
    QTRY_COMPARE(h->disconnects, 1);
    QCOMPARE(h->room->endReason(), EndReason::ListenFailed);
    QVERIFY2(h->room->endDetail().contains(path) && h->room->endDetail().contains(refusal),
             qPrintable(h->room->endDetail()));
    // Never replaced behind the user's back.
    if (contents == "folder")
        QVERIFY(QFileInfo(path).isDir());
    else
        QCOMPARE(readAll(path), contents);
}

void tst_RoomKeys::aRelayOnTheWaySeesNoNameAndNoLine()
{
    auto h = host(QStringLiteral("ホスト"));
    Raw::Relay relay(portOf(*h));
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

void tst_RoomKeys::keptKeysFailClosedAndKeepWhatTheyDoNotRead_data()
{
    QTest::addColumn<QByteArray>("kept"); // "folder": a folder stands in its place
    QTest::addColumn<QString>("address");
    QTest::addColumn<QList<QByteArray>>("pins"); // the pins for address:5120; none when unread
    QTest::addColumn<bool>("readable");
    using Pins = QList<QByteArray>;
    QTest::newRow("a folder in place of the file") << QByteArray("folder") << "127.0.0.1" << Pins{} << false;
    QTest::newRow("a file without a final newline")
        << line('a', "example.org") << "127.0.0.1" << Pins{} << true;
    QTest::newRow("lines ending in CRLF")
        << line('a') + "\r\n" + line('b', "example.org") + "\r\n" << "127.0.0.1" << Pins{pin('a')} << true;
    QTest::newRow("a line of garbage is skipped and kept")
        << "# my hosts\n%%% garbage %%%\n" + line('a') + "\n" << "127.0.0.1" << Pins{pin('a')} << true;
    QTest::newRow("two pins for one address")
        << line('a') + "\n" + line('b') + "\n" << "127.0.0.1" << Pins{pin('a'), pin('b')} << true;
    QTest::newRow("an over-long fingerprint") << line('a') + "00\n" << "127.0.0.1" << Pins{} << false;
    QTest::newRow("a fingerprint that is not hex")
        << line('a').replace("6161", "zz61") + "\n" << "127.0.0.1" << Pins{} << false;
    QTest::newRow("a damaged line for another host does not matter")
        << QByteArray("example.org 5120 zz\n") << "127.0.0.1" << Pins{} << true;
    QTest::newRow("a pin for another port") << line('a').replace("5120", "5121") << "127.0.0.1" << Pins{} << true;
    QTest::newRow("::1 kept, 0::1 asked") << line('a', "::1") << "0::1" << Pins{pin('a')} << true;
    QTest::newRow("a host name in capitals") << line('a', "Desk.LAN") << "desk.lan" << Pins{pin('a')} << true;
}

// Looking a host up, then keeping a new pin for it: what cannot be read
// vouches for nothing and is never written over; everything else is kept.
void tst_RoomKeys::keptKeysFailClosedAndKeepWhatTheyDoNotRead()
{
    QFETCH(QByteArray, kept);
    QFETCH(QString, address);
    QFETCH(QList<QByteArray>, pins);
    QFETCH(bool, readable);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("known_hosts"));
    if (kept == "folder")
        QVERIFY(QDir().mkpath(path));
    else
        write(path, kept);
    KnownHosts known(path);
    const KnownHosts::Pins found = known.pins(address, 5120);
    using Status = KnownHosts::Pins::Status;
    QCOMPARE(found.status, !readable ? Status::Unreadable : pins.isEmpty() ? Status::Unknown : Status::Known);
    QCOMPARE(found.fingerprints, pins);
    QVERIFY2(readable || found.error.contains(path), qPrintable(found.error));

    // A first key is kept only where none is, nor a damaged line.
    QString error;
    QCOMPARE(known.remember(address, 5120, pin('c'), false, &error), readable && pins.isEmpty());
    QVERIFY2(error.contains(path) || (readable && pins.isEmpty()), qPrintable(error));
    if (kept == "folder") {
        QVERIFY(QFileInfo(path).isDir());
        return;
    }
    // Every line that was there is there still, whole, and a new pin after them.
    const QList<QByteArray> after = readAll(path).split('\n');
    for (const QByteArray &before : kept.split('\n'))
        QVERIFY2(before.isEmpty() || after.contains(before), before.constData());
    if (readable)
        QCOMPARE(known.pins(address, 5120).fingerprints, pins.isEmpty() ? QList<QByteArray>{pin('c')} : pins);
    QCOMPARE(QFile::permissions(path) & (QFileDevice::ReadOther | QFileDevice::ReadGroup), QFileDevice::Permissions());
    // Trusting a new key puts it in place of every pin kept for the host.
    QCOMPARE(known.remember(address, 5120, pin('d'), true), readable);
    if (readable)
        QCOMPARE(known.pins(address, 5120).fingerprints, QList<QByteArray>{pin('d')});
}

void tst_RoomKeys::membersKeepingKeysAtOnceLoseNone_data()
{
    QTest::addColumn<bool>("sameHosts");
    QTest::newRow("each the keys of hosts of its own") << false;
    // What two first visits see when someone answers one of them in the host's place.
    QTest::newRow("each another key for the same hosts: one kept, the others refused") << true;
}

void tst_RoomKeys::membersKeepingKeysAtOnceLoseNone()
{
    QFETCH(bool, sameHosts);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("known_hosts"));
    constexpr int kProcesses = 4;
    constexpr int kEach = 10;
    const auto host = [&](int i, int n) { return QStringLiteral("host%1-%2").arg(sameHosts ? 0 : i).arg(n); };
    std::vector<std::unique_ptr<QProcess>> members;
    for (int i = 0; i < kProcesses; ++i) {
        members.push_back(std::make_unique<QProcess>());
        members.back()->start(QCoreApplication::applicationFilePath(),
                              {QStringLiteral("--remember"), path, host(i, 0).chopped(1), QString::number(kEach),
                               QString(QChar(u'a' + i))});
    }
    int kept = 0;
    for (auto &member : members) {
        QVERIFY(member->waitForFinished(30000));
        QCOMPARE(member->exitStatus(), QProcess::NormalExit);
        kept += kEach - member->exitCode();
    }
    QCOMPARE(kept, sameHosts ? kEach : kProcesses * kEach);
    for (int i = 0; i < kProcesses; ++i) {
        for (int n = 0; n < kEach; ++n)
            QCOMPARE(KnownHosts(path).pins(host(i, n), 5120).fingerprints.size(), 1);
    }
}

void tst_RoomKeys::aHostTheKeptKeysDoNotVouchForHearsNothing_data()
{
    // What the kept keys say of the address: "folder" a folder stands in the
    // file's place; %1 stands for the port; empty: a real host's join keeps it;
    // "announced": nothing, but the join is bound to another key than the host's.
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<int>("reason");
    QTest::newRow("a host with another key than the one kept")
        << QByteArray() << int(EndReason::HostKeyChanged);
    QTest::newRow("kept keys that cannot be read")
        << QByteArray("folder") << int(EndReason::KnownHostsUnreadable);
    QTest::newRow("a damaged line for the host")
        << QByteArray("127.0.0.1 %1 0123zz\n") << int(EndReason::KnownHostsUnreadable);
    QTest::newRow("a host whose key is not the one its room announced")
        << QByteArray("announced") << int(EndReason::KeyNotAsAnnounced);
}

void tst_RoomKeys::aHostTheKeptKeysDoNotVouchForHearsNothing()
{
    QFETCH(QByteArray, kept);
    QFETCH(int, reason);
    ConfigFolder config;
    const QString path = KnownHosts::defaultPath();
    quint16 port = 0;
    QByteArray knownKey;
    if (kept.isEmpty()) {
        auto h = host(QStringLiteral("H"));
        port = portOf(*h);
        knownKey = h->room->hostFingerprint();
        auto a = joiner(QStringLiteral("A"), port);
        QTRY_VERIFY(joined(*a));
        QCOMPARE(KnownHosts().pins(QStringLiteral("127.0.0.1"), port).fingerprints, QList{knownKey});
    }

    // Another machine answers at the same address and port, with a key of its own.
    QTemporaryDir elsewhere;
    Raw::Server impostor(Raw::Server::Speaks::Tls, elsewhere.filePath(QStringLiteral("id.pem")), port);
    QVERIFY(impostor.isListening());
    port = impostor.serverPort();
    impostor.onPeer = [](Raw::Peer *p) {
        p->greet();
        p->send(Message::welcome(1, 5, 15000));
        p->send(Message::store(1, kName, QStringLiteral("A")));
        p->send(Message::arrive(1));
    };
    if (kept == "folder")
        QVERIFY(QDir().mkpath(path));
    else if (!kept.isEmpty() && kept != "announced")
        write(path, QString::fromLatin1(kept).arg(port).toLatin1());
    const QString announced = kept == "announced" ? QStringLiteral("0123456789abcdef") : QString();
    auto refused = joiner(QStringLiteral("A"), port, QStringLiteral("127.0.0.1"), fastTimeouts(), announced);
    QTRY_COMPARE(refused->disconnects, 1);
    QCOMPARE(int(refused->room->endReason()), reason);
    if (reason == int(EndReason::HostKeyChanged)) {
        QCOMPARE(refused->room->rememberedFingerprint(), knownKey);
        QVERIFY(!refused->room->hostFingerprint().isEmpty()); // shown, to compare aloud
        QVERIFY(refused->room->hostFingerprint() != knownKey);
    } else if (reason == int(EndReason::KnownHostsUnreadable)) {
        QVERIFY2(refused->room->endDetail().contains(path), qPrintable(refused->room->endDetail()));
    }
    QTRY_COMPARE(impostor.peers.size(), 1);
    QTRY_VERIFY(!impostor.peers.first()->isOpen());
    QVERIFY(impostor.peers.first()->preambleIn().isEmpty()); // not a byte of the room, not the name
    QVERIFY(impostor.peers.first()->received.isEmpty());

    // Once the user forgets the old key, or the room announces the host's
    // own, the new host is joined and kept.
    if (kept == "folder")
        QVERIFY(QDir(path).removeRecursively());
    else if (kept != "announced")
        QCOMPARE(KnownHosts().forget(QStringLiteral("127.0.0.1")), 1);
    const QString real = QString::fromLatin1(refused->room->hostFingerprint().toHex().left(16));
    auto again = joiner(QStringLiteral("A"), port, QStringLiteral("127.0.0.1"), fastTimeouts(),
                        announced.isEmpty() ? QString() : real);
    QTRY_VERIFY(joined(*again));
    QCOMPARE(KnownHosts().pins(QStringLiteral("127.0.0.1"), port).fingerprints,
             QList{again->room->hostFingerprint()});
    QCOMPARE(impostor.peers.last()->count(MessageType::Join), 1);
}

void tst_RoomKeys::aJoinGoesToThePortItsAddressNames_data()
{
    // %1 stands for the host's port, %2 for it plus 65536; Port 0: the host's.
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("portProperty");
    QTest::addColumn<QString>("keptUnder"); // empty: not joined
    QTest::newRow("address:port joins that port, whatever Port says") << "127.0.0.1:%1" << 1 << "127.0.0.1";
    QTest::newRow("[IPv6]:port joins that port") << "[::1]:%1" << 1 << "::1";
    QTest::newRow("a host name and a port") << " localhost:%1 " << 1 << "localhost";
    QTest::newRow("[IPv6] alone takes Port") << "[::1]" << 0 << "::1";
    QTest::newRow("a bare IPv6 literal is an address, not address:port") << "::1" << 0 << "::1";
    QTest::newRow("a port beyond 65535 is not cut to 16 bits") << "127.0.0.1:%2" << 0 << "";
}

// The key is kept under the address and the port actually joined.
void tst_RoomKeys::aJoinGoesToThePortItsAddressNames()
{
    QFETCH(QString, address);
    QFETCH(int, portProperty);
    QFETCH(QString, keptUnder);
    ConfigFolder config;
    auto h = host(QStringLiteral("H"));
    const quint16 port = portOf(*h);
    auto a = joiner(QStringLiteral("A"), portProperty ? quint16(portProperty) : port,
                    address.replace(QStringLiteral("%2"), QString::number(port + 65536))
                        .replace(QStringLiteral("%1"), QString::number(port)));
    QTRY_VERIFY(joined(*a) || a->disconnects > 0);
    QCOMPARE(joined(*a), !keptUnder.isEmpty());
    if (keptUnder.isEmpty()) {
        QCOMPARE(a->room->endReason(), EndReason::HostNotFound);
        return;
    }
    QCOMPARE(KnownHosts().pins(keptUnder, port).fingerprints, QList{h->room->hostFingerprint()});
}

// Another member is keeping a key: the join waits for it, saying nothing to
// the host, while the event loop runs on; then it goes on and keeps its own.
void tst_RoomKeys::aFirstVisitWaitsForTheKeptKeysLockWithoutBlocking()
{
    ConfigFolder config;
    auto h = host(QStringLiteral("H"));
    QLockFile busy(KnownHosts::defaultPath() + QStringLiteral(".lock"));
    QVERIFY(QDir().mkpath(QFileInfo(KnownHosts::defaultPath()).absolutePath()));
    QVERIFY(busy.tryLock(0));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QVERIFY(!waitUntil([&] { return joined(*a) || a->disconnects > 0; }, 300));
    QCOMPARE(h->room->pendingJoins(), 1);
    busy.unlock();
    QTRY_VERIFY(joined(*a));
    QCOMPARE(KnownHosts().pins(QStringLiteral("127.0.0.1"), portOf(*h)).fingerprints,
             QList{h->room->hostFingerprint()});
    QVERIFY(a->room->keyNotKept().isEmpty());
}

// Run as `--remember FILE PREFIX N KEY`, a member process that keeps the
// pin of bytes KEY for N hosts; its exit code says for how many it could not.
int main(int argc, char *argv[])
{
    if (argc == 6 && qstrcmp(argv[1], "--remember") == 0) {
        QCoreApplication app(argc, argv);
        KnownHosts known(QString::fromLocal8Bit(argv[2]));
        int refused = 0;
        for (int n = 0; n < atoi(argv[4]); ++n) {
            if (!known.remember(QString::fromLocal8Bit(argv[3]) + QString::number(n), 5120, pin(argv[5][0])))
                ++refused;
        }
        return refused;
    }
    QCoreApplication app(argc, argv);
    // Folders the tests make are private, as the room makes them; rows about
    // others' access open them on purpose.
    ::umask(077);
    tst_RoomKeys test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_roomkeys.moc"
