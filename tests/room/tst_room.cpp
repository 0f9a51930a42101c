#include "rawpeer.h"
#include "room.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

using namespace TAVIXLibCtl;
using Raw::Message;
using Raw::MessageType;

namespace {

const QString kName = QStringLiteral("name");
const QString kChat = QStringLiteral("chat");
const QString kCnt = QStringLiteral("cnt");

Timeouts fastTimeouts()
{
    Timeouts t;
    t.handshake = std::chrono::milliseconds(1500);
    t.deadPeer = std::chrono::milliseconds(1500);
    t.stall = std::chrono::milliseconds(1500);
    return t;
}

// One member of a room as the tests see it: its component and every event it
// raised, with the name the component gave for that slot at that moment.
struct Member
{
    explicit Member(const QString &name, const Timeouts &timeouts = fastTimeouts())
    {
        room = std::make_unique<Room>();
        room->setTimeouts(timeouts);
        room->setData(kName, name);
        QObject::connect(room.get(), &Room::dataChanged, room.get(),
                         [this](int slot, int, const QString &key, const QString &value) {
                             events << QStringLiteral("%1 %2=%3 (%4)")
                                           .arg(slot)
                                           .arg(key, value, room->memberData(slot, kName));
                         });
        QObject::connect(room.get(), &Room::disconnected, room.get(), [this] { ++disconnects; });
    }
    QStringList eventsFrom(qsizetype from) const { return events.mid(from); }

    std::unique_ptr<Room> room;
    QStringList events;
    int disconnects = 0;
};

std::unique_ptr<Member> host(const QString &name, int size = 5)
{
    auto m = std::make_unique<Member>(name);
    m->room->setPort(0);
    m->room->setMaxMembers(size);
    m->room->openServer();
    return m;
}

quint16 portOf(const Member &host)
{
    return host.room->boundPort();
}

std::unique_ptr<Member> joiner(const QString &name, quint16 port,
                               const QString &address = QStringLiteral("127.0.0.1"))
{
    auto m = std::make_unique<Member>(name);
    m->room->setServerAddress(address);
    m->room->setPort(port);
    m->room->openClient();
    return m;
}

bool joined(const Member &m)
{
    return m.room->state() == Room::State::Joined;
}

} // namespace

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
    void nobodyChangesPresenceOrAnotherMembersData();
    void valuesSetWhileIdleTravelWithTheJoin();
    void localValuesOutliveTheSession();
    void textRoundTrips_data();
    void textRoundTrips();
    void everyMemberSeesTheHostsOrder();
    void disconnectedOncePerSession_data();
    void disconnectedOncePerSession();
    void disconnectedIsNeverNested();
    void closeWhileIdleDoesNothing();
    void aHandlerIsNeverEnteredTwice();
    void impossibleCallsThrow();
    void joinsOverIPv6AndByName_data();
    void joinsOverIPv6AndByName();
    void hostileInputDropsOnlyThePeer_data();
    void hostileInputDropsOnlyThePeer();
    void controlCharactersNeverReachAnEvent();
    void aSilentMemberIsDroppedWithinTheBound();
    void aSilentHostEndsTheSessionWithinTheBound();
    void anUnfinishedHandshakeNeverHoldsASlot();
    void aMemberThatStopsReadingIsDroppedAndTheRoomGoesOn();
    void anotherVersionIsToldWhy();
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
    auto b = joiner(QStringLiteral("B"), portOf(*h));
    QTRY_VERIFY(joined(*a) && joined(*b));
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
    QCOMPARE(reasonText(EndReason::RoomFull), QStringLiteral("満員で入れません"));
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

void tst_Room::nobodyChangesPresenceOrAnotherMembersData()
{
    auto h = host(QStringLiteral("H"));
    QTRY_COMPARE(h->events.size(), 1);
    h->room->setData(kCnt, QStringLiteral("0"));
    QCOMPARE(h->room->memberData(0, kCnt), QStringLiteral("1"));

    // A raw member tries to leave by value, to forge presence and to write
    // into the host's slot; the protocol has no way to name another slot.
    Raw::Peer mallory;
    QVERIFY(mallory.connectTo(portOf(*h)));
    mallory.join(QStringLiteral("M"));
    QTRY_COMPARE(h->room->memberCount(), 2);
    mallory.send(Message{MessageType::Set, 0, 0, 0, kCnt, QStringLiteral("0")});
    mallory.send(Message{MessageType::Update, 0, 0, 0, kName, QStringLiteral("pwned")});
    QTRY_COMPARE(h->room->memberCount(), 1); // a host-only message ends its link
    QCOMPARE(h->room->memberData(0, kName), QStringLiteral("H"));
    const QStringList expected{QStringLiteral("0 cnt=1 (H)"), QStringLiteral("1 cnt=1 (M)"),
                               QStringLiteral("1 cnt=0 (M)")};
    QCOMPARE(h->events, expected);
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
    QString emoji;
    while (emoji.size() + 2 <= 32767)
        emoji += QStringLiteral("🎌");
    QTest::newRow("Japanese") << QStringLiteral("こんにちは、世界。「テスト」　全角スペース");
    QTest::newRow("emoji") << QStringLiteral("👨‍👩‍👧 😀 🇯🇵");
    QTest::newRow("the longest line of kanji") << QString(32767, QChar(0x6f22));
    QTest::newRow("the longest line of emoji") << emoji;
}

void tst_Room::textRoundTrips()
{
    QFETCH(QString, text);
    auto h = host(text.left(100));
    auto a = joiner(text, portOf(*h));
    QTRY_VERIFY(joined(*a));
    QTRY_COMPARE(h->room->memberData(1, kName), text);
    QCOMPARE(a->room->memberData(0, kName), text.left(100));
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
    QTest::newRow("closed by the member") << "close" << EndReason::Closed;
    QTest::newRow("closed while still connecting") << "closeConnecting" << EndReason::Closed;
    QTest::newRow("the host closed") << "hostCloses" << EndReason::HostLeft;
    QTest::newRow("the host vanished without a word") << "hostAborts" << EndReason::HostLeft;
    QTest::newRow("nobody listens on the port") << "refused" << EndReason::Refused;
    QTest::newRow("an empty address") << "noName" << EndReason::HostNotFound;
    QTest::newRow("the port to host on is taken") << "portTaken" << EndReason::PortInUse;
    QTest::newRow("a stranger answers") << "stranger" << EndReason::OtherProtocol;
    QTest::newRow("a server that never speaks") << "mute" << EndReason::NoAnswer;
}

void tst_Room::disconnectedOncePerSession()
{
    QFETCH(QString, how);
    QFETCH(EndReason, reason);
    Timeouts t = fastTimeouts();
    t.handshake = std::chrono::milliseconds(500);
    Member m(QStringLiteral("M"), t);
    m.room->setServerAddress(QStringLiteral("127.0.0.1"));
    std::unique_ptr<Member> h;
    Raw::Server fake;
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
    }
    QCOMPARE(m.disconnects, 0); // never inside the call
    QTRY_COMPARE(m.disconnects, 1);
    QCOMPARE(m.room->endReason(), reason);
    QCOMPARE(m.room->state(), Room::State::Idle);
    // Nothing more follows: not from a late socket, not from a second close.
    m.room->closeConnection();
    QTest::qWait(100);
    QCOMPARE(m.disconnects, 1);
    QVERIFY(!reasonText(reason).isEmpty());
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
    QTest::qWait(50);
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
                         [&, m](int slot, int, const QString &key, const QString &value) {
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
    QTest::qWait(50);
    QCOMPARE(m.disconnects, 0);
    QCOMPARE(m.room->endReason(), EndReason::None);
    QCOMPARE(m.room->memberData(0, kCnt), QStringLiteral("0"));
    QCOMPARE(m.room->memberData(-3, kName), QString());
    QCOMPARE(m.room->memberData(1000, kCnt), QStringLiteral("0"));
    QCOMPARE(m.room->data(kCnt), QStringLiteral("0"));
}

void tst_Room::impossibleCallsThrow()
{
    Room room;
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, room.setPort(-1));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, room.setPort(65536));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, room.setMaxMembers(0));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, room.setMaxMembers(257));
    room.setPort(0);
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, room.openClient());
    QCOMPARE(room.state(), Room::State::Idle);
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, room.setData(kChat, QString(32768, u'x')));
    for (int i = 0; i < 32; ++i)
        room.setData(QString::number(i), QStringLiteral("v"));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, room.setData(QStringLiteral("33rd"), QStringLiteral("v")));
    room.setPort(65535);
    room.setMaxMembers(256);
    room.setMaxMembers(1);
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

void tst_Room::hostileInputDropsOnlyThePeer_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("afterJoin");
    QByteArray huge = TAVIXLibCtl::Wire::preamble();
    huge += QByteArray::fromHex("7fffffff") + QByteArray(4096, 'x');
    QByteArray badUtf8 = QByteArray::fromHex("00000008") + QByteArray::fromHex("83016161 6262fffe").replace(' ', "");
    QTest::newRow("random bytes instead of a preamble") << QByteArray::fromHex("00ff13370badf00d") << false;
    QTest::newRow("an HTTP request") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n") << false;
    QTest::newRow("a huge length header") << huge << false;
    QTest::newRow("garbage after joining") << QByteArray::fromHex("00000004deadbeef") << true;
    QTest::newRow("invalid UTF-8 after joining") << badUtf8 << true;
    QTest::newRow("a zero length frame after joining") << QByteArray::fromHex("00000000") << true;
    QTest::newRow("a host's message after joining")
        << TAVIXLibCtl::Wire::encode(Message{MessageType::Depart, 0}) << true;
}

void tst_Room::hostileInputDropsOnlyThePeer()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, afterJoin);
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    const auto aFrom = a->events.size();

    Raw::Peer evil;
    QVERIFY(evil.connectTo(portOf(*h)));
    if (afterJoin) {
        evil.join(QStringLiteral("evil"));
        QTRY_COMPARE(h->room->memberCount(), 3);
    }
    evil.sendRaw(bytes);
    QTRY_VERIFY(!evil.isOpen());
    QTRY_COMPARE(h->room->memberCount(), 2);
    QCOMPARE(h->room->pendingJoins(), 0);

    // The room goes on as if nothing happened.
    a->room->setData(kChat, QStringLiteral("still here"));
    QTRY_COMPARE(h->room->memberData(1, kChat), QStringLiteral("still here"));
    QStringList expected;
    if (afterJoin)
        expected << QStringLiteral("2 cnt=1 (evil)") << QStringLiteral("2 cnt=0 (evil)");
    expected << QStringLiteral("1 chat=still here (A)");
    QTRY_COMPARE(a->eventsFrom(aFrom), expected);
    QCOMPARE(h->room->state(), Room::State::Hosting);
}

void tst_Room::controlCharactersNeverReachAnEvent()
{
    auto h = host(QStringLiteral("H"));
    Raw::Peer evil;
    QVERIFY(evil.connectTo(portOf(*h)));
    evil.join(QStringLiteral("Eve\r\nH > I am the host"));
    QTRY_COMPARE(h->room->memberCount(), 2);
    evil.send(Message{MessageType::Set, 0, 0, 0, kChat, QStringLiteral("hi\n\x1b[2Jbye\u2028x")});
    QTRY_COMPARE(h->events.size(), 3);
    for (const QString &e : h->events) {
        QVERIFY2(!e.contains(u'\n') && !e.contains(u'\r') && !e.contains(QChar(0x1b))
                     && !e.contains(QChar(0x2028)),
                 qPrintable(e));
    }
    const QString r(QChar::ReplacementCharacter);
    QCOMPARE(h->room->memberData(1, kName), QStringLiteral("Eve") + r + r + QStringLiteral("H > I am the host"));
    // And the local member cannot do it either.
    h->room->setData(kChat, QStringLiteral("a\r\nb"));
    QTRY_COMPARE(h->events.last(), QStringLiteral("0 chat=a") + r + r + QStringLiteral("b (H)"));
    QCOMPARE(h->room->data(kChat), QStringLiteral("a") + r + r + QStringLiteral("b"));
}

void tst_Room::aSilentMemberIsDroppedWithinTheBound()
{
    auto h = host(QStringLiteral("H"));
    QTRY_COMPARE(h->events.size(), 1);
    Raw::Peer frozen; // joins, then never says another word
    QVERIFY(frozen.connectTo(portOf(*h)));
    frozen.join(QStringLiteral("F"));
    QTRY_COMPARE(h->room->memberCount(), 2);
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(h->room->memberCount(), 1, 5000);
    const auto bound = h->room->timeouts().deadPeer.count();
    QVERIFY2(clock.elapsed() <= bound + 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(h->events.last(), QStringLiteral("1 cnt=0 (F)"));
}

void tst_Room::aSilentHostEndsTheSessionWithinTheBound()
{
    Raw::Server fake;
    fake.onPeer = [](Raw::Peer *p) {
        p->sendPreamble();
        p->send(Message{MessageType::Welcome, 1, 5});
        p->send(Message{MessageType::Store, 0, 0, 0, kName, QStringLiteral("host")});
        p->send(Message{MessageType::Store, 0, 0, 0, kCnt, QStringLiteral("1")});
        p->send(Message{MessageType::Store, 1, 0, 0, kName, QStringLiteral("M")});
        p->send(Message{MessageType::Arrive, 1});
    };
    Member m(QStringLiteral("M"));
    m.room->setServerAddress(QStringLiteral("127.0.0.1"));
    m.room->setPort(fake.serverPort());
    m.room->openClient();
    QTRY_VERIFY(joined(m));
    QCOMPARE(m.events, QStringList{QStringLiteral("1 cnt=1 (M)")});
    QCOMPARE(m.room->memberData(0, kName), QStringLiteral("host"));
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(m.disconnects, 1, 5000);
    QVERIFY2(clock.elapsed() <= m.room->timeouts().deadPeer.count() + 500,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m.room->endReason(), EndReason::ConnectionLost);
    // The fake host heard the join and the member's heartbeat all along.
    QCOMPARE(fake.peers.first()->count(MessageType::Join), 1);
    QVERIFY(fake.peers.first()->count(MessageType::Ping) > 0);
}

void tst_Room::anUnfinishedHandshakeNeverHoldsASlot()
{
    auto h = host(QStringLiteral("H"), 2);
    std::vector<std::unique_ptr<Raw::Peer>> idle;
    for (int i = 0; i < 40; ++i) { // more than may wait at once
        idle.push_back(std::make_unique<Raw::Peer>());
        QVERIFY(idle.back()->connectTo(portOf(*h)));
    }
    idle.back()->sendPreamble(); // half a handshake
    QTRY_VERIFY(h->room->pendingJoins() > 0);
    QVERIFY(h->room->pendingJoins() <= 32);
    // A real member still gets in, and the one slot is not held by anyone else.
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    QCOMPARE(a->room->ownSlot(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(h->room->pendingJoins(), 0, 5000);
    QCOMPARE(h->room->memberCount(), 2);
}

void tst_Room::aMemberThatStopsReadingIsDroppedAndTheRoomGoesOn()
{
    auto h = host(QStringLiteral("H"));
    auto a = joiner(QStringLiteral("A"), portOf(*h));
    QTRY_VERIFY(joined(*a));
    Raw::Peer deaf;
    QVERIFY(deaf.connectTo(portOf(*h)));
    deaf.join(QStringLiteral("deaf"));
    QTRY_COMPARE(h->room->memberCount(), 3);
    deaf.stopReading();
    // It keeps its heartbeat going, so only its full queue can give it away.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, &deaf, [&] { deaf.send(Message{MessageType::Ping}); });
    heartbeat.start(100);

    const QString line(30000, QChar(u'あ'));
    int sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (h->room->memberCount() == 3 && clock.elapsed() < 20000) {
        // A flooding member that paces itself by what is still queued.
        if (a->room->pendingOutput() < 512 * 1024)
            a->room->setData(kChat, line + QString::number(sent++));
        QTest::qWait(1);
    }
    QCOMPARE(h->room->memberCount(), 2);
    QVERIFY2(h->events.contains(QStringLiteral("2 cnt=0 (deaf)")), qPrintable(h->events.filter(QStringLiteral("cnt")).join(u'|')));
    // Every line A sent still reached the host, in order, before and after.
    const QString last = line + QString::number(sent - 1);
    QTRY_COMPARE_WITH_TIMEOUT(h->room->memberData(1, kChat), last, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(a->room->memberData(1, kChat), last, 10000);
}

void tst_Room::anotherVersionIsToldWhy()
{
    auto h = host(QStringLiteral("H"));
    Raw::Peer future;
    QVERIFY(future.connectTo(portOf(*h)));
    future.sendPreamble(TAVIXLibCtl::Wire::kVersion + 1);
    future.send(Message{MessageType::Join});
    QTRY_VERIFY(!future.isOpen());
    QCOMPARE(future.preambleIn(), TAVIXLibCtl::Wire::preamble());
    QCOMPARE(future.received.size(), 1);
    QCOMPARE(future.received.first().type, MessageType::Refuse);
    QCOMPARE(future.received.first().reason, int(TAVIXLibCtl::Wire::RefuseReason::OtherVersion));
    QCOMPARE(h->room->memberCount(), 1);

    // And a joiner meeting a host of another version says so.
    Raw::Server old;
    old.onPeer = [](Raw::Peer *p) { p->sendPreamble(TAVIXLibCtl::Wire::kVersion + 7); };
    Member m(QStringLiteral("M"));
    m.room->setServerAddress(QStringLiteral("127.0.0.1"));
    m.room->setPort(old.serverPort());
    m.room->openClient();
    QTRY_COMPARE(m.disconnects, 1);
    QCOMPARE(m.room->endReason(), EndReason::OtherProtocol);
}

QTEST_GUILESS_MAIN(tst_Room)
#include "tst_room.moc"
