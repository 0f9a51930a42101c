// The host's rule for members that keep its room waiting, without sockets.
#include "stallrule.h"

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
    // Q is behind in a room that does not wait, E is an empty slot; L holds
    // it up at a check three seconds late.
    QTest::addColumn<QString>("seconds");
    QTest::addColumn<int>("goneAfter"); // seconds; 0: never
    QTest::newRow("holding a waiting room up") << "HHHHHHHH" << 5;
    QTest::newRow("keeping up while the room waits") << "KKKKKKKKKKKK" << 0;
    QTest::newRow("behind in a room that does not wait") << "QQQQQQQQQQQQ" << 0;
    QTest::newRow("forgiven at a quarter of the pace") << "HHHHKKKKHHH" << 10;
    QTest::newRow("a fifth of the time, for ever") << QStringLiteral("HKKKK").repeated(10) << 0;
    QTest::newRow("a new member in the slot starts from nothing") << "HHHHEHHHHH" << 10;
    QTest::newRow("a late check counts one interval") << "HLLLL" << 5;
}

void tst_StallRule::aMemberGoesOnceItHeldTheRoomUpForTheBound()
{
    QFETCH(QString, seconds);
    QFETCH(int, goneAfter);
    StallRule rule(milliseconds(5000));
    QCOMPARE(rule.interval(), milliseconds(1000));
    int gone = 0;
    for (int s = 0; s < seconds.size() && gone == 0; ++s) {
        const QChar step = seconds[s];
        const qint64 backlog = step == u'E' ? -1 : step == u'K' ? StallRule::kCaughtUp : StallRule::kBehind;
        const std::vector<qint64> backlogs{-1, backlog};
        const milliseconds elapsed(step == u'L' ? 3000 : 1000);
        const std::vector<int> dropped = rule.advance(elapsed, step != u'Q', backlogs);
        if (!dropped.empty()) {
            QCOMPARE(dropped, std::vector<int>{1});
            gone = s + 1;
        }
    }
    QCOMPARE(gone, goneAfter);
}

QTEST_APPLESS_MAIN(tst_StallRule)
#include "tst_stallrule.moc"
