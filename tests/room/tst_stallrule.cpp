// The host's rule for members that keep its room waiting, without sockets.
#include "stallrule.h"

#include <QHash>
#include <QTest>

using namespace TAVIXLibCtl;
using std::chrono::milliseconds;

class tst_StallRule : public QObject
{
    Q_OBJECT

private slots:
    void theRoomWaitsForTheSlowestUntilAllCaughtUp_data();
    void theRoomWaitsForTheSlowestUntilAllCaughtUp();
    void aMemberGoesOnceItHeldTheRoomUpForTheBound_data();
    void aMemberGoesOnceItHeldTheRoomUpForTheBound();
};

void tst_StallRule::theRoomWaitsForTheSlowestUntilAllCaughtUp_data()
{
    QTest::addColumn<bool>("waited");
    QTest::addColumn<QList<qint64>>("backlogs");
    QTest::addColumn<bool>("waits");
    QTest::newRow("no member behind") << false << QList<qint64>{-1, 0, 131072} << false;
    QTest::newRow("one member behind") << false << QList<qint64>{-1, 0, 131073} << true;
    QTest::newRow("waiting until the last is down to half") << true << QList<qint64>{-1, 0, 65537} << true;
    QTest::newRow("everyone caught up") << true << QList<qint64>{-1, 65536, 0} << false;
    QTest::newRow("an empty room") << true << QList<qint64>{-1, -1} << false;
}

void tst_StallRule::theRoomWaitsForTheSlowestUntilAllCaughtUp()
{
    QFETCH(bool, waited);
    QFETCH(QList<qint64>, backlogs);
    QFETCH(bool, waits);
    QCOMPARE(StallRule::roomWaits(waited, backlogs), waits);
}

void tst_StallRule::aMemberGoesOnceItHeldTheRoomUpForTheBound_data()
{
    // A second each: H holds a waiting room up, K keeps up while it waits,
    // Q is behind in a room that does not wait, E is an empty slot. L holds
    // it up for three seconds before a check that comes late; h for the first
    // half of a second, between two checks; S for half a second.
    QTest::addColumn<QString>("seconds");
    QTest::addColumn<int>("goneAfter"); // steps; 0: never
    QTest::addColumn<int>("dueInMs");   // the next check, when never gone
    QTest::newRow("holding a waiting room up") << "HHHHHHHH" << 5 << 0;
    QTest::newRow("keeping up while the room waits") << "KKKKKKKKKKKK" << 0 << 1000;
    QTest::newRow("behind in a room that does not wait") << "QQQQQQQQQQQQ" << 0 << 1000;
    QTest::newRow("forgiven at a quarter of the pace") << "HHHHKKKKHHH" << 10 << 0;
    QTest::newRow("a fifth of the time, for ever") << QStringLiteral("HKKKK").repeated(10) << 0 << 1000;
    QTest::newRow("a new member in the slot starts from nothing") << "HHHHEHHHHH" << 10 << 0;
    QTest::newRow("a late check counts all the time it was late") << "HLL" << 3 << 0;
    QTest::newRow("a wait between two checks counts") << QStringLiteral("h").repeated(16) << 14 << 0;
    QTest::newRow("a hold about to reach the bound is checked at the bound") << "HHHHS" << 0 << 500;
}

void tst_StallRule::aMemberGoesOnceItHeldTheRoomUpForTheBound()
{
    QFETCH(QString, seconds);
    QFETCH(int, goneAfter);
    QFETCH(int, dueInMs);
    struct Phase
    {
        bool roomWaits;
        qint64 backlog;
        int ms;
    };
    const QHash<QChar, QList<Phase>> phases{
        {u'H', {{true, StallRule::kBehind, 1000}}},
        {u'K', {{true, StallRule::kCaughtUp, 1000}}},
        {u'Q', {{false, StallRule::kBehind, 1000}}},
        {u'E', {{true, -1, 1000}}},
        {u'L', {{true, StallRule::kBehind, 3000}}},
        {u'h', {{true, StallRule::kBehind, 500}, {false, StallRule::kCaughtUp, 500}}},
        {u'S', {{true, StallRule::kBehind, 500}}},
    };
    StallRule rule(milliseconds(5000));
    QCOMPARE(rule.interval(), milliseconds(1000));
    milliseconds now(0);
    int gone = 0;
    for (int s = 0; s < seconds.size() && gone == 0; ++s) {
        const QList<Phase> &step = phases[seconds[s]];
        for (const Phase &phase : step) {
            rule.update(now, phase.roomWaits, std::vector<qint64>{-1, phase.backlog});
            now += milliseconds(phase.ms);
        }
        // The check at the step's end.
        rule.update(now, step.last().roomWaits, std::vector<qint64>{-1, step.last().backlog});
        const std::vector<int> dropped = rule.takeGone();
        if (!dropped.empty()) {
            QCOMPARE(dropped, std::vector<int>{1});
            gone = s + 1;
        }
    }
    QCOMPARE(gone, goneAfter);
    if (gone == 0)
        QCOMPARE(rule.nextCheck(), milliseconds(dueInMs));
}

QTEST_APPLESS_MAIN(tst_StallRule)
#include "tst_stallrule.moc"
