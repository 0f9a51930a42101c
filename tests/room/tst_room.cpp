// Membership: slots, arrivals and departures, the order of changes, and how
// and when a member's component raises its events.
#include "rawpeer.h"
#include "roommember.h"
#include "roomtext.h"

#include <QSignalSpy>
#include <QTest>

using namespace RoomTest;
using Raw::Message;
using Raw::MessageType;

class tst_Room : public QObject
{
    Q_OBJECT

private slots:
    void hostHoldsSlotZeroAndArrivesOnceListening();
    void joinersTakeTheLowestFreeSlotAndLearnTheRoomSize();
    void newcomerGetsASnapshotWithoutEvents();
    void arrivalReachesEveryMemberWithTheName();
    void departureReachesTheOthersWithTheName();
    void slotsAreReusedAfterDepartures();
    void aSixthMemberIsRefusedAsRoomFull();
    void changesAreRaisedEverywhereBeforeTheyAreStored();
    void chatRepeatsButOtherKeysOnlyOnChange();
    void valuesSetWhileIdleTravelWithTheJoin();
    void localValuesOutliveTheSession();
    void textRoundTrips_data();
    void textRoundTrips();
    void everyMemberSeesTheHostsOrder();
    void disconnectedOncePerSession_data();
    void disconnectedOncePerSession();
    void disconnectedIsNeverNested();
    void aHandlerIsNeverEnteredTwice();
    void closeWhileIdleDoesNothing();
    void impossibleCallsAreRefused();
    void joinsOverIPv6AndByName_data();
    void joinsOverIPv6AndByName();
};

void tst_Room::hostHoldsSlotZeroAndArrivesOnceListening()
{
    auto h = host(QStringLiteral("ホスト"));
    QCOMPARE(h->room->state(), Room::State::Hosting);
    QVERIFY(portOf(*h) != 0);
    QVERIFY(h->events.isEmpty()); // raised from the event loop, not inside OpenServer
    QTRY_COMPARE(h->events, QStringList{QStringLiteral("0 cnt=1 (ホスト)")});
    QCOMPARE(h->room->memberData(0, kCnt), QStringLiteral("1"));
    QCOMPARE(h->room->maxMembers(), 5);
    QCOMPARE(h->room->memberCount(), 1);
    QCOMPARE(h->room->data(kCnt), QStringLiteral("1"));
}

void tst_Room::joinersTakeTheLowestFreeSlotAndLearnTheRoomSize()
{
    auto h = host(QStringLiteral("H"), 4);
    auto a = std::make_unique<Member>(QStringLiteral("A"));
    a->room->setMaxMembers(9); // the host decides
    a->room->setServerAddress(QStringLiteral("127.0.0.1"));
    a->room->setPort(portOf(*h));
    a->room->openClient();
    QCOMPARE(a->room->state(), Room::State::Connecting);
    QTRY_VERIFY(joined(*a));
    QCOMPARE(a->room->ownSlot(), 1);
    QCOMPARE(a->room->maxMembers(), 4);
    auto b = joiner(QStringLiteral("B"), portOf(*h));
    QTRY_VERIFY(joined(*b));
    QCOMPARE(b->room->ownSlot(), 2);
}

void tst_Room::newcomerGetsASnapshotWithoutEvents()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    a->room->setData(QStringLiteral("mood"), QStringLiteral("元気"));
    QTRY_COMPARE(h->room->memberData(1, QStringLiteral("mood")), QStringLiteral("元気"));

    auto b = joiner(QStringLiteral("B"), portOf(*h));
    QTRY_VERIFY(joined(*b));
    // Only its own arrival is an event; the others are simply there.
    QCOMPARE(b->events, QStringList{QStringLiteral("2 cnt=1 (B)")});
    QCOMPARE(b->room->memberData(0, kName), QStringLiteral("H"));
    QCOMPARE(b->room->memberData(1, kName), QStringLiteral("A"));
    QCOMPARE(b->room->memberData(1, QStringLiteral("mood")), QStringLiteral("元気"));
    QCOMPARE(b->room->memberData(0, kCnt), QStringLiteral("1"));
    QCOMPARE(b->room->memberData(1, kCnt), QStringLiteral("1"));
    QCOMPARE(b->room->memberData(3, kCnt), QStringLiteral("0"));
    QCOMPARE(b->room->memberCount(), 3);
}

void tst_Room::arrivalReachesEveryMemberWithTheName()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    const auto hFrom = h->events.size();
    const auto aFrom = a->events.size();
    auto b = joiner(QStringLiteral("ぺぽらん"), portOf(*h));
    const QStringList arrival{QStringLiteral("2 cnt=1 (ぺぽらん)")};
    QTRY_COMPARE(b->events, arrival);
    QTRY_COMPARE(h->eventsFrom(hFrom), arrival);
    QTRY_COMPARE(a->eventsFrom(aFrom), arrival);
}

void tst_Room::departureReachesTheOthersWithTheName()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a)); // A holds slot 1
    auto b = joiner(QStringLiteral("B"), portOf(*h));
    QTRY_VERIFY(joined(*b));
    QTRY_COMPARE(a->room->memberCount(), 3);
    const auto hFrom = h->events.size();
    const auto bFrom = b->events.size();

    a->room->closeConnection();
    const QStringList departure{QStringLiteral("1 cnt=0 (A)")};
    QTRY_COMPARE(h->eventsFrom(hFrom), departure);
    QTRY_COMPARE(b->eventsFrom(bFrom), departure);
    QCOMPARE(h->room->memberData(1, kName), QString());
    QCOMPARE(h->room->memberData(1, kCnt), QStringLiteral("0"));
    QCOMPARE(b->room->memberCount(), 2);

    QTRY_COMPARE(a->disconnects, 1);
    QCOMPARE(a->room->endReason(), EndReason::Closed);
    QVERIFY(!a->events.contains(QStringLiteral("1 cnt=0 (A)")));
}

void tst_Room::slotsAreReusedAfterDepartures()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    auto b = joiner(QStringLiteral("B"), portOf(*h));
    QTRY_VERIFY(joined(*b));
    auto c = joiner(QStringLiteral("C"), portOf(*h));
    QTRY_VERIFY(joined(*c));
    b->room->closeConnection();
    a->room->closeConnection();
    QTRY_COMPARE(h->room->memberCount(), 2);
    auto d = joiner(QStringLiteral("D"), portOf(*h));
    QTRY_VERIFY(joined(*d));
    QCOMPARE(d->room->ownSlot(), 1);
    auto e = joiner(QStringLiteral("E"), portOf(*h));
    QTRY_VERIFY(joined(*e));
    QCOMPARE(e->room->ownSlot(), 2);
    QCOMPARE(e->room->memberData(3, kName), QStringLiteral("C"));
}

void tst_Room::aSixthMemberIsRefusedAsRoomFull()
{
    auto h = host(QStringLiteral("H"));
    std::vector<std::unique_ptr<Member>> members;
    for (int i = 1; i <= 4; ++i) {
        members.push_back(joiner(QStringLiteral("M%1").arg(i), portOf(*h)));
        QTRY_VERIFY(joined(*members.back()));
        QCOMPARE(members.back()->room->ownSlot(), i);
    }
    const auto before = h->events.size();
    auto sixth = joiner(QStringLiteral("Six"), portOf(*h));
    QTRY_COMPARE(sixth->disconnects, 1);
    QCOMPARE(sixth->room->endReason(), EndReason::RoomFull);
    QVERIFY(sixth->events.isEmpty());
    QCOMPARE(h->room->memberCount(), 5);
    QCOMPARE(h->events.size(), before);
}

void tst_Room::changesAreRaisedEverywhereBeforeTheyAreStored()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    const auto hFrom = h->events.size();
    const auto aFrom = a->events.size();

    a->room->setData(kName, QStringLiteral("エー"));
    QCOMPARE(a->room->data(kName), QStringLiteral("エー"));
    // The name event shows the old name; afterwards the new one is stored.
    const QStringList rename{QStringLiteral("1 name=エー (A)")};
    QTRY_COMPARE(h->eventsFrom(hFrom), rename);
    QTRY_COMPARE(a->eventsFrom(aFrom), rename);
    QCOMPARE(h->room->memberData(1, kName), QStringLiteral("エー"));

    h->room->setData(kChat, QStringLiteral("やあ"));
    const QStringList line{QStringLiteral("0 chat=やあ (H)")};
    QTRY_COMPARE(h->eventsFrom(hFrom + 1), line);
    QTRY_COMPARE(a->eventsFrom(aFrom + 1), line);
}

void tst_Room::chatRepeatsButOtherKeysOnlyOnChange()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    const auto from = h->events.size();
    a->room->setData(kChat, QStringLiteral("again"));
    a->room->setData(kChat, QStringLiteral("again"));
    a->room->setData(kName, QStringLiteral("A"));        // unchanged
    a->room->setData(kName, QStringLiteral("a"));        // case counts
    a->room->setData(kName, QStringLiteral("a"));
    a->room->setData(QStringLiteral("Chat"), QStringLiteral("x"));
    a->room->setData(kChat, QString());
    const QStringList expected{
        QStringLiteral("1 chat=again (A)"), QStringLiteral("1 chat=again (A)"),
        QStringLiteral("1 name=a (A)"), QStringLiteral("1 Chat=x (a)"),
        QStringLiteral("1 chat= (a)"),
    };
    QTRY_COMPARE(h->eventsFrom(from), expected);
    QTRY_COMPARE(a->events.size(), 1 + expected.size());
    QCOMPARE(a->eventsFrom(1), expected);
}

void tst_Room::valuesSetWhileIdleTravelWithTheJoin()
{
    auto h = host(QStringLiteral("H"));
    auto a = std::make_unique<Member>(QStringLiteral("first"));
    a->room->setData(kName, QStringLiteral("second"));
    a->room->setData(kChat, QStringLiteral("said before joining"));
    QVERIFY(a->events.isEmpty());
    a->room->setServerAddress(QStringLiteral("127.0.0.1"));
    a->room->setPort(portOf(*h));
    a->room->openClient();
    a->room->setData(kName, QStringLiteral("最新")); // while connecting
    QTRY_VERIFY(joined(*a));
    QTRY_VERIFY(h->events.contains(QStringLiteral("1 cnt=1 (最新)")));
    QCOMPARE(a->events.first(), QStringLiteral("1 cnt=1 (最新)"));
    QCOMPARE(h->room->memberData(1, kChat), QStringLiteral("said before joining"));
}

void tst_Room::localValuesOutliveTheSession()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    h->room->closeConnection();
    QTRY_COMPARE(a->disconnects, 1);
    QCOMPARE(a->room->endReason(), EndReason::HostLeft);
    QCOMPARE(a->room->state(), Room::State::Idle);
    QCOMPARE(a->room->data(kName), QStringLiteral("A"));
    for (int i = 0; i < a->room->maxMembers(); ++i) {
        QCOMPARE(a->room->memberData(i, kCnt), QStringLiteral("0"));
        QCOMPARE(a->room->memberData(i, kName), QString());
    }
    QTRY_COMPARE(h->disconnects, 1);
    QCOMPARE(h->room->memberData(0, kName), QString());
    QCOMPARE(h->room->data(kName), QStringLiteral("H"));
}

void tst_Room::textRoundTrips_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name"); // the text as a name: 64 units at most
    QString emoji;
    while (emoji.size() + 2 <= 32767)
        emoji += QStringLiteral("🎌");
    const QString japanese = QStringLiteral("こんにちは、世界。「テスト」　全角スペース");
    QTest::newRow("Japanese") << japanese << japanese;
    QTest::newRow("emoji") << QStringLiteral("👨‍👩‍👧 😀 🇯🇵") << QStringLiteral("👨‍👩‍👧 😀 🇯🇵");
    QTest::newRow("the longest line of kanji") << QString(32767, QChar(0x6f22)) << QString(64, QChar(0x6f22));
    QTest::newRow("the longest line of emoji") << emoji << emoji.left(64);
    QTest::newRow("a name cut before an emoji, not through it")
        << u'x' + emoji.chopped(2) << u'x' + emoji.left(62);
}

void tst_Room::textRoundTrips()
{
    QFETCH(QString, text);
    QFETCH(QString, name);
    auto h = host(text.left(100));
    auto a = joiner(text, portOf(*h));
    QTRY_VERIFY(joined(*a));
    QTRY_COMPARE(h->room->memberData(1, kName), name);
    QCOMPARE(a->room->memberData(0, kName), name);
    a->room->setData(kChat, text);
    QTRY_COMPARE(h->room->memberData(1, kChat), text);
    QTRY_COMPARE(a->room->memberData(1, kChat), text);
}

void tst_Room::everyMemberSeesTheHostsOrder()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    auto b = joiner(QStringLiteral("B"), portOf(*h));
    QTRY_VERIFY(joined(*b));
    QTRY_COMPARE(a->room->memberCount(), 3);
    const auto hFrom = h->events.size(), aFrom = a->events.size(), bFrom = b->events.size();

    constexpr int kLines = 200;
    for (int i = 0; i < kLines; ++i) {
        h->room->setData(kChat, QStringLiteral("h%1").arg(i));
        a->room->setData(kChat, QStringLiteral("a%1").arg(i));
        b->room->setData(kChat, QStringLiteral("b%1").arg(i));
        if (i % 50 == 0)
            QCoreApplication::processEvents();
    }
    QTRY_COMPARE(h->events.size() - hFrom, 3 * kLines);
    QTRY_COMPARE(a->events.size() - aFrom, 3 * kLines);
    QTRY_COMPARE(b->events.size() - bFrom, 3 * kLines);
    QCOMPARE(a->eventsFrom(aFrom), h->eventsFrom(hFrom));
    QCOMPARE(b->eventsFrom(bFrom), h->eventsFrom(hFrom));
    // Each member's own lines keep their order and none is lost or doubled.
    for (const QString &who : {QStringLiteral("h"), QStringLiteral("a"), QStringLiteral("b")}) {
        QStringList own;
        for (const QString &e : h->eventsFrom(hFrom)) {
            const auto v = e.section(u'=', 1).section(u' ', 0, 0);
            if (v.startsWith(who))
                own << v;
        }
        QCOMPARE(own.size(), kLines);
        for (int i = 0; i < kLines; ++i)
            QCOMPARE(own[i], who + QString::number(i));
    }
}

void tst_Room::disconnectedOncePerSession_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<EndReason>("reason");
    QTest::addColumn<int>("refusal"); // what a fake host that greets turns us away with
    QTest::newRow("closed by the member") << "close" << EndReason::Closed << 0;
    QTest::newRow("closed while still connecting") << "closeConnecting" << EndReason::Closed << 0;
    QTest::newRow("the host closed") << "hostCloses" << EndReason::HostLeft << 0;
    QTest::newRow("the host vanished without a word") << "hostAborts" << EndReason::HostLeft << 0;
    QTest::newRow("nobody listens on the port") << "refused" << EndReason::Refused << 0;
    QTest::newRow("an empty address") << "noName" << EndReason::HostNotFound << 0;
    QTest::newRow("the port to host on is taken") << "portTaken" << EndReason::PortInUse << 0;
    QTest::newRow("a stranger answers") << "stranger" << EndReason::OtherProtocol << 0;
    QTest::newRow("a server that never speaks") << "mute" << EndReason::NoAnswer << 0;
    QTest::newRow("a host busy with other joiners") << "refuses" << EndReason::Busy << int(Raw::RefuseReason::Busy);
    QTest::newRow("a host without a door that says the passphrase was wrong")
        << "refuses" << EndReason::OtherProtocol << int(Raw::RefuseReason::PassphraseWrong);
    QTest::newRow("a refusal no version knows") << "refuses" << EndReason::OtherProtocol << 200;
}

void tst_Room::disconnectedOncePerSession()
{
    QFETCH(QString, how);
    QFETCH(EndReason, reason);
    QFETCH(int, refusal);
    Timeouts t = fastTimeouts();
    t.handshake = std::chrono::milliseconds(500);
    Member m(QStringLiteral("M"), t);
    m.room->setServerAddress(QStringLiteral("127.0.0.1"));
    std::unique_ptr<Member> h;
    // A stranger speaks in plain text; a fake host that never speaks does TLS.
    Raw::Server fake(how == "stranger" ? Raw::Server::Speaks::PlainText : Raw::Server::Speaks::Tls);
    QTcpServer squatter;

    if (how == "close" || how == "hostCloses" || how == "hostAborts") {
        h = host(QStringLiteral("H"));
        m.room->setPort(portOf(*h));
        m.room->openClient();
        QTRY_VERIFY(joined(m));
        if (how == "close")
            m.room->closeConnection();
        else if (how == "hostCloses")
            h->room->closeConnection();
        else
            h.reset(); // the whole room object goes away
    } else if (how == "closeConnecting" || how == "mute") {
        m.room->setPort(fake.serverPort());
        m.room->openClient();
        if (how == "closeConnecting") {
            QTRY_COMPARE(fake.peers.size(), 1);
            m.room->closeConnection();
            QCOMPARE(m.room->state(), Room::State::Idle);
        }
    } else if (how == "refused") {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        m.room->setPort(port);
        m.room->openClient();
    } else if (how == "noName") {
        m.room->setServerAddress(QString());
        m.room->setPort(1);
        m.room->openClient();
    } else if (how == "portTaken") {
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        m.room->setPort(squatter.serverPort());
        m.room->openServer();
    } else if (how == "stranger") {
        fake.onPeer = [](Raw::Peer *p) { p->sendRaw("SSH-2.0-OpenSSH_9.2\r\n"); };
        m.room->setPort(fake.serverPort());
        m.room->openClient();
    } else if (how == "refuses") {
        fake.onPeer = [refusal](Raw::Peer *p) {
            p->greet();
            p->send(Message{.type = Raw::MessageType::Refuse, .reason = refusal});
            QObject::connect(p->socket(), &QSslSocket::encrypted, p, [p] { p->socket()->disconnectFromHost(); });
        };
        m.room->setPort(fake.serverPort());
        m.room->openClient();
    }
    QCOMPARE(m.disconnects, 0); // never inside the call
    QTRY_COMPARE(m.disconnects, 1);
    QCOMPARE(m.room->endReason(), reason);
    QCOMPARE(m.room->state(), Room::State::Idle);
    // Nothing more follows: not from a late socket, not from a second close.
    QSignalSpy more(m.room.get(), &Room::disconnected);
    m.room->closeConnection();
    QVERIFY(!more.wait(100));
}

void tst_Room::disconnectedIsNeverNested()
{
    Member m(QStringLiteral("M"));
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::Any, 0));
    m.room->setPort(squatter.serverPort());
    m.room->openServer();
    QCOMPARE(m.disconnects, 0);
    // A second open before the first end was raised: each owes one.
    m.room->setPort(0);
    m.room->openServer();
    QCOMPARE(m.disconnects, 0);
    m.room->closeConnection();
    QCOMPARE(m.disconnects, 0);
    QTRY_COMPARE(m.disconnects, 2);
    QVERIFY(nextTurn());
    QCOMPARE(m.disconnects, 2);
}

void tst_Room::aHandlerIsNeverEnteredTwice()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    // Each member answers a line from the other inside its handler, and
    // spins a nested event loop there, as a message box would.
    QHash<Member *, int> depth;
    int deepest = 0, answers = 0;
    for (Member *m : {h.get(), a.get()}) {
        QObject::connect(m->room.get(), &Room::dataChanged, m->room.get(),
                         [&, m](int slot, const QString &key, const QString &value) {
                             deepest = qMax(deepest, ++depth[m]);
                             if (key == kChat && slot != m->room->ownSlot() && value.size() < 6) {
                                 ++answers;
                                 m->room->setData(kChat, value + u'!');
                                 QTest::qWait(20);
                             }
                             --depth[m];
                         });
    }
    const auto from = h->events.size();
    const auto aFrom = a->events.size();
    a->room->setData(kChat, QStringLiteral("hi"));
    QTRY_COMPARE(h->events.size() - from, 5);
    QTRY_COMPARE(a->eventsFrom(aFrom), h->eventsFrom(from));
    QCOMPARE(deepest, 1);
    QCOMPARE(answers, 4);
    QCOMPARE(h->eventsFrom(from),
             QStringList({QStringLiteral("1 chat=hi (A)"), QStringLiteral("0 chat=hi! (H)"),
                          QStringLiteral("1 chat=hi!! (A)"), QStringLiteral("0 chat=hi!!! (H)"),
                          QStringLiteral("1 chat=hi!!!! (A)")}));
}

void tst_Room::closeWhileIdleDoesNothing()
{
    Member m(QStringLiteral("M"));
    m.room->closeConnection();
    QVERIFY(nextTurn());
    QCOMPARE(m.disconnects, 0);
    QCOMPARE(m.room->endReason(), EndReason::None);
    QCOMPARE(m.room->memberData(0, kCnt), QStringLiteral("0"));
    QCOMPARE(m.room->memberData(-3, kName), QString());
    QCOMPARE(m.room->memberData(1000, kCnt), QStringLiteral("0"));
    QCOMPARE(m.room->data(kCnt), QStringLiteral("0"));
}

void tst_Room::impossibleCallsAreRefused()
{
    Room room;
    QVERIFY(!room.setPort(-1));
    QVERIFY(!room.setPort(65536));
    QCOMPARE(room.port(), 5120);
    QVERIFY(!room.setMaxMembers(0));
    QVERIFY(!room.setMaxMembers(257));
    QCOMPARE(room.maxMembers(), 5);
    QVERIFY(room.setPort(0));
    QVERIFY(!room.openClient());
    QCOMPARE(room.state(), Room::State::Idle);
    QCOMPARE(room.setData(kChat, QString(32768, u'x')), Room::SetResult::TooLong);
    QCOMPARE(room.data(kChat), QString());
    for (int i = 0; i < 32; ++i)
        QCOMPARE(room.setData(QString::number(i), QStringLiteral("v")), Room::SetResult::Stored);
    QCOMPARE(room.setData(QStringLiteral("33rd"), QStringLiteral("v")), Room::SetResult::OverLimits);
    QVERIFY(room.setPort(65535));
    QVERIFY(room.setMaxMembers(256));
    QVERIFY(room.setMaxMembers(1));
    QCOMPARE(room.maxMembers(), 1);
}

void tst_Room::joinsOverIPv6AndByName_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("IPv6 loopback") << QStringLiteral("::1");
    QTest::newRow("a host name") << QStringLiteral("localhost");
    QTest::newRow("IPv4 with blanks around it") << QStringLiteral(" 127.0.0.1 ");
}

void tst_Room::joinsOverIPv6AndByName()
{
    QFETCH(QString, address);
    if (address == QLatin1String("::1")) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHostIPv6, 0))
            QSKIP("this machine has no IPv6 loopback");
    }
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h), address);
    QTRY_VERIFY(joined(*a));
    QCOMPARE(a->room->memberData(0, kName), QStringLiteral("H"));
}

QTEST_GUILESS_MAIN(tst_Room)
#include "tst_room.moc"
