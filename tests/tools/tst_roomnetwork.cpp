// The room over a network this test builds for itself: two network namespaces
// joined by a veth pair, whose link is cut or slowed under one member. Unlike
// a frozen process, a cut link answers nothing: no FIN, no RST, no ACK.
// Needs root and iproute2; skips without them.

#include "netns.h"
#include "roomprocess.h"

#include <QElapsedTimer>
#include <QTest>

#include <optional>

using namespace RoomProcess;

namespace {

// What a check may take beyond its bound: turns of event loops, pipes, and a
// machine shared with others.
constexpr int kSlackMs = 300;
constexpr qint64 kMaxPeakKiB = 64 * 1024;
const QByteArray kFloodLines = "F > ";

// A room of exactly four: host H, prober P and flooder F in the room's
// namespace over loopback, and member M over the link. Only a freed slot
// lets M back in.
struct LiveRoom
{
    explicit LiveRoom(const Net &onNet) : net(onNet), host(Tool::host(4, QStringLiteral("H"), onNet.inRoom()))
    {
        host->countOnly = kFloodLines;
        if (!QTest::qWaitFor([this] { return host->port() != 0; }, 5000))
            return;
        prober = Tool::join(host->port(), QStringLiteral("P"), QStringLiteral("127.0.0.1"), net.inRoom());
        flooder = Tool::join(host->port(), QStringLiteral("F"), QStringLiteral("127.0.0.1"), net.inRoom());
        prober->countOnly = flooder->countOnly = kFloodLines;
        joinOverLink();
    }
    void joinOverLink()
    {
        member = Tool::join(host->port(), QStringLiteral("M"), net.roomAddress, net.inMember());
        member->countOnly = kFloodLines;
    }
    bool allIn() const
    {
        return member && host->has(arrived(QStringLiteral("P"))) && host->has(arrived(QStringLiteral("F")))
               && host->has(arrived(QStringLiteral("M")));
    }

    const Net &net;
    std::unique_ptr<Tool> host, prober, flooder, member;
};

// Says numbered lines through a member at a steady pace, one at a time, and
// times each one's way back through the host: how long the room keeps the
// others waiting.
class Prober
{
public:
    static constexpr int kPaceMs = 50;
    static constexpr qsizetype kLength = 100;

    Prober(Tool &tool, const QString &name) : m_tool(tool), m_name(name)
    {
        tool.onLine = [this](const QString &line) {
            if (line != m_waiting)
                return;
            m_worst = qMax(m_worst, m_clock.elapsed());
            ++m_back;
            m_waiting.clear();
        };
        QObject::connect(&m_pace, &QTimer::timeout, &m_pace, [this] {
            if (!m_waiting.isEmpty())
                return;
            const QString text = QStringLiteral("probe %1 ").arg(m_sent++).leftJustified(kLength, u'.');
            m_waiting = said(m_name, text);
            m_clock.start();
            m_tool.process.write(text.toUtf8() + '\n');
        });
        restart();
    }
    ~Prober() { m_tool.onLine = nullptr; }

    // The longest wait since restart(), the line still out included.
    qint64 worst() const { return qMax(m_worst, m_waiting.isEmpty() ? 0 : m_clock.elapsed()); }
    int back() const { return m_back; }
    void restart()
    {
        m_worst = 0;
        m_back = 0;
        m_pace.start(kPaceMs);
    }
    void stop() { m_pace.stop(); }
    static QString prefix(const QString &name) { return said(name, QStringLiteral("probe ")); }

private:
    Tool &m_tool;
    const QString m_name;
    QTimer m_pace;
    QElapsedTimer m_clock;
    QString m_waiting;
    qint64 m_worst = 0;
    int m_back = 0;
    int m_sent = 0;
};

} // namespace

class tst_RoomNetwork : public QObject
{
    Q_OBJECT

private slots:
    void aCutLinkEndsBothSidesAndLeavesNoGhost_data();
    void aCutLinkEndsBothSidesAndLeavesNoGhost();
    void aSlowLinkKeepsUpWithChatButNotWithAFlood();
};

void tst_RoomNetwork::aCutLinkEndsBothSidesAndLeavesNoGhost_data()
{
    QTest::addColumn<bool>("flood");
    QTest::newRow("quiet room") << false;
    QTest::newRow("during a flood") << true;
}

void tst_RoomNetwork::aCutLinkEndsBothSidesAndLeavesNoGhost()
{
    QFETCH(bool, flood);
    Net net;
    if (!net.skipReason.isEmpty())
        QSKIP(qPrintable(net.skipReason));
    QVERIFY2(net.ready(), qPrintable(net.error));
    LiveRoom room(net);
    QTRY_VERIFY_WITH_TIMEOUT(room.allIn(), 5000);
    Prober probe(*room.prober, QStringLiteral("P"));
    std::optional<InputFlood> feed;
    if (flood) {
        feed.emplace(room.flooder->process);
        QTRY_VERIFY(room.member->counted > 1000); // the flood crosses the link
    }

    QElapsedTimer clock;
    qint64 hostSaw = -1;
    qint64 memberSaw = -1;
    room.host->onLine = [&](const QString &line) {
        if (line == left(QStringLiteral("M")))
            hostSaw = clock.elapsed();
    };
    room.member->onLine = [&](const QString &line) {
        if (line == QStringLiteral("切断しました。"))
            memberSaw = clock.elapsed();
    };
    clock.start();
    probe.restart();
    QVERIFY2(net.cut(), qPrintable(net.error));
    QTRY_VERIFY_WITH_TIMEOUT(hostSaw >= 0 && memberSaw >= 0, kDeadPeerMs + 5000);
    // The others go on: their lines come back, the flood still reaches them.
    const int probesThen = probe.back();
    const qint64 floodThen = room.prober->counted;
    QTRY_VERIFY(probe.back() > probesThen + 2 && (!flood || room.prober->counted > floodThen + 1000));
    const qint64 paused = probe.worst();
    const qint64 peak = room.host->peakKiB();
    if (feed)
        feed->stop();
    QTRY_VERIFY(!room.member->running());
    QCOMPARE(room.member->process.exitCode(), 1);
    QVERIFY2(room.member->err.contains(QStringLiteral("接続が切れました")), qPrintable(room.member->err));

    // Back on the wire, M gets its slot again at once: no ghost holds it.
    QVERIFY2(net.mend(), qPrintable(net.error));
    clock.restart();
    room.joinOverLink();
    QTRY_VERIFY_WITH_TIMEOUT(room.host->lines.count(arrived(QStringLiteral("M"))) == 2, kHandshakeMs + kSlackMs);
    const qint64 rejoined = clock.elapsed();
    QVERIFY(room.member->running());
    QCOMPARE(room.host->lines.filter(QStringLiteral("が　きました")).size()
                 - room.host->lines.filter(QStringLiteral("が　いなくなりました")).size(),
             4);

    qInfo("cut link: the host logged M's departure after %lld ms, M its own end after %lld ms "
          "(bound %d ms); the others' lines waited at most %lld ms; host peak resident memory "
          "%lld KiB; M back in after %lld ms",
          hostSaw, memberSaw, kDeadPeerMs, paused, peak, rejoined);
    QVERIFY2(hostSaw <= kDeadPeerMs + kSlackMs, qPrintable(QString::number(hostSaw)));
    QVERIFY2(memberSaw <= kDeadPeerMs + kSlackMs, qPrintable(QString::number(memberSaw)));
    // A quiet room has nothing to wait for; a flood waits for M until it is dropped.
    QVERIFY2(paused <= (flood ? kDeadPeerMs : 0) + kSlackMs, qPrintable(QString::number(paused)));
    QVERIFY(peak > 0 && peak < kMaxPeakKiB);
}

void tst_RoomNetwork::aSlowLinkKeepsUpWithChatButNotWithAFlood()
{
    Net net;
    if (!net.skipReason.isEmpty())
        QSKIP(qPrintable(net.skipReason));
    QVERIFY2(net.ready(), qPrintable(net.error));
    if (!net.slow())
        QSKIP(qPrintable(QStringLiteral("tc cannot limit the link's rate: ") + net.error));
    LiveRoom room(net);
    QTRY_VERIFY_WITH_TIMEOUT(room.allIn(), 5000);
    QElapsedTimer clock;
    qint64 dropped = -1;
    room.host->onLine = [&](const QString &line) {
        if (line == left(QStringLiteral("M")))
            dropped = clock.elapsed();
    };

    // Chat for twice the stall bound at about half the link's rate: 20 lines
    // of 100 characters a second, some 180 bytes each on the wire.
    Prober probe(*room.prober, QStringLiteral("P"));
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(probe.back() >= 2 * kDeadPeerMs / Prober::kPaceMs, 4 * kDeadPeerMs);
    probe.stop();
    const qint64 chatMs = clock.elapsed();
    const qint64 chatWorst = probe.worst();
    const QString probeLines = Prober::prefix(QStringLiteral("P"));
    QTRY_COMPARE(room.member->lines.filter(probeLines), room.host->lines.filter(probeLines));
    const qsizetype chatLines = room.host->lines.filter(probeLines).size();
    QCOMPARE(dropped, -1);
    QVERIFY2(chatWorst <= kSlackMs, qPrintable(QString::number(chatWorst)));

    // A flood is far beyond the link: M holds the room up until it is dropped.
    InputFlood feed(room.flooder->process);
    probe.restart();
    clock.restart();
    QTRY_VERIFY_WITH_TIMEOUT(dropped >= 0, 3 * kDeadPeerMs + 5000);
    const int probesThen = probe.back();
    const qint64 floodThen = room.prober->counted;
    QTRY_VERIFY(probe.back() > probesThen + 2 && room.prober->counted > floodThen + 1000);
    const qint64 floodWorst = probe.worst();
    const qint64 peak = room.host->peakKiB();
    feed.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!room.member->running(), kDeadPeerMs + kSlackMs);
    const qint64 memberEnded = clock.elapsed();
    QCOMPARE(room.member->process.exitCode(), 1);

    qInfo("slow link: %lld chat lines in %lld ms, M kept every one, the others' lines waited at "
          "most %lld ms; under a flood M was dropped after %lld ms (stall bound %d ms) and ended "
          "after %lld ms, the others' lines waited at most %lld ms; host peak resident memory %lld KiB",
          qlonglong(chatLines), chatMs, chatWorst, dropped, kDeadPeerMs,
          memberEnded, floodWorst, peak);
    QVERIFY2(dropped <= kDeadPeerMs + kSlackMs, qPrintable(QString::number(dropped)));
    QVERIFY2(floodWorst <= kDeadPeerMs + kSlackMs, qPrintable(QString::number(floodWorst)));
    QVERIFY(peak > 0 && peak < kMaxPeakKiB);
}

QTEST_GUILESS_MAIN(tst_RoomNetwork)
#include "tst_roomnetwork.moc"
