// The headless room tool as separate processes: killed, frozen, flooded and
// attacked members, and a soak, all over loopback.

#include "rawpeer.h"
#include "room.h"
#include "roommember.h"
#include "roomprocess.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace RoomProcess;
using namespace TAVIXLibCtl;
using Raw::Message;
using Raw::MessageType;

namespace {

std::unique_ptr<Room> member(const QString &name, quint16 port)
{
    auto room = std::make_unique<Room>();
    Timeouts t;
    t.deadPeer = t.stall = std::chrono::milliseconds(kDeadPeerMs);
    t.handshake = std::chrono::milliseconds(1500);
    room->setTimeouts(t);
    room->setData(QStringLiteral("name"), name);
    room->setServerAddress(QStringLiteral("127.0.0.1"));
    room->setPort(port);
    room->openClient();
    return room;
}

bool joined(const Room &room)
{
    return room.state() == Room::State::Joined;
}

// Sends a line from `room` and waits for it to come back through the host;
// how long that took, or -1 when it did not within the bound.
qint64 roundTrip(Room &room, const QString &text, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    bool back = false;
    const auto c = QObject::connect(&room, &Room::dataChanged, &room,
                                    [&](int slot, const QString &key, const QString &value) {
                                        back = back || (slot == room.ownSlot() && key == QLatin1String("chat") && value == text);
                                    });
    room.setData(QStringLiteral("chat"), text);
    const bool came = RoomTest::waitUntil([&] { return back; }, timeoutMs);
    QObject::disconnect(c);
    return came ? clock.elapsed() : -1;
}

// A real TLS 1.3 ClientHello that offers one suite hosts do not enable; Qt
// will not send such a thing. True if the handshake went through anyway.
bool tlsWithOnlyAnUnsharedCipher(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval bound{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    bool through = false;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) {
        SSL_CTX *context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
        SSL_CTX_set_ciphersuites(context, "TLS_AES_128_CCM_8_SHA256");
        SSL *ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        through = SSL_connect(ssl) == 1;
        SSL_free(ssl);
        SSL_CTX_free(context);
    }
    ::close(fd);
    return through;
}

} // namespace

class tst_RoomTool : public QObject
{
    Q_OBJECT

private slots:
    void badArgumentsExitWithTwo_data();
    void badArgumentsExitWithTwo();
    void helpExitsWithZero();
    void aRoomThatCannotOpenSaysOnlyWhy_data();
    void aRoomThatCannotOpenSaysOnlyWhy();
    void linesPipedBeforeTheJoinAreSaid_data();
    void linesPipedBeforeTheJoinAreSaid();
    void aKilledMemberLeavesAndFreesItsSlot();
    void aKilledHostEndsEveryMember();
    void aFrozenMemberIsDroppedAndSaysSoWhenThawed();
    void rawSocketsNeverHoldASlot_data();
    void rawSocketsNeverHoldASlot();
    void aSixthIsRefusedAndChurnLeavesTheTableExact();
    void aFloodAndADeafReaderCannotStallTheRoom();
    void soakEveryLineOnceInOneOrder();
    void noMemberShowsAForgedLine();
};

void tst_RoomTool::badArgumentsExitWithTwo_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("an unknown command") << QStringList{QStringLiteral("serve")};
    QTest::newRow("join without an address") << QStringList{QStringLiteral("join")};
    QTest::newRow("join with two addresses") << QStringList{QStringLiteral("join"), QStringLiteral("a"), QStringLiteral("b")};
    QTest::newRow("a port beyond 65535") << QStringList{QStringLiteral("host"), QStringLiteral("--port"), QStringLiteral("65536")};
    QTest::newRow("a port that is no number") << QStringList{QStringLiteral("host"), QStringLiteral("--port"), QStringLiteral("http")};
    QTest::newRow("joining port 0") << QStringList{QStringLiteral("join"), QStringLiteral("::1"), QStringLiteral("--port"), QStringLiteral("0")};
    QTest::newRow("an empty room") << QStringList{QStringLiteral("host"), QStringLiteral("--size"), QStringLiteral("0")};
    QTest::newRow("a room too large") << QStringList{QStringLiteral("host"), QStringLiteral("--size"), QStringLiteral("257")};
    QTest::newRow("a size for a joiner") << QStringList{QStringLiteral("join"), QStringLiteral("x"), QStringLiteral("--size"), QStringLiteral("3")};
    QTest::newRow("an unknown option") << QStringList{QStringLiteral("host"), QStringLiteral("--colour")};
    QTest::newRow("an option without its value") << QStringList{QStringLiteral("host"), QStringLiteral("--port")};
    QTest::newRow("forget without an address") << QStringList{QStringLiteral("forget")};
    QTest::newRow("a stall bound below 50 ms") << QStringList{QStringLiteral("host"), QStringLiteral("--stall-ms"), QStringLiteral("10")};
    QTest::newRow("forget at port 0") << QStringList{QStringLiteral("forget"), QStringLiteral("x"), QStringLiteral("--port"), QStringLiteral("0")};
    QTest::newRow("not announcing a join") << QStringList{QStringLiteral("join"), QStringLiteral("x"), QStringLiteral("--no-announce")};
    QTest::newRow("looking for rooms no time at all") << QStringList{QStringLiteral("rooms"), QStringLiteral("--seconds"), QStringLiteral("0")};
    QTest::newRow("seconds for a host") << QStringList{QStringLiteral("host"), QStringLiteral("--seconds"), QStringLiteral("3")};
    QTest::newRow("a passphrase file that is not there")
        << QStringList{QStringLiteral("host"), QStringLiteral("--passphrase-file"), QStringLiteral("/nonexistent/tavix")};
    QTest::newRow("a passphrase file without a passphrase")
        << QStringList{QStringLiteral("host"), QStringLiteral("--passphrase-file"), QStringLiteral("/dev/null")};
}

void tst_RoomTool::badArgumentsExitWithTwo()
{
    QFETCH(QStringList, args);
    QProcess p;
    p.start(QStringLiteral(TAVIX_ROOM_TOOL), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardOutput().isEmpty());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.startsWith(QStringLiteral("tavix-room: ")) && err.contains(QStringLiteral("--help")), qPrintable(err));
}

void tst_RoomTool::helpExitsWithZero()
{
    QProcess p;
    p.start(QStringLiteral(TAVIX_ROOM_TOOL), {QStringLiteral("--help")});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY(out.startsWith(QStringLiteral("Usage: tavix-room host")));
    QVERIFY(out.contains(QStringLiteral("join ADDRESS")));
}

void tst_RoomTool::aRoomThatCannotOpenSaysOnlyWhy_data()
{
    QTest::addColumn<QStringList>("args"); // "taken" stands for a port in use
    QTest::addColumn<bool>("withoutTls");   // a Qt that finds no TLS backend
    QTest::addColumn<QString>("reason");
    const QString port = QStringLiteral("--port");
    QTest::newRow("hosting on a port in use")
        << QStringList{QStringLiteral("host"), port, QStringLiteral("taken")} << false
        << QStringLiteral("ポートが使用中です (port in use)");
    QTest::newRow("hosting without TLS") << QStringList{QStringLiteral("host"), port, QStringLiteral("0")}
                                         << true << QStringLiteral("暗号化を使えません (no TLS support in this Qt)");
    QTest::newRow("joining without TLS") << QStringList{QStringLiteral("join"), QStringLiteral("127.0.0.1"), port, QStringLiteral("taken")}
                                         << true << QStringLiteral("暗号化を使えません (no TLS support in this Qt)");
}

// The failure alone: no port, address or key of a room that never opened.
void tst_RoomTool::aRoomThatCannotOpenSaysOnlyWhy()
{
    QFETCH(QStringList, args);
    QFETCH(bool, withoutTls);
    QFETCH(QString, reason);
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::Any, 0));
    args.replaceInStrings(QStringLiteral("taken"), QString::number(squatter.serverPort()));
    QString tool = QStringLiteral(TAVIX_ROOM_TOOL);
    QTemporaryDir folder;
    if (withoutTls) {
        // A copy of the tool told to look for Qt's plugins where there are none.
        tool = folder.filePath(QStringLiteral("tavix-room"));
        QVERIFY(QFile::copy(QStringLiteral(TAVIX_ROOM_TOOL), tool));
        QFile conf(folder.filePath(QStringLiteral("qt.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[Paths]\nPlugins=" + QFile::encodeName(folder.filePath(QStringLiteral("none"))) + "\n");
    }
    QProcess p;
    p.start(tool, args);
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    const QStringList out = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n');
    QCOMPARE(out.value(1), QStringLiteral("切断しました。"));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("tavix-room: %1\n").arg(reason)), qPrintable(err));
    QVERIFY2(!err.contains(QStringLiteral("listening")) && !err.contains(QStringLiteral("join at"))
                 && !err.contains(QStringLiteral("key")),
             qPrintable(err));
}

void tst_RoomTool::linesPipedBeforeTheJoinAreSaid_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("door"); // the host's passphrase in a file, the member's on its first input line
    QTest::newRow("one line") << 1 << false;
    QTest::newRow("10,000 lines, each printed whole and in order by the time the tools end") << 10000 << false;
    QTest::newRow("through a door, the passphrase typed full-width on the first line") << 3 << true;
}

void tst_RoomTool::linesPipedBeforeTheJoinAreSaid()
{
    QFETCH(int, count);
    QFETCH(bool, door);
    QTemporaryDir folder;
    const QString passphrase = folder.filePath(QStringLiteral("passphrase"));
    QFile file(passphrase);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("sesame\n") == 7);
    file.close();
    const QStringList doorArgs{QStringLiteral("--passphrase-file"), door ? passphrase : QStringLiteral("-")};
    auto h = door ? std::make_unique<Tool>(QStringList{QStringLiteral("host"), QStringLiteral("--port"), QStringLiteral("0"),
                                                       QStringLiteral("--name"), QStringLiteral("H")} + doorArgs)
                  : Tool::host();
    QTRY_VERIFY(h->port() != 0);
    // Next to its port, a host names the addresses others can join at.
    static const QRegularExpression joinAt(QStringLiteral(
        "\ntavix-room: (no network address: only this machine can join|others can join at [0-9a-f.:]+(, [0-9a-f.:]+)*)\n"));
    QTRY_VERIFY2(joinAt.match(h->err).hasMatch() && !h->err.contains(QStringLiteral("127.0.0.1")), qPrintable(h->err));
    // `echo line | tavix-room join ...`: input and its end come before the join.
    auto a = door ? std::make_unique<Tool>(QStringList{QStringLiteral("join"), QStringLiteral("127.0.0.1"),
                                                       QStringLiteral("--port"), QString::number(h->port()),
                                                       QStringLiteral("--name"), QStringLiteral("A")}
                                           + doorArgs.first(1) + QStringList{QStringLiteral("-")})
                  : Tool::join(h->port(), QStringLiteral("A"));
    QByteArray input = door ? QStringLiteral("ｓｅｓａｍｅ\n").toUtf8() : QByteArray();
    QStringList expected;
    for (int n = 0; n < count; ++n) {
        input += "early " + QByteArray::number(n) + '\n';
        expected << said(QStringLiteral("A"), QStringLiteral("early %1").arg(n));
    }
    a->process.write(input);
    a->process.closeWriteChannel();
    // Waiting in the event loop keeps reading the host, whose output would
    // otherwise fill its pipe and stop it.
    QTRY_VERIFY_WITH_TIMEOUT(!a->running(), 30000);
    QVERIFY2(a->process.exitCode() == 0, qPrintable(a->err));
    QTRY_VERIFY(h->has(left(QStringLiteral("A"))));
    // The member left only once its lines were back, and printed them all, whole.
    QTRY_COMPARE(a->lines.last(), QStringLiteral("切断しました。"));
    QCOMPARE(a->lines.filter(QRegularExpression(QStringLiteral("^A > "))), expected);
    QVERIFY(a->out.isEmpty());
    // And a host stopped at once has printed every line it relayed.
    h->signal(SIGTERM);
    QVERIFY(h->process.waitForFinished(10000));
    QCOMPARE(h->process.exitCode(), 0);
    QTRY_COMPARE(h->lines.last(), QStringLiteral("切断しました。"));
    QCOMPARE(h->lines.filter(QRegularExpression(QStringLiteral("^A > "))), expected);
    QVERIFY(h->out.isEmpty());
}

void tst_RoomTool::aKilledMemberLeavesAndFreesItsSlot()
{
    auto h = Tool::host();
    QTRY_VERIFY(h->port() != 0);
    QTRY_COMPARE(h->lines.value(0), QStringLiteral("サーバ起動中..."));
    auto a = Tool::join(h->port(), QStringLiteral("A"));
    QTRY_VERIFY(h->has(arrived(QStringLiteral("A"))));
    auto observer = member(QStringLiteral("O"), h->port());
    QTRY_VERIFY(joined(*observer));
    QCOMPARE(observer->ownSlot(), 2);
    QCOMPARE(observer->memberData(1, QStringLiteral("name")), QStringLiteral("A"));

    QElapsedTimer clock;
    clock.start();
    a->signal(SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(h->has(left(QStringLiteral("A"))), kDeadPeerMs + 2000);
    QTRY_COMPARE(observer->memberData(1, QStringLiteral("cnt")), QStringLiteral("0"));
    qInfo("killed member noticed after %lld ms", clock.elapsed());

    auto next = member(QStringLiteral("N"), h->port());
    QTRY_VERIFY(joined(*next));
    QCOMPARE(next->ownSlot(), 1);
}

void tst_RoomTool::aKilledHostEndsEveryMember()
{
    auto h = Tool::host();
    QTRY_VERIFY(h->port() != 0);
    auto a = Tool::join(h->port(), QStringLiteral("A"));
    auto b = Tool::join(h->port(), QStringLiteral("B"));
    QTRY_VERIFY(h->has(arrived(QStringLiteral("A"))) && h->has(arrived(QStringLiteral("B"))));
    QElapsedTimer clock;
    clock.start();
    h->signal(SIGKILL);
    for (Tool *m : {a.get(), b.get()}) {
        QVERIFY(m->process.waitForFinished(kDeadPeerMs + 2000));
        QCOMPARE(m->process.exitCode(), 1);
        // A killed host never said it closed the room.
        QTRY_VERIFY2(m->err.contains(QStringLiteral("接続が切れました")), qPrintable(m->err));
        QCOMPARE(m->lines.last(), QStringLiteral("切断しました。"));
    }
    qInfo("members ended %lld ms after the host was killed", clock.elapsed());
}

void tst_RoomTool::aFrozenMemberIsDroppedAndSaysSoWhenThawed()
{
    auto h = Tool::host();
    QTRY_VERIFY(h->port() != 0);
    auto f = Tool::join(h->port(), QStringLiteral("F"));
    QTRY_VERIFY(h->has(arrived(QStringLiteral("F"))));
    auto observer = member(QStringLiteral("O"), h->port());
    QTRY_VERIFY(joined(*observer));

    QElapsedTimer clock;
    clock.start();
    f->signal(SIGSTOP);
    QTRY_VERIFY_WITH_TIMEOUT(h->has(left(QStringLiteral("F"))), kDeadPeerMs + 3000);
    const qint64 detected = clock.elapsed();
    QVERIFY2(detected <= kDeadPeerMs + 1000, qPrintable(QString::number(detected)));
    QVERIFY(roundTrip(*observer, QStringLiteral("still going")) >= 0);

    f->signal(SIGCONT);
    QVERIFY(f->process.waitForFinished(kDeadPeerMs + 5000));
    QCOMPARE(f->process.exitCode(), 1);
    QCOMPARE(f->lines.last(), QStringLiteral("切断しました。"));
    // Dropped, not told the room closed.
    QVERIFY2(f->err.contains(QStringLiteral("接続が切れました")), qPrintable(f->err));
    qInfo("frozen member dropped after %lld ms", detected);
}

void tst_RoomTool::rawSocketsNeverHoldASlot_data()
{
    QTest::addColumn<QString>("attack");
    QTest::newRow("sockets that send nothing") << "silent";
    QTest::newRow("random bytes") << "random";
    QTest::newRow("a huge length header") << "huge";
    QTest::newRow("a member of version 1, in plain text") << "version";
    QTest::newRow("many connections at once") << "many";
    QTest::newRow("a TLS handshake that stops half way") << "halfTls";
    QTest::newRow("a client that offers only TLS 1.2") << "tls12";
    QTest::newRow("a client with no cipher in common") << "noCipher";
}

void tst_RoomTool::rawSocketsNeverHoldASlot()
{
    QFETCH(QString, attack);
    auto h = Tool::host(2);
    QTRY_VERIFY(h->port() != 0);
    std::vector<std::unique_ptr<Raw::Peer>> peers;
    const int count = attack == QLatin1String("many") ? 300 : 5;
    for (int i = 0; i < count; ++i) {
        auto p = std::make_unique<Raw::Peer>();
        p->socket()->connectToHost(QHostAddress::LocalHost, h->port());
        peers.push_back(std::move(p));
    }
    QTRY_VERIFY(std::all_of(peers.begin(), peers.end(), [](const auto &p) { return p->isOpen(); })
                || attack == QLatin1String("many"));
    QRandomGenerator rng(42);
    bool anyEncrypted = false;
    for (auto &p : peers) {
        QObject::connect(p->socket(), &QSslSocket::encrypted, p.get(), [&] { anyEncrypted = true; });
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (attack == QLatin1String("random")) {
            QByteArray junk(64 * 1024, '\0');
            for (char &c : junk)
                c = char(rng.bounded(256));
            p->sendRaw(junk);
        } else if (attack == QLatin1String("huge")) {
            p->sendPreamble();
            p->sendRaw(QByteArray::fromHex("7fffffff") + QByteArray(256 * 1024, 'x'));
        } else if (attack == QLatin1String("version")) {
            p->sendPreamble(1);
            p->sendRaw(QByteArray::fromHex("00000002" "8102")); // a JOIN of version 1
        } else if (attack == QLatin1String("many")) {
            p->sendPreamble();
        } else if (attack == QLatin1String("halfTls")) {
            // A record header that promises 200 bytes, and 16 of them.
            p->sendRaw(QByteArray::fromHex("16030100c8") + QByteArray(16, '\x01'));
        } else if (attack == QLatin1String("tls12")) {
            tls.setProtocol(QSsl::TlsV1_2);
            p->socket()->setSslConfiguration(tls);
            p->socket()->startClientEncryption();
        } else if (attack == QLatin1String("noCipher")) {
            QVERIFY(!tlsWithOnlyAnUnsharedCipher(h->port()));
        }
    }
    // A real member still gets the one free slot and talks at once.
    auto m = member(QStringLiteral("M"), h->port());
    QTRY_VERIFY_WITH_TIMEOUT(joined(*m), 5000);
    QCOMPARE(m->ownSlot(), 1);
    QVERIFY(roundTrip(*m, QStringLiteral("hello")) >= 0);
    QTRY_VERIFY(h->has(said(QStringLiteral("M"), QStringLiteral("hello"))));
    if (attack != QLatin1String("silent") && attack != QLatin1String("many"))
        QTRY_VERIFY(std::none_of(peers.begin(), peers.end(), [](const auto &p) { return p->isOpen(); }));
    // Idle sockets are dropped when their handshake time is up.
    QTRY_VERIFY_WITH_TIMEOUT(std::none_of(peers.begin(), peers.end(), [](const auto &p) { return p->isOpen(); }),
                             5000);
    QCOMPARE(m->memberCount(), 2);
    QVERIFY(!anyEncrypted);
    QCOMPARE(h->lines.filter(QStringLiteral("が　きました")).size(), 2); // H and M only
    const qint64 peak = h->peakKiB();
    qInfo("host peak resident memory %lld KiB", peak);
    QVERIFY(peak > 0 && peak < 64 * 1024);
}

void tst_RoomTool::aSixthIsRefusedAndChurnLeavesTheTableExact()
{
    auto h = Tool::host();
    QTRY_VERIFY(h->port() != 0);
    std::vector<std::unique_ptr<Room>> members;
    for (int i = 1; i <= 4; ++i) {
        members.push_back(member(QStringLiteral("M%1").arg(i), h->port()));
        QTRY_VERIFY(joined(*members.back()));
    }
    auto sixth = Tool::join(h->port(), QStringLiteral("Six"));
    QVERIFY(sixth->process.waitForFinished(10000));
    QCOMPARE(sixth->process.exitCode(), 1);
    QVERIFY2(sixth->err.contains(QStringLiteral("満員で入れません")), qPrintable(sixth->err));
    QVERIFY(!h->has(arrived(QStringLiteral("Six"))));

    // Churn: slots 2 and 4 come and go a few hundred times.
    Room &observer = *members[0];
    constexpr int kRounds = 150;
    for (int i = 0; i < kRounds; ++i) {
        members[1]->closeConnection();
        members[3]->closeConnection();
        QVERIFY(RoomTest::waitUntil([&] { return observer.memberCount() == 3; }));
        members[1] = member(QStringLiteral("x%1").arg(i), h->port());
        members[3] = member(QStringLiteral("y%1").arg(i), h->port());
        QVERIFY(RoomTest::waitUntil([&] { return joined(*members[1]) && joined(*members[3]); }));
        QVERIFY((members[1]->ownSlot() == 2 && members[3]->ownSlot() == 4)
                || (members[1]->ownSlot() == 4 && members[3]->ownSlot() == 2));
    }
    QTRY_COMPARE(observer.memberCount(), 5);
    const QStringList expected{QStringLiteral("H"), QStringLiteral("M1"),
                               QStringLiteral("x%1").arg(kRounds - 1), QStringLiteral("M3"),
                               QStringLiteral("y%1").arg(kRounds - 1)};
    for (Room *view : {&observer, members[2].get(), members[1].get()}) {
        QStringList names;
        for (int slot = 0; slot < 5; ++slot) {
            QCOMPARE(view->memberData(slot, QStringLiteral("cnt")), QStringLiteral("1"));
            names << view->memberData(slot, QStringLiteral("name"));
        }
        if (names[2] != expected[2])
            names.swapItemsAt(2, 4);
        QCOMPARE(names, expected);
    }
    QTRY_COMPARE(h->lines.filter(QStringLiteral("が　きました")).size(),
                 h->lines.filter(QStringLiteral("が　いなくなりました")).size() + 5);
}

void tst_RoomTool::aFloodAndADeafReaderCannotStallTheRoom()
{
    auto h = Tool::host();
    QTRY_VERIFY(h->port() != 0);
    auto flooder = Tool::join(h->port(), QStringLiteral("Flood"));
    QTRY_VERIFY(h->has(arrived(QStringLiteral("Flood"))));
    Raw::Peer deaf;
    QVERIFY(deaf.connectTo(h->port()));
    deaf.join(QStringLiteral("Deaf"));
    QTRY_VERIFY(h->has(arrived(QStringLiteral("Deaf"))));
    deaf.stopReading();
    QTimer deafHeartbeat; // it stays alive; only its full queue gives it away
    QObject::connect(&deafHeartbeat, &QTimer::timeout, &deaf, [&] {
        if (deaf.isOpen())
            deaf.send(Message::ping());
    });
    deafHeartbeat.start(200);
    auto observer = member(QStringLiteral("O"), h->port());
    QTRY_VERIFY(joined(*observer));
    int observed = 0;
    QObject::connect(observer.get(), &Room::dataChanged, observer.get(),
                     [&](int, const QString &key, const QString &) { observed += key == QLatin1String("chat"); });

    InputFlood feeder(flooder->process);

    qint64 worst = 0;
    QElapsedTimer clock;
    clock.start();
    int probes = 0;
    // Until the deaf member has gone, and for twice the stall bound at least.
    while ((clock.elapsed() < 2 * kDeadPeerMs || !h->has(left(QStringLiteral("Deaf"))))
           && clock.elapsed() < 20000) {
        const qint64 delay = roundTrip(*observer, QStringLiteral("probe %1").arg(probes++));
        QVERIFY2(delay >= 0, "a probe line never came back");
        worst = qMax(worst, delay);
        QTest::qWait(50);
    }
    feeder.stop();
    QTRY_VERIFY_WITH_TIMEOUT(h->has(left(QStringLiteral("Deaf"))), 10000);
    const qint64 peak = h->peakKiB();
    qInfo("probe lines: %d, worst round trip %lld ms; chat lines seen by the observer: %d; "
          "host peak resident memory %lld KiB",
          probes, worst, observed, peak);
    QVERIFY(worst < 2 * kDeadPeerMs + 2000);
    QVERIFY(observed > 10000); // the flood itself got through too
    QVERIFY(peak > 0 && peak < 64 * 1024);
}

void tst_RoomTool::soakEveryLineOnceInOneOrder()
{
    constexpr int kLines = 2000;
    auto h = Tool::host();
    QTRY_VERIFY(h->port() != 0);
    std::vector<std::unique_ptr<Tool>> all;
    const QStringList names{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D")};
    for (const QString &n : names) {
        all.push_back(Tool::join(h->port(), n));
        QTRY_VERIFY(h->has(arrived(n)));
    }
    QTRY_VERIFY(all.back()->has(arrived(QStringLiteral("D"))));
    all.insert(all.begin(), std::move(h));
    const QStringList senders{QStringLiteral("H"), QStringLiteral("A"), QStringLiteral("B"),
                              QStringLiteral("C"), QStringLiteral("D")};
    QList<qsizetype> from;
    for (auto &t : all)
        from << t->lines.size();
    for (size_t i = 0; i < all.size(); ++i) {
        QByteArray input;
        for (int n = 0; n < kLines; ++n)
            input += senders[int(i)].toUtf8() + "-" + QByteArray::number(n) + " 行\n";
        all[i]->process.write(input);
    }
    for (auto &t : all)
        QTRY_COMPARE_WITH_TIMEOUT(t->lines.size(), from[&t - &all[0]] + 5 * kLines, 60000);

    const QStringList reference = all[0]->lines.mid(from[0]);
    for (size_t i = 1; i < all.size(); ++i)
        QCOMPARE(all[i]->lines.mid(from[int(i)]), reference);
    for (const QString &s : senders) {
        const QStringList own = reference.filter(QRegularExpression(QStringLiteral("^%1 > ").arg(s)));
        QCOMPARE(own.size(), kLines);
        for (int n = 0; n < kLines; ++n)
            QCOMPARE(own[n], said(s, QStringLiteral("%1-%2 行").arg(s).arg(n)));
    }
    qInfo("%d lines delivered to each of 5 members, in one order", 5 * kLines);
    all[0]->signal(SIGTERM);
    QVERIFY(all[0]->process.waitForFinished(10000));
    QCOMPARE(all[0]->process.exitCode(), 0);
}

void tst_RoomTool::noMemberShowsAForgedLine()
{
    auto h = Tool::host();
    QTRY_VERIFY(h->port() != 0);
    auto a = Tool::join(h->port(), QStringLiteral("A"));
    QTRY_VERIFY(h->has(arrived(QStringLiteral("A"))));

    Raw::Peer eve;
    QVERIFY(eve.connectTo(h->port()));
    eve.join(QStringLiteral("Eve\nH > I am the host"));
    eve.send(Message::set(QStringLiteral("chat"), QStringLiteral("hi\r\nA さんは、「B」さんに名前を変更しました\u2028H > x")));
    eve.send(Message::set(QStringLiteral("name"), QStringLiteral("\x1b[2J\nA")));
    QTRY_VERIFY(a->has(QStringLiteral("Eve�H > I am the host さんは、「�[2J�A」さんに名前を変更しました")));
    QVERIFY(a->has(QStringLiteral("Eve�H > I am the host > hi��A さんは、「B」さんに名前を変更しました�H > x")));

    Raw::Peer mallory; // invalid UTF-8 in a well-framed message
    QVERIFY(mallory.connectTo(h->port()));
    mallory.join(QStringLiteral("Mallory"));
    QTRY_VERIFY(h->has(arrived(QStringLiteral("Mallory"))));
    mallory.sendRaw(QByteArray::fromHex("0000000883016161" "6262c328") );
    QTRY_VERIFY(h->has(left(QStringLiteral("Mallory"))));

    // A line longer than any box holds is cut, not refused.
    a->process.write(QByteArray(40000, 'z') + "\nbye\n");
    QTRY_VERIFY_WITH_TIMEOUT(h->has(said(QStringLiteral("A"), QStringLiteral("bye"))), 10000);
    QVERIFY(h->has(said(QStringLiteral("A"), QString(32767, u'z'))));

    static const QRegularExpression known(QStringLiteral(
        "^(サーバ起動中\\.\\.\\.|接続中\\.\\.\\.|切断しました。|(H|A|Mallory|Eve\uFFFDH > I am the host)"
        "(さん が　きました|さん が　いなくなりました| > .*| さんは、「.*」さんに名前を変更しました))$"));
    for (Tool *t : {h.get(), a.get()}) {
        for (const QString &line : t->lines) {
            QVERIFY2(known.match(line).hasMatch(), qPrintable(line.left(200)));
            QVERIFY(!line.contains(u'\n') && !line.contains(u'\r') && !line.contains(QChar(0x1b)));
        }
    }
}

QTEST_GUILESS_MAIN(tst_RoomTool)
#include "tst_roomtool.moc"
