// A room's door: who gets in with which passphrase, what crosses the wire
// when the door stays shut, a relay in the middle, and how guessing is slowed.
#include "cpace.h"
#include "rawpeer.h"
#include "roomdoor.h"
#include "roommember.h"
#include "../configfolder.h"

#include <QTemporaryDir>
#include <QTest>

using namespace RoomTest;
using Raw::Message;
using Raw::MessageType;
using namespace Qt::StringLiterals;

namespace {

const QString kDoor = u"open sesame 123"_s;

// Speaks TLS to members with a key of its own and passes every frame on to
// the real host, as a member would: the exchange goes through unchanged.
class Impostor : public Raw::Server
{
public:
    Impostor(const QString &identityPath, quint16 hostPort) : Raw::Server(Speaks::Tls, identityPath)
    {
        onPeer = [this, hostPort](Raw::Peer *front) {
            auto *back = new Raw::Peer;
            back->setParent(this);
            back->connectTo(hostPort);
            m_pairs.push_back({front, back});
        };
        connect(&m_pump, &QTimer::timeout, this, [this] {
            for (Pair &p : m_pairs)
                p.pass();
        });
        m_pump.start(5);
    }

private:
    struct Pair
    {
        Raw::Peer *front, *back;
        bool preambles[2] = {false, false};
        qsizetype passed[2] = {0, 0};
        void pass()
        {
            passOn(front, back, 0);
            passOn(back, front, 1);
        }
        void passOn(Raw::Peer *from, Raw::Peer *to, int way)
        {
            const QByteArray preamble = from->preambleIn();
            if (!preambles[way] && preamble.size() == Raw::kPreambleSize) {
                preambles[way] = true;
                to->sendRaw(preamble);
            }
            for (; passed[way] < from->received.size(); ++passed[way])
                to->send(from->received.at(passed[way]));
        }
    };
    QList<Pair> m_pairs;
    QTimer m_pump;
};

bool ended(const Member &m)
{
    return m.disconnects > 0;
}

} // namespace

class tst_RoomDoor : public QObject
{
    Q_OBJECT

private slots:
    void onlyWhoKnowsThePassphraseGetsIn_data();
    void onlyWhoKnowsThePassphraseGetsIn();
    void nothingOfTheRoomCrossesAShutDoor_data();
    void nothingOfTheRoomCrossesAShutDoor();
    void aRelayWithAKeyOfItsOwnOpensNoDoor();
    void guessesWaitLongerAndLonger_data();
    void guessesWaitLongerAndLonger();
    void aGuesserIsSlowedAndNobodyElse();
};

void tst_RoomDoor::onlyWhoKnowsThePassphraseGetsIn_data()
{
    QTest::addColumn<QString>("door");    // empty: an open room
    QTest::addColumn<QString>("offered"); // what the member gives
    QTest::addColumn<EndReason>("refused"); // None: it joins

    QTest::newRow("an open room without a passphrase") << QString() << QString() << EndReason::None;
    QTest::newRow("an open room with a passphrase given anyway") << QString() << kDoor << EndReason::None;
    QTest::newRow("a door without a passphrase") << kDoor << QString() << EndReason::PassphraseNeeded;
    QTest::newRow("a door with a wrong passphrase") << kDoor << u"open sesame 124"_s << EndReason::PassphraseWrong;
    QTest::newRow("a door with the right passphrase") << kDoor << kDoor << EndReason::None;
    QTest::newRow("a door with the right passphrase typed full-width")
        << kDoor << u"\u3000ｏｐｅｎ\u3000ｓｅｓａｍｅ\u3000１２３"_s << EndReason::None;
}

// Whoever is refused learns nothing of the room and tells it nothing: no
// event at either end names the other.
void tst_RoomDoor::onlyWhoKnowsThePassphraseGetsIn()
{
    QFETCH(QString, door);
    QFETCH(QString, offered);
    QFETCH(EndReason, refused);
    ConfigFolder config;
    auto h = host(u"H"_s, 5, fastTimeouts(), door);
    QCOMPARE(h->room->hasDoor(), !door.isEmpty());
    auto m = joiner(u"M"_s, portOf(*h), u"127.0.0.1"_s, fastTimeouts(), {}, offered);
    QTRY_VERIFY(joined(*m) || ended(*m));
    if (refused == EndReason::None) {
        QTRY_COMPARE(h->events.last(), u"1 cnt=1 (M)"_s);
        return;
    }
    QCOMPARE(m->room->endReason(), refused);
    QVERIFY2(m->events.isEmpty(), qPrintable(m->events.join(u'\n')));
    QCOMPARE(h->events, QStringList{u"0 cnt=1 (H)"_s});
    QCOMPARE(h->room->pendingJoins(), 0);
}

void tst_RoomDoor::nothingOfTheRoomCrossesAShutDoor_data()
{
    QTest::addColumn<QString>("side");   // who is played by hand
    QTest::addColumn<QString>("door");
    QTest::addColumn<int>("version");    // a hand-played member's
    QTest::addColumn<int>("refusal");    // what a hand-played member is told; 0 welcomed

    QTest::newRow("a member without a passphrase says nothing at a door") << u"host"_s << kDoor << 0 << 0;
    QTest::newRow("a member whose host answers wrong says nothing more") << u"host"_s << u"bad"_s << 0 << 0;
    QTest::newRow("a member that skips the door is told it needs one")
        << u"member"_s << kDoor << 3 << int(Raw::RefuseReason::PassphraseNeeded);
    QTest::newRow("a member of the version before at a door is told the versions differ")
        << u"member"_s << kDoor << 2 << int(Raw::RefuseReason::OtherVersion);
    QTest::newRow("a member of the version before still joins an open room") << u"member"_s << QString() << 2 << 0;
}

void tst_RoomDoor::nothingOfTheRoomCrossesAShutDoor()
{
    QFETCH(QString, side);
    QFETCH(QString, door);
    QFETCH(int, version);
    QFETCH(int, refusal);
    ConfigFolder config;
    if (side == u"host"_s) {
        // A host that asks for a passphrase and, when knocked, answers with
        // a share made from another one.
        Raw::Server fake;
        fake.onPeer = [](Raw::Peer *p) {
            p->sendPreamble();
            p->send(Message::hello(RoomDoor::nonce()));
            QObject::connect(p->socket(), &QSslSocket::readyRead, p, [p] {
                const auto knock = std::find_if(p->received.cbegin(), p->received.cend(),
                                                [](const Message &m) { return m.type == MessageType::Knock; });
                if (knock == p->received.cend() || p->property("answered").toBool())
                    return;
                p->setProperty("answered", true);
                Cpace::Exchange other(Cpace::Exchange::Role::Responder, "guess", "ci", "sid", "a", "b");
                other.receive(knock->share);
                p->send(Message::answer(other.share(), other.confirmation()));
            });
        };
        auto m = joiner(u"M"_s, fake.serverPort(), u"127.0.0.1"_s, fastTimeouts(), {},
                        door == u"bad"_s ? kDoor : QString());
        QTRY_VERIFY(ended(*m));
        QCOMPARE(m->room->endReason(), door == u"bad"_s ? EndReason::PassphraseWrong : EndReason::PassphraseNeeded);
        QTRY_VERIFY(!fake.peers.first()->isOpen());
        QList<MessageType> said;
        for (const Message &message : std::as_const(fake.peers.first()->received)) {
            if (message.type != MessageType::Ping)
                said << message.type;
        }
        QCOMPARE(said, door == u"bad"_s ? QList{MessageType::Knock} : QList<MessageType>());
        return;
    }
    auto h = host(u"H"_s, 5, fastTimeouts(), door);
    Raw::Peer member;
    QVERIFY(member.connectTo(portOf(*h)));
    member.sendPreamble(quint16(version));
    member.send(Message::set(u"name"_s, u"M"_s));
    member.send(Message::join(15000));
    QTRY_VERIFY(member.count(MessageType::Welcome) + member.count(MessageType::Refuse) == 1);
    if (refusal == 0) {
        QTRY_COMPARE(h->events.last(), u"1 cnt=1 (M)"_s);
        QCOMPARE(member.count(MessageType::Hello), 0); // the version before knows none
        return;
    }
    QCOMPARE(member.received.last().reason, refusal);
    QCOMPARE(member.count(MessageType::Store), 0);
    QCOMPARE(h->events, QStringList{u"0 cnt=1 (H)"_s});
}

// The member sees the relay's key, the host its own: their exchanges are
// bound to different channels, and neither side's check passes.
void tst_RoomDoor::aRelayWithAKeyOfItsOwnOpensNoDoor()
{
    ConfigFolder config;
    auto h = host(u"H"_s, 5, fastTimeouts(), kDoor);
    QTemporaryDir elsewhere;
    Impostor relay(elsewhere.filePath(u"id.pem"_s), portOf(*h));
    auto m = joiner(u"M"_s, relay.serverPort(), u"127.0.0.1"_s, fastTimeouts(), {}, kDoor);
    QTRY_VERIFY(ended(*m));
    QCOMPARE(m->room->endReason(), EndReason::PassphraseWrong);
    QVERIFY(m->events.isEmpty());
    QTRY_COMPARE(h->room->pendingJoins(), 0);
    QCOMPARE(h->events, QStringList{u"0 cnt=1 (H)"_s});
}

void tst_RoomDoor::guessesWaitLongerAndLonger_data()
{
    // Steps "fail ADDRESS MS", "ok ADDRESS", "try ADDRESS MS"; the last is a
    // try, and `wait` what it is told.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("wait");

    const QStringList three{u"fail 10.0.0.1 0"_s, u"fail 10.0.0.1 1"_s, u"fail 10.0.0.1 2"_s};
    QTest::newRow("the first three guesses go at once")
        << QStringList{u"fail 10.0.0.1 0"_s, u"fail 10.0.0.1 1"_s, u"try 10.0.0.1 2"_s} << 0;
    QTest::newRow("after three wrong the next waits a second") << three + QStringList{u"try 10.0.0.1 2"_s} << 1000;
    QTest::newRow("once the second is over it may go") << three + QStringList{u"try 10.0.0.1 1002"_s} << 0;
    QTest::newRow("each wrong one after that doubles the wait")
        << three + QStringList{u"fail 10.0.0.1 3"_s, u"fail 10.0.0.1 4"_s, u"try 10.0.0.1 4"_s} << 4000;
    QStringList many = three;
    for (int i = 0; i < 20; ++i)
        many << u"fail 10.0.0.1 2"_s;
    QTest::newRow("never more than a minute") << many + QStringList{u"try 10.0.0.1 2"_s} << 60000;
    QTest::newRow("another address is not slowed") << three + QStringList{u"try 10.0.0.2 2"_s} << 0;
    QTest::newRow("an IPv6 /64 is one machine")
        << QStringList{u"fail 2001:db8::1 0"_s, u"fail 2001:db8::2 0"_s, u"fail 2001:db8::3 0"_s,
                       u"try 2001:db8::ffff:1 0"_s}
        << 1000;
    QTest::newRow("an IPv4 address in IPv6 form is that address")
        << QStringList{u"fail ::ffff:10.0.0.1 0"_s, u"fail ::ffff:10.0.0.1 0"_s, u"fail ::ffff:10.0.0.1 0"_s,
                       u"try 10.0.0.1 0"_s}
        << 1000;
    QTest::newRow("the right passphrase clears the count") << three + QStringList{u"ok 10.0.0.1"_s, u"try 10.0.0.1 2"_s} << 0;
    QTest::newRow("an hour later all is forgotten") << three + QStringList{u"try 10.0.0.1 3600002"_s} << 0;
    QStringList crowd;
    for (int i = 0; i < RoomDoor::GuessLimit::kPerSecond; ++i)
        crowd << u"try 10.1.0.%1 0"_s.arg(i) << u"fail 10.1.0.%1 0"_s.arg(i);
    QTest::newRow("after twenty wrong in a second from anywhere, everyone waits its turn")
        << crowd + QStringList{u"try 10.2.0.1 0"_s} << 1000 / RoomDoor::GuessLimit::kPerSecond + 1;
    QTest::newRow("right passphrases cost nothing of that")
        << QStringList(RoomDoor::GuessLimit::kPerSecond * 2, u"try 10.1.0.1 0"_s) << 0;
}

void tst_RoomDoor::guessesWaitLongerAndLonger()
{
    QFETCH(QStringList, steps);
    QFETCH(int, wait);
    RoomDoor::GuessLimit limit;
    qint64 told = -1;
    for (const QString &step : std::as_const(steps)) {
        const QStringList word = step.split(u' ');
        const QHostAddress from(word.at(1));
        const RoomDoor::GuessLimit::Duration at(word.value(2).toLongLong());
        if (word.first() == u"fail"_s)
            limit.failed(from, at);
        else if (word.first() == u"ok"_s)
            limit.succeeded(from);
        else
            told = limit.tryAt(from, at).count();
    }
    QCOMPARE(told, qint64(wait));
}

// Over the wire: three wrong passphrases from one address, and the fourth
// is turned away unheard; the same wrong one from another address (IPv6
// loopback: another source) is heard.
void tst_RoomDoor::aGuesserIsSlowedAndNobodyElse()
{
    ConfigFolder config;
    auto h = host(u"H"_s, 5, fastTimeouts(), kDoor);
    const auto attempt = [&](const QString &address) {
        auto m = joiner(u"M"_s, portOf(*h), address, fastTimeouts(), {}, u"wrong"_s);
        return waitUntil([&] { return ended(*m); }) ? m->room->endReason() : EndReason::None;
    };
    for (int i = 0; i < RoomDoor::GuessLimit::kFreeFailures; ++i)
        QCOMPARE(attempt(u"127.0.0.1"_s), EndReason::PassphraseWrong);
    QCOMPARE(attempt(u"127.0.0.1"_s), EndReason::PassphraseTryLater);
    QCOMPARE(attempt(u"::1"_s), EndReason::PassphraseWrong);
}

QTEST_MAIN(tst_RoomDoor)
#include "tst_roomdoor.moc"
